// Reading the command line: the plain form, the options form, and every
// way the options form can go wrong.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command_line.hpp"

namespace {

command_line parsed(std::vector<std::string> args)
{
    args.insert(args.begin(), "tamberlo_orvel_verify");
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    return parse_command_line(static_cast<int>(args.size()), argv.data());
}

TEST(CommandLine, ThePlainFormTakesALogAndEvlAfterIt)
{
    command_line line = parsed({"tx.log"});
    EXPECT_EQ(line.what, command_line::action::run);
    EXPECT_EQ(line.options.logs, std::vector<std::string>{"tx.log"});
    EXPECT_EQ(line.options.mode, log_mode::transaction);
    EXPECT_EQ(line.options.style, report_style::console);
    EXPECT_EQ(line.options.result_log, "out.log");
    EXPECT_FALSE(line.options.dash_is_standard_input);
    EXPECT_FALSE(line.options.workers);

    line = parsed({"-", "-evl"});
    EXPECT_EQ(line.what, command_line::action::run);
    EXPECT_EQ(line.options.logs, std::vector<std::string>{"-"});
    EXPECT_EQ(line.options.mode, log_mode::event);

    const struct {
        std::vector<std::string> args;
        run_status status;
    } usage_errors[] = {
        {{}, run_status::argument_count},
        {{"a", "-evl", "b"}, run_status::argument_count},
        {{"a", "-EVL"}, run_status::bad_argument},
        {{"-evl", "a"}, run_status::bad_argument},
        {{"a", "-evl "}, run_status::bad_argument},
    };
    for (const auto& c : usage_errors) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        line = parsed(c.args);
        EXPECT_EQ(line.what, command_line::action::usage_error);
        EXPECT_EQ(line.usage_status, c.status);
    }
}

TEST(CommandLine, TheOptionsFormTakesOptionsAnywhere)
{
    command_line line =
        parsed({"a.log", "--jobs", "3", "--quiet", "b.log", "--result-log=r.txt", "-evl",
                "--trusted-keys=k1", "--trusted-keys", "k2", "--", "--c.log", "-evl"});
    ASSERT_EQ(line.what, command_line::action::run);
    EXPECT_EQ(line.options.logs, (std::vector<std::string>{"a.log", "b.log", "--c.log", "-evl"}));
    EXPECT_EQ(line.options.workers, 3U);
    EXPECT_EQ(line.options.style, report_style::quiet);
    EXPECT_EQ(line.options.result_log, "r.txt");
    EXPECT_EQ(line.options.mode, log_mode::event);
    EXPECT_EQ(line.options.trusted_key_files, (std::vector<std::string>{"k1", "k2"}));
    EXPECT_TRUE(line.options.dash_is_standard_input);

    line =
        parsed({"--strict", "--expect-first=1", "--expect-last", "799999", "--checkpoint=c", "x"});
    EXPECT_TRUE(line.options.strict);
    EXPECT_EQ(line.options.expect_first, 1U);
    EXPECT_EQ(line.options.expect_last, 799999U);
    EXPECT_EQ(line.options.checkpoint, "c");
    EXPECT_FALSE(parsed({"x", "--quiet"}).options.strict);

    line = parsed({"--json", "--event", "--jobs=0", "x"});
    EXPECT_EQ(line.options.style, report_style::json);
    EXPECT_EQ(line.options.mode, log_mode::event);
    EXPECT_EQ(line.options.workers, 0U);
    EXPECT_EQ(parsed({"--jobs=1024", "x"}).options.workers, 1024U);
    EXPECT_EQ(parsed({"--quiet", "x"}).options.progress, progress_display::automatic);
    EXPECT_EQ(parsed({"--progress", "x"}).options.progress, progress_display::always);
    EXPECT_EQ(parsed({"x", "--no-progress"}).options.progress, progress_display::never);
    // A value that begins with "--" is taken in the --name=VALUE form.
    line = parsed({"--result-log=--json", "--trusted-keys=--k", "x"});
    EXPECT_EQ(line.options.result_log, "--json");
    EXPECT_EQ(line.options.trusted_key_files, std::vector<std::string>{"--k"});
    EXPECT_EQ(line.options.style, report_style::console);

    // Help and version win over anything after them, errors included.
    EXPECT_EQ(parsed({"x", "--help", "--frobnicate"}).what, command_line::action::help);
    EXPECT_EQ(parsed({"--version", "--quiet", "--json"}).what, command_line::action::version);
}

TEST(CommandLine, AnOptionsFormItCannotFollowIsOneError)
{
    const struct {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {{"--frobnicate", "log.txt"}, "unknown option --frobnicate"},
        {{"--Quiet", "log.txt"}, "unknown option --Quiet"},
        {{"--jobs=two", "log.txt"}, "option --jobs wants a number from 0 to 1024, not 'two'"},
        {{"--jobs=1025", "log.txt"}, "option --jobs wants a number from 0 to 1024, not '1025'"},
        {{"--jobs=10240", "log.txt"}, "option --jobs wants a number from 0 to 1024, not '10240'"},
        {{"--jobs=-1", "log.txt"}, "option --jobs wants a number from 0 to 1024, not '-1'"},
        {{"--jobs=4294967297", "log.txt"},
         "option --jobs wants a number from 0 to 1024, not '4294967297'"},
        {{"--expect-first=0", "log.txt"},
         "option --expect-first wants a number from 1 to 799999, not '0'"},
        {{"--expect-last=800000", "log.txt"},
         "option --expect-last wants a number from 1 to 799999, not '800000'"},
        {{"--expect-first=9", "--expect-last=8", "log.txt"},
         "option --expect-first is above --expect-last"},
        {{"--checkpoint", "log.txt"}, "no log given"},
        {{"log.txt", "--jobs"}, "option --jobs needs a value"},
        {{"--result-log=", "log.txt"}, "option --result-log needs a value"},
        {{"--trusted-keys", "", "log.txt"}, "option --trusted-keys needs a value"},
        {{"--result-log", "--json", "mixed.log"}, "option --result-log needs a value"},
        {{"--quiet", "--trusted-keys", "--", "mixed.log"}, "option --trusted-keys needs a value"},
        {{"--jobs", "--quiet", "log.txt"}, "option --jobs needs a value"},
        {{"--quiet=yes", "log.txt"}, "option --quiet takes no value"},
        {{"--quiet", "--json", "log.txt"}, "options --quiet and --json exclude each other"},
        {{"--progress", "--no-progress", "log.txt"},
         "options --progress and --no-progress exclude each other"},
        {{"--progress=yes", "log.txt"}, "option --progress takes no value"},
        {{"--json"}, "no log given"},
        {{"-evl", "--jobs=1"}, "no log given"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const command_line line = parsed(c.args);
        EXPECT_EQ(line.what, command_line::action::option_error);
        EXPECT_EQ(line.error, c.error);
    }
}

}  // namespace
