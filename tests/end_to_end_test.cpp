// The built tool on whole logs: console bytes, out.log bytes and exit code.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "test_support.hpp"

namespace {

TEST(EndToEnd, EmptyAndBlankLogsPrintNoSummary)
{
    expect_run(run_on_log(""), BANNER, "", 0);
    expect_run(run_on_log(" \t\r\n\n   \n\f\v\n"), BANNER, "", 0);
    expect_run(run_on_log("", true), BANNER + EVENT_MODE, "", 0);
}

TEST(EndToEnd, CleanTransactionLog)
{
    expect_run(run_on_log(line_of(tx(5))), BANNER + shown(tx(5)) + clean_summary(1),
               tx(5) + ",OK\n", 0);
    // CR LF line ends, blank lines and surrounding blanks change nothing.
    const std::string log =
        "\r\n" + signed_line(KEY, tx(2)) + "\r\n  \t" + signed_line(KEY, tx(1)) + "  \r\n\r\n";
    expect_run(run_on_log(log), BANNER + shown(tx(2)) + shown(tx(1)) + clean_summary(2),
               tx(2) + ",OK\n" + tx(1) + ",OK\n", 0);
}

TEST(EndToEnd, MissingNumbersAreReportedInBothLogKinds)
{
    expect_run(run_on_log(line_of(tx(3)) + line_of(tx(6))),
               BANNER + shown(tx(3)) + shown(tx(6)) + transaction_gap(3) + transaction_gap(3) +
                   error_count_summary(2),
               tx(3) + ",OK\n" + tx(6) + ",OK\n" + "//4//////,MISSING SEQUENCE\n" +
                   "//5//////,MISSING SEQUENCE\n",
               EXIT_COUNTED_ERRORS);
    // Order does not matter and a repeated number goes unreported.
    expect_run(run_on_log(line_of(ev(7)) + line_of(ev(9)) + line_of(ev(7)), true),
               BANNER + EVENT_MODE + shown(ev(7)) + shown(ev(9)) + shown(ev(7)) + event_gap(4) +
                   error_count_summary(1),
               ev(7) + ",OK\n" + ev(9) + ",OK\n" + ev(7) + ",OK\n" + "/8//,MISSING SEQUENCE\n",
               EXIT_COUNTED_ERRORS);
    const std::string in_any_order = line_of(ev(3)) + line_of(ev(5)) + line_of(ev(4));
    EXPECT_EQ(run_on_log(in_any_order, true).exit_code, 0);
}

TEST(EndToEnd, NumbersThatNeverAdvanceAreAnError)
{
    expect_run(run_on_log(line_of(tx(5)) + line_of(tx(5))),
               BANNER + shown(tx(5)) + shown(tx(5)) + no_progression(3) + error_count_summary(1),
               tx(5) + ",OK\n" + tx(5) + ",OK\n", EXIT_COUNTED_ERRORS);
}

TEST(EndToEnd, FailedVerificationsAreCountedAndMarked)
{
    const std::string log = forged_line(tx(1), tx(2)) + forged_line(tx(2), tx(1));
    expect_run(run_on_log(log),
               BANNER + shown(tx(1), signature(KEY, tx(2))) + verify_error(1) +
                   shown(tx(2), signature(KEY, tx(1))) + verify_error(2) + no_progression(3) +
                   error_count_summary(3),
               tx(1) + ",ERROR\n" + tx(2) + ",ERROR\n", EXIT_COUNTED_ERRORS);
    // One failed line alone: no progression error for a single line.
    expect_run(run_on_log(forged_line(tx(1), tx(2))),
               BANNER + shown(tx(1), signature(KEY, tx(2))) + verify_error(1) +
                   error_count_summary(1),
               tx(1) + ",ERROR\n", EXIT_COUNTED_ERRORS);
}

TEST(EndToEnd, KeyThatDoesNotParseIsACountedError)
{
    const std::string log = line_of(tx(1)) + "AAAA," + tx(2) + ",00\n" + line_of(tx(2));
    expect_run(run_on_log(log),
               BANNER + shown(tx(1)) + key_error(2, "3d62") + shown(tx(2)) + error_count_summary(1),
               tx(1) + ",OK\n" + tx(2) + ", PUBKEY ERROR\n" + tx(2) + ",OK\n", EXIT_COUNTED_ERRORS);
}

TEST(EndToEnd, KeyErrorOnTheLastLineDecidesTheStatus)
{
    const std::string log =
        line_of(tx(1)) + forged_line(tx(3), tx(1)) + "AAAA," + tx(4) + ",00\n  \n";
    // -0x3d62 leaves 0x9e in the low 8 bits.
    expect_run(run_on_log(log),
               BANNER + shown(tx(1)) + shown(tx(3), signature(KEY, tx(1))) + verify_error(2) +
                   key_error(3, "3d62") + no_progression(3) + last_key_error_summary(3, "3d62"),
               tx(1) + ",OK\n" + tx(3) + ",ERROR\n" + tx(4) + ", PUBKEY ERROR\n", 0x9e);
}

TEST(EndToEnd, FailureStatusesNeverExitZero)
{
    // -0x3a00 has no bits in its low byte.
    const tool_run run = run_on_log(key_field("named_secp160r1") + "," + tx(1) + ",00\n");
    EXPECT_EQ(run.console, BANNER + key_error(1, "3a00") + last_key_error_summary(1, "3a00"));
    EXPECT_EQ(run.exit_code, 1);
}

TEST(EndToEnd, UsageErrors)
{
    const scratch_dir dir;
    dir.write("log.txt", line_of(tx(1)));
    const std::vector<std::pair<std::vector<std::string>, int>> cases = {
        {{}, EXIT_ARGUMENT_COUNT},
        {{"log.txt", "-evl", "x"}, EXIT_ARGUMENT_COUNT},
        {{"log.txt", "-EVL"}, EXIT_BAD_ARGUMENT},
        {{"log.txt", "-evl "}, EXIT_BAD_ARGUMENT},
        {{"-evl", "log.txt"}, EXIT_BAD_ARGUMENT},
    };
    for (const auto& [args, exit_code] : cases) {
        const tool_run run = run_tool(dir, args);
        EXPECT_EQ(run.console, BANNER + USAGE);
        EXPECT_EQ(run.exit_code, exit_code);
        EXPECT_FALSE(run.result_log_exists);
    }
}

TEST(EndToEnd, FilesThatCannotBeOpened)
{
    const scratch_dir dir;
    tool_run run = run_tool(dir, {"missing.txt"});
    EXPECT_EQ(run.console, BANNER + could_not_open("missing.txt"));
    EXPECT_EQ(run.exit_code, EXIT_FILE_ERROR);
    EXPECT_FALSE(run.result_log_exists);

    run = run_tool(dir, {"missing.txt", "-evl"});
    EXPECT_EQ(run.console, BANNER + EVENT_MODE + could_not_open("missing.txt"));

    dir.write("log.txt", line_of(tx(1)));
    std::filesystem::create_directory(dir.file("out.log"));
    run = run_tool(dir, {"log.txt"});
    EXPECT_EQ(run.console, BANNER + could_not_open("out.log"));
    EXPECT_EQ(run.exit_code, EXIT_FILE_ERROR);
}

TEST(EndToEnd, TheLogBeingOutLogIsLeftUntouched)
{
    const scratch_dir dir;
    const std::string log = line_of(tx(1));
    dir.write("out.log", log);
    std::filesystem::create_symlink("out.log", dir.file("link.txt"));
    std::filesystem::create_hard_link(dir.file("out.log"), dir.file("hard.txt"));
    for (const std::string path : {"out.log", "./out.log", "link.txt", "hard.txt"}) {
        SCOPED_TRACE(path);
        const tool_run run = run_tool(dir, {path});
        EXPECT_EQ(run.console, BANNER + result_log_is_the_log("out.log"));
        EXPECT_EQ(run.exit_code, EXIT_FILE_ERROR);
        EXPECT_EQ(dir.read("out.log"), log);
    }
    const tool_run run = run_tool(dir, {dir.file("out.log")});
    EXPECT_EQ(run.exit_code, EXIT_FILE_ERROR);
    EXPECT_EQ(dir.read("out.log"), log);
}

TEST(EndToEnd, LogThatCannotBeReadHasNoSummary)
{
    const scratch_dir dir;
    std::filesystem::create_directory(dir.file("logs"));
    const tool_run run = run_tool(dir, {"logs"});
    expect_run(run, BANNER + could_not_read("logs"), "", EXIT_FILE_ERROR);
}

TEST(EndToEnd, ResultLogThatCannotBeWrittenFailsTheRun)
{
    const scratch_dir dir;
    std::string log;
    std::string console = BANNER;
    for (int i = 1; i <= 100; ++i) {
        log += "AAAA," + tx(i) + ",00\n";
        console += key_error(1, "3d62");
    }
    dir.write("log.txt", log);
    tool_options limited;
    limited.file_size_limit = 1024;
    const tool_run run = run_tool(dir, {"log.txt"}, limited);
    EXPECT_EQ(run.console,
              console + last_key_error_summary(1, "3d62") + could_not_write("out.log"));
    EXPECT_EQ(run.exit_code, EXIT_FILE_ERROR);
    EXPECT_LE(run.result_log.size(), 1024U);
}

TEST(EndToEnd, LinesWithAbsentFields)
{
    // No key field at all: an empty key, which does not parse.
    expect_run(run_on_log(",,,,\n"),
               BANNER + key_error(1, "3d60") + last_key_error_summary(1, "3d60"),
               ", PUBKEY ERROR\n", 0xa0);
    // No signature field: an empty signature, which does not verify.
    expect_run(run_on_log(key_field(KEY) + "," + tx(1) + "\n"),
               BANNER + shown(tx(1), "") + verify_error(1) + error_count_summary(1),
               tx(1) + ",ERROR\n", EXIT_COUNTED_ERRORS);
    expect_run(run_on_log(key_field(KEY) + "\n"),
               BANNER + shown("", "") + verify_error(1) + error_count_summary(1), ",ERROR\n",
               EXIT_COUNTED_ERRORS);
    // A signature of blanks followed by a fourth field is empty too.
    expect_run(run_on_log(key_field(KEY) + "," + tx(1) + ",   ,more\n"),
               BANNER + shown(tx(1), "") + verify_error(1) + error_count_summary(1),
               tx(1) + ",ERROR\n", EXIT_COUNTED_ERRORS);
}

TEST(EndToEnd, FieldSplittingAndTrimming)
{
    const std::string sig = signature(KEY, tx(1));
    // Leading commas, blanks before the key's comma, a padded signature and a
    // fourth field all leave a verifiable line.
    const std::string log = ",," + key_field(KEY) + "  ," + tx(1) + ",,  " + sig + " \t,extra\n";
    expect_run(run_on_log(log), BANNER + shown(tx(1), sig) + clean_summary(1), tx(1) + ",OK\n", 0);
    // A NUL byte hides the rest of its line.
    expect_run(run_on_log(signed_line(KEY, tx(1)) + std::string(1, '\0') + "junk\n"),
               BANNER + shown(tx(1), sig) + clean_summary(1), tx(1) + ",OK\n", 0);
}

TEST(EndToEnd, VerifiedLinesWithoutUsableNumbersAreErrors)
{
    expect_run(run_on_log(line_of(tx("abc"))),
               BANNER + shown(tx("abc")) + sequence_number_error(1) + error_count_summary(1),
               tx("abc") + ",ERROR\n", EXIT_COUNTED_ERRORS);
    // Numbers from 800,000 up are rejected and do not widen the range.
    expect_run(run_on_log(line_of(tx(799998)) + line_of(tx(800001)) + line_of(tx(0))),
               BANNER + shown(tx(799998)) + shown(tx(800001)) + sequence_number_error(2) +
                   shown(tx(0)) + sequence_number_error(3) + no_progression(4) +
                   error_count_summary(3),
               tx(799998) + ",OK\n" + tx(800001) + ",ERROR\n" + tx(0) + ",ERROR\n",
               EXIT_COUNTED_ERRORS);
    expect_run(run_on_log(line_of(tx(799998)) + line_of(tx(799999))),
               BANNER + shown(tx(799998)) + shown(tx(799999)) + clean_summary(2),
               tx(799998) + ",OK\n" + tx(799999) + ",OK\n", 0);
}

TEST(EndToEnd, EveryKeyKindThroughTheTool)
{
    const std::vector<std::string> names = {"rsa1024",
                                            "rsa2048",
                                            "rsa3072",
                                            "rsa4096",
                                            "rsa8192",
                                            "secp192r1",
                                            "secp224r1",
                                            "secp256r1",
                                            "secp384r1",
                                            "secp521r1",
                                            "secp192k1",
                                            "secp224k1",
                                            "secp256k1",
                                            "brainpoolP256r1",
                                            "brainpoolP384r1",
                                            "brainpoolP512r1",
                                            "explicit_G04_secp521r1",
                                            "explicit_G02_brainpoolP512r1",
                                            "explicit_G04_secp256k1",
                                            "explicit_G02_secp192r1"};
    std::string log;
    std::string result_log;
    int n = 0;
    for (const std::string& name : names) {
        const std::string data = tx(1 + n++ % 2);
        log += signed_line(name, data) + "\n";
        result_log += data + ",OK\n";
    }
    const tool_run run = run_on_log(log);
    EXPECT_EQ(run.result_log, result_log);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_TRUE(run.console.ends_with(clean_summary(static_cast<int>(names.size()))));
}

TEST(EndToEnd, BundledExampleLogs)
{
    const std::string examples = EXAMPLES_DIR;
    const scratch_dir dir;
    tool_run run = run_tool(dir, {examples + "/transactions.log"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_TRUE(run.console.ends_with(clean_summary(6)));

    run = run_tool(dir, {examples + "/events.log", "-evl"});
    EXPECT_EQ(run.exit_code, EXIT_COUNTED_ERRORS);
    EXPECT_NE(run.console.find("\nmbedtls_pk_verify error at line 4\n["), std::string::npos);
    EXPECT_TRUE(run.console.ends_with(
        "\nsequence1 error at line 7\nsequence1 error at line 7Found 3 error(s) !!\n"));
    EXPECT_TRUE(run.result_log.ends_with(",ERROR\n" + std::string("door-open/6/") +
                                         "2026-12-02T07:58:21Z/site-A,OK\n" +
                                         "door-close/7/2026-12-02T07:58:30Z/site-A,OK\n" +
                                         "/4//,MISSING SEQUENCE\n/5//,MISSING SEQUENCE\n"));
}

}  // namespace

// ------------------------------------------------------------ options form

// Every run of the options form against the same log in the plain form.
TEST(Options, EveryAcceptedFormGivesThePlainFormsBytes)
{
    const scratch_dir dir;
    const std::string log =
        line_of(tx(1)) + forged_line(tx(3), tx(1)) + "AAAA," + tx(4) + ",0\n" + line_of(tx(2));
    const std::string event_log = line_of(ev(1)) + line_of(ev(3));
    dir.write("log.txt", log);
    dir.write("--odd.txt", log);
    dir.write("events.txt", event_log);
    const tool_run plain = run_tool(dir, {"log.txt"});
    const tool_run plain_event = run_tool(dir, {"events.txt", "-evl"});
    ASSERT_EQ(plain.exit_code, EXIT_COUNTED_ERRORS);
    ASSERT_EQ(plain_event.exit_code, EXIT_COUNTED_ERRORS);

    const struct {
        std::vector<std::string> args;
        bool event;
        const char* result_log;
    } cases[] = {
        {{"--jobs=2", "log.txt"}, false, "out.log"},
        {{"--jobs", "0", "log.txt"}, false, "out.log"},
        {{"log.txt", "--jobs=8"}, false, "out.log"},
        {{"--jobs=1", "--", "--odd.txt"}, false, "out.log"},
        {{"--result-log=verdicts.txt", "log.txt"}, false, "verdicts.txt"},
        {{"--result-log", "r2.txt", "log.txt"}, false, "r2.txt"},
        {{"--event", "events.txt"}, true, "out.log"},
        {{"--jobs=3", "events.txt", "-evl"}, true, "out.log"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        std::filesystem::remove(dir.file("out.log"));
        const tool_run run = run_tool(dir, c.args);
        const tool_run& expected = c.event ? plain_event : plain;
        EXPECT_EQ(run.console, expected.console);
        EXPECT_EQ(run.exit_code, expected.exit_code);
        EXPECT_EQ(run.errors, "");
        EXPECT_EQ(dir.read(c.result_log), expected.result_log);
        // Another result log leaves out.log alone.
        EXPECT_EQ(std::filesystem::exists(dir.file("out.log")),
                  std::string(c.result_log) == "out.log");
    }
}

TEST(Options, CommandLineErrorsStopBeforeAnythingIsOpened)
{
    const scratch_dir dir;
    dir.write("log.txt", line_of(tx(1)));
    dir.write("out.log", "earlier records\n");
    // Every way to go wrong is read in process (command_line_test.cpp);
    // here, what the tool then does with one of each kind.
    const struct {
        std::vector<std::string> args;
        const char* problem;
    } cases[] = {
        {{"--frobnicate", "log.txt"}, "unknown option --frobnicate"},
        {{"--jobs=two", "log.txt"}, "option --jobs wants a number from 0 to 1024, not 'two'"},
        {{"--quiet", "--json", "log.txt"}, "--quiet and --json exclude each other"},
        {{"-evl", "--jobs=1"}, "no log given"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const tool_run run = run_tool(dir, c.args);
        EXPECT_EQ(run.console, "");
        EXPECT_EQ(run.exit_code, EXIT_BAD_ARGUMENT);
        EXPECT_TRUE(run.errors.starts_with("tamberlo_orvel_verify: ")) << run.errors;
        EXPECT_NE(run.errors.find(c.problem), std::string::npos) << run.errors;
        EXPECT_TRUE(run.errors.ends_with("(see tamberlo_orvel_verify --help)\n")) << run.errors;
        EXPECT_EQ(std::count(run.errors.begin(), run.errors.end(), '\n'), 1);
        EXPECT_EQ(dir.read("out.log"), "earlier records\n");
    }
}

TEST(Options, HelpListsEveryOptionAndVersionStaysAsItWas)
{
    const scratch_dir dir;
    const std::string help = run_tool(dir, {"--help"}).console;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"}, {"log.txt", "--help"}, {"--json", "--help"}}) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const tool_run run = run_tool(dir, args);
        // As GNU programs do: the usage lines first, where to report last.
        EXPECT_TRUE(
            run.console.starts_with("Usage: tamberlo_orvel_verify <filename> [-evl]\n"
                                    "  or:  tamberlo_orvel_verify [options] <filename>... "
                                    "[-evl]\n"))
            << run.console;
        EXPECT_TRUE(run.console.ends_with("\nReport bugs to: " + std::string(BUG_ADDRESS) + "\n"))
            << run.console;
        for (const char* option : {"--trusted-keys=FILE",
                                   "--quiet",
                                   "--json",
                                   "--result-log=FILE",
                                   "--jobs=N",
                                   "--event",
                                   "--progress",
                                   "--no-progress",
                                   "--strict",
                                   "--expect-first=N",
                                   "--expect-last=N",
                                   "--checkpoint=FILE",
                                   "--rotated=PATH",
                                   "--time-field=N",
                                   "--time-tolerance=S",
                                   "--follow",
                                   "--gap-wait=S",
                                   "--checkpoint-every=S",
                                   "--metrics=FILE",
                                   "revoked-after=N",
                                   "--help",
                                   "--version",
                                   "\n   -- ",
                                   "CERTIFICATE",
                                   "Exit status:",
                                   "153 the history"})
            EXPECT_NE(run.console.find(option), std::string::npos) << option;
        EXPECT_EQ(run.console, help);
        EXPECT_EQ(run.errors, "");
        EXPECT_EQ(run.exit_code, 0);
        EXPECT_FALSE(run.result_log_exists);
    }
    // The plain form's usage text is what it always was.
    const tool_run usage = run_tool(dir, {"log.txt", "-x"});
    EXPECT_EQ(usage.console, BANNER + USAGE);
    EXPECT_EQ(usage.exit_code, EXIT_BAD_ARGUMENT);

    // The version line as it always was, then the copyright and the licence
    // of LICENSE.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--version"}, {"log.txt", "--version"}}) {
        const tool_run run = run_tool(dir, args);
        EXPECT_EQ(run.console, "tamberlo_orvel_verify " + std::string(TOOL_VERSION) +
                                   "\n"
                                   "Copyright (C) 2026 The tamberlo_orvel_verify developers\n"
                                   "License: MIT (Expat) <https://spdx.org/licenses/MIT.html>\n"
                                   "This is free software: you are free to change and "
                                   "redistribute it.\n"
                                   "There is NO WARRANTY, to the extent permitted by law.\n");
        EXPECT_EQ(run.exit_code, 0);
        EXPECT_FALSE(run.result_log_exists);
    }
    std::ifstream licence(std::string(EXAMPLES_DIR) + "/../LICENSE");
    std::string first_line, blank, copyright;
    std::getline(licence, first_line);
    std::getline(licence, blank);
    std::getline(licence, copyright);
    EXPECT_EQ(first_line, "MIT License");
    EXPECT_EQ(copyright, "Copyright (c) 2026 The tamberlo_orvel_verify developers");
}

// ------------------------------------------------------------ --trusted-keys

std::string file_content(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

TEST(TrustedKeys, ALineResignedWithAnotherKeyFailsWhateverFormTheTrustTakes)
{
    const std::string OTHER = "secp384r1";
    const std::string log = line_of(tx(1)) + signed_line(OTHER, tx(2)) + "\n" + line_of(tx(3));
    const std::string untrusted_console =
        BANNER + shown(tx(1)) + shown(tx(2), signature(OTHER, tx(2))) + untrusted_key(2) +
        shown(tx(3)) + transaction_gap(4) + error_count_summary(2);
    const std::string untrusted_records =
        tx(1) + ",OK\n" + tx(2) + ",ERROR\n" + tx(3) + ",OK\n" + "//2//////,MISSING SEQUENCE\n";
    const std::string trusted_console = BANNER + shown(tx(1)) +
                                        shown(tx(2), signature(OTHER, tx(2))) + shown(tx(3)) +
                                        clean_summary(3);
    // Every form of an entry is read in process (trusted_keys_test); here
    // the run with one key trusted, and with both.
    const struct {
        const char* name;
        std::vector<std::string> files;
        bool other_trusted;
    } cases[] = {
        {"PEM as OpenSSL writes it", {file_content(fixtures::pem_path(KEY))}, false},
        {"both keys in two files", {key_field(KEY), file_content(fixtures::pem_path(OTHER))}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const scratch_dir dir;
        dir.write("log.txt", log);
        std::vector<std::string> args;
        for (std::size_t i = 0; i < c.files.size(); ++i) {
            const std::string name = "trust" + std::to_string(i) + ".txt";
            dir.write(name, c.files[i]);
            args.push_back("--trusted-keys=" + name);
        }
        args.emplace_back("log.txt");
        const tool_run run = run_tool(dir, args);
        if (c.other_trusted) {
            expect_run(run, trusted_console, tx(1) + ",OK\n" + tx(2) + ",OK\n" + tx(3) + ",OK\n",
                       0);
        } else {
            expect_run(run, untrusted_console, untrusted_records, EXIT_COUNTED_ERRORS);
        }
    }
}

TEST(TrustedKeys, NoLineOfAKeyOutsideTheListVerifies)
{
    // Every line is untrusted: no number is recorded, so the numbers never
    // advance either.
    const scratch_dir dir;
    dir.write("log.txt", line_of(tx(1)) + line_of(tx(2)));
    dir.write("trust.txt", key_field("rsa2048") + "\n");
    expect_run(run_tool(dir, {"log.txt", "--trusted-keys", "trust.txt"}),
               BANNER + shown(tx(1)) + untrusted_key(1) + shown(tx(2)) + untrusted_key(2) +
                   no_progression(3) + error_count_summary(3),
               tx(1) + ",ERROR\n" + tx(2) + ",ERROR\n", EXIT_COUNTED_ERRORS);
}

TEST(TrustedKeys, FingerprintsAreOpenSslsAndExplicitKeysShareTheirTwins)
{
    const std::string log = signed_line("secp256r1", tx(1)) + "\n" + signed_line("rsa2048", tx(2)) +
                            "\n" + signed_line("secp384r1", tx(1)) + "\n" +
                            signed_line("secp256k1", tx(1)) + "\n" +
                            signed_line("explicit_G04_secp256k1", tx(2)) + "\n";
    const scratch_dir dir;
    dir.write("log.txt", log);
    dir.write("trust.pem", file_content(fixtures::pem_path("secp256k1")));
    // The same key in a certificate, written with explicit curve parameters.
    dir.write("trust.crt", file_content(fixtures::certificate_path("explicit_secp256k1")));
    for (const char* trust : {"--trusted-keys=trust.pem", "--trusted-keys=trust.crt"}) {
        SCOPED_TRACE(trust);
        const tool_run run = run_tool(dir, {"--quiet", trust, "log.txt"});
        EXPECT_EQ(run.console,
                  quiet_problem("log.txt", 1,
                                "untrusted key sha256:" + fixtures::fingerprint("secp256r1")) +
                      quiet_problem("log.txt", 2,
                                    "untrusted key sha256:" + fixtures::fingerprint("rsa2048")) +
                      quiet_problem("log.txt", 3,
                                    "untrusted key sha256:" + fixtures::fingerprint("secp384r1")) +
                      quiet_summary("log.txt", 5, 2, 3) +
                      quiet_key("log.txt", fixtures::fingerprint("secp256r1"), "EC secp256r1", 1,
                                "untrusted") +
                      quiet_key("log.txt", fixtures::fingerprint("rsa2048"), "RSA-2048", 1,
                                "untrusted") +
                      quiet_key("log.txt", fixtures::fingerprint("secp384r1"), "EC secp384r1", 1,
                                "untrusted") +
                      quiet_key("log.txt", fixtures::fingerprint("secp256k1"), "EC secp256k1", 2,
                                "trusted"));
        EXPECT_EQ(run.exit_code, EXIT_COUNTED_ERRORS);
    }
}

TEST(TrustedKeys, AFileThatCannotServeStopsTheRunBeforeTheLogIsOpened)
{
    // Every entry that is none is read in process (trusted_keys_test); here
    // what the run does with one.
    const struct {
        const char* name;
        std::optional<std::string> content;  // none: no such file
        std::string problem;                 // as the console shows it after the path
    } cases[] = {
        {"no such file", std::nullopt, ": No such file or directory"},
        {"key that does not parse", "# device\n\nAAAA\n", ", line 3: key does not parse (-0x3d62)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const scratch_dir dir;
        dir.write("log.txt", line_of(tx(1)));
        if (c.content)
            dir.write("keys.txt", *c.content);
        const tool_run run = run_tool(dir, {"--trusted-keys=keys.txt", "log.txt"});
        EXPECT_EQ(run.console,
                  BANNER + "\n  ! Could not use the trusted keys in keys.txt" + c.problem + "\n\n");
        EXPECT_EQ(run.exit_code, EXIT_FILE_ERROR);
        EXPECT_FALSE(run.result_log_exists);
    }
}

// ------------------------------------------------------------ --quiet

std::string example_key(const std::string& path, const std::string& name, const std::string& type,
                        long lines)
{
    return quiet_key(path, fixtures::fingerprint(name), type, lines);
}

TEST(Quiet, SampleLogsShowOnlyProblemsRangesSummaryAndKeys)
{
    const std::string examples = EXAMPLES_DIR;
    const scratch_dir dir;
    const std::string transactions = examples + "/transactions.log";
    const std::string events = examples + "/events.log";
    // A clean log prints nothing: the quiet form is the one for cron.
    tool_run run = run_tool(dir, {"--quiet", transactions});
    EXPECT_EQ(run.console, "");
    EXPECT_EQ(run.errors, "");
    EXPECT_EQ(run.exit_code, 0);

    run = run_tool(dir, {events, "--quiet", "-evl"});
    EXPECT_EQ(run.console, quiet_problem(events, 4, "signature does not verify") +
                               quiet_missing(events, 4, 5) + quiet_summary(events, 6, 5, 3) +
                               example_key(events, "ev-sensor-p256", "EC secp256r1", 6));
    EXPECT_EQ(run.exit_code, EXIT_COUNTED_ERRORS);
    // The result log is the same in every form.
    EXPECT_EQ(run.result_log, run_tool(dir, {events, "-evl"}).result_log);
}

TEST(Quiet, ProblemsNameTheirPhysicalLine)
{
    const std::string key = fixtures::fingerprint(KEY);
    const struct {
        const char* name;
        std::string log;
        std::string expected;
        int exit_code;
    } cases[] = {
        {"blank lines count",
         "\n  \t\n" + line_of(tx(1)) + "\r\n" + forged_line(tx(2), tx(1)) + line_of(tx(3)),
         quiet_problem("log.txt", 5, "signature does not verify") + quiet_missing("log.txt", 2, 2) +
             quiet_summary("log.txt", 3, 2, 2) + quiet_key("log.txt", key, "EC secp256r1", 3),
         EXIT_COUNTED_ERRORS},
        {"key errors carry their code and advance nothing",
         "AAAA," + tx(1) + ",00\n" + line_of(tx(1)) + ",,,\n",
         quiet_problem("log.txt", 1, "key does not parse (-0x3d62)") +
             quiet_problem("log.txt", 3, "key does not parse (-0x3d60)") +
             quiet_summary("log.txt", 1, 1, 2) + quiet_key("log.txt", key, "EC secp256r1", 1),
         0xa0},
        {"runs of missing numbers, one line each",
         line_of(tx(1)) + line_of(tx(5)) + line_of(tx(7)) + line_of(tx(8)) + line_of(tx(12)),
         quiet_missing("log.txt", 2, 4) + quiet_missing("log.txt", 6, 6) +
             quiet_missing("log.txt", 9, 11) + quiet_summary("log.txt", 5, 5, 7) +
             quiet_key("log.txt", key, "EC secp256r1", 5),
         EXIT_COUNTED_ERRORS},
        {"no usable number, no progression", line_of(tx("abc")) + line_of(tx(0)),
         quiet_problem("log.txt", 1, "no usable sequence number") +
             quiet_problem("log.txt", 2, "no usable sequence number") +
             "log.txt: sequence numbers never advance\n" + quiet_summary("log.txt", 2, 0, 3) +
             quiet_key("log.txt", key, "EC secp256r1", 2),
         EXIT_COUNTED_ERRORS},
        {"empty log", "", "", 0},
        {"unreadable log", "", "", EXIT_FILE_ERROR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const scratch_dir dir;
        dir.write("log.txt", c.log);
        std::string path = "log.txt";
        if (c.name == std::string("unreadable log")) {
            std::filesystem::create_directory(dir.file("logs"));
            path = "logs";
        }
        const tool_run run = run_tool(dir, {"--quiet", path});
        EXPECT_EQ(run.console, c.expected);
        EXPECT_EQ(run.exit_code, c.exit_code);
        // What stopped the run is said on standard error.
        EXPECT_EQ(run.errors, path == "logs" ? "tamberlo_orvel_verify: logs: could not read (Is a "
                                               "directory)\n"
                                             : "");
    }
}

TEST(Quiet, StandardErrorThatIsTheJournalCarriesPriorities)
{
    const scratch_dir dir;
    tool_options journal;
    journal.errors_are_journal = true;
    tool_run run = run_tool(dir, {"--quiet", "missing.txt"}, journal);
    EXPECT_EQ(
        run.errors,
        "<3>tamberlo_orvel_verify: missing.txt: could not open (No such file or directory)\n");
    run = run_tool(dir, {"--quiet", "--frobnicate", "missing.txt"}, journal);
    EXPECT_EQ(run.errors,
              "<3>tamberlo_orvel_verify: unknown option --frobnicate (see "
              "tamberlo_orvel_verify --help)\n");
    // The console form and the plain form write nothing there.
    EXPECT_EQ(run_tool(dir, {"--jobs=1", "missing.txt"}, journal).errors, "");
    EXPECT_EQ(run_tool(dir, {"missing.txt"}, journal).errors, "");
}

// ------------------------------------------------------------ --json

using json = nlohmann::ordered_json;

// The console as one JSON document, checked by Python's own parser (strict
// UTF-8) as well.
json document_of(const tool_run& run)
{
    const scratch_dir dir;
    dir.write("document.json", run.console);
    const std::string check =
        "python3 -c 'import json,sys; json.loads(open(sys.argv[1], "
        "\"rb\").read().decode(\"utf-8\", \"strict\"))' " +
        dir.file("document.json");
    EXPECT_EQ(std::system(check.c_str()), 0) << run.console;
    return json::parse(run.console);
}

std::vector<std::string> keys_of(const json& object)
{
    std::vector<std::string> keys;
    for (const auto& item : object.items())
        keys.push_back(item.key());
    return keys;
}

long records_ending(const std::string& result_log, const std::string& ending)
{
    long count = 0;
    for (std::size_t at = 0; (at = result_log.find(ending + "\n", at)) != std::string::npos; ++at)
        ++count;
    return count;
}

TEST(Json, TheDocumentAgreesWithTheResultLogAndTheExitCode)
{
    const scratch_dir dir;
    const std::string log = "\n" + line_of(tx(1)) + "AAAA," + tx(2) + ",00\n   \n" +
                            forged_line(tx(3), tx(1)) + line_of(tx("abc")) + line_of(tx(7)) +
                            line_of(tx(9)) + key_field("rsa2048") + "," + tx(10) + "," +
                            signature("rsa2048", tx(10)) + "\n";
    dir.write("log.txt", log);
    dir.write("trust.txt", key_field(KEY));
    const tool_run run = run_tool(dir, {"--json", "--trusted-keys=trust.txt", "log.txt"});
    const json document = document_of(run);

    EXPECT_EQ(keys_of(document),
              (std::vector<std::string>{"version", "logs", "mode", "result_log", "lines", "errors",
                                        "sequence", "keys", "key_lines_omitted", "problems",
                                        "problems_omitted", "status", "exit_code", "error"}));
    EXPECT_EQ(document["version"], 1);
    EXPECT_EQ(document["logs"], json::array({"log.txt"}));
    EXPECT_EQ(document["mode"], "transaction");
    EXPECT_EQ(document["result_log"], "out.log");
    EXPECT_EQ(document["lines"], json({{"read", 9}, {"blank", 2}, {"checked", 6}, {"ok", 3}}));
    EXPECT_EQ(document["lines"]["ok"], records_ending(run.result_log, ",OK"));
    EXPECT_EQ(document["lines"]["checked"],
              records_ending(run.result_log, ",OK") + records_ending(run.result_log, ",ERROR"));
    EXPECT_EQ(document["errors"], json({{"key", 1},
                                        {"signature", 1},
                                        {"untrusted_key", 1},
                                        {"sequence_number", 1},
                                        {"missing_sequence", 6},
                                        {"no_progression", 0},
                                        {"unexpected_sequence", 0},
                                        {"repeated_sequence", 0},
                                        {"out_of_order", 0},
                                        {"key_encoding", 0},
                                        {"signature_encoding", 0},
                                        {"key_not_valid", 0},
                                        {"time_unreadable", 0},
                                        {"time_backwards", 0},
                                        {"time_in_future", 0},
                                        {"nothing_verified", 0}}));
    EXPECT_EQ(document["errors"]["missing_sequence"],
              records_ending(run.result_log, ",MISSING SEQUENCE"));
    EXPECT_EQ(document["sequence"], json({{"first", 1},
                                          {"last", 9},
                                          {"missing", json::parse("[[2,6],[8,8]]")},
                                          {"repeated", 0},
                                          {"out_of_order", 0}}));
    EXPECT_EQ(
        document["keys"],
        json::parse(
            R"([{"sha256":")" + fixtures::fingerprint(KEY) +
            R"(","type":"EC secp256r1","lines":5,"trusted":true,"conditions":null},{"sha256":")" +
            fixtures::fingerprint("rsa2048") +
            R"(","type":"RSA-2048","lines":1,"trusted":false,"conditions":null}])"));
    EXPECT_EQ(document["problems"],
              json::parse(R"([{"log":"log.txt","line":3,"kind":"key","code":"-0x3d62"},)"
                          R"({"log":"log.txt","line":5,"kind":"signature","code":null},)"
                          R"({"log":"log.txt","line":6,"kind":"sequence_number","code":null},)"
                          R"({"log":"log.txt","line":9,"kind":"untrusted_key","code":null}])"));
    EXPECT_EQ(document["problems_omitted"], 0);
    EXPECT_EQ(document["status"], -102);
    EXPECT_EQ(document["exit_code"], run.exit_code);
    EXPECT_EQ(run.exit_code, EXIT_COUNTED_ERRORS);
    EXPECT_TRUE(document["error"].is_null());
}

TEST(Json, EveryRunPastTheCommandLineGivesOneDocument)
{
    const struct {
        const char* name;
        std::vector<std::string> args;
        const char* kind;
        const char* path;
        int exit_code;
    } cases[] = {
        {"log missing", {"--json", "missing.txt", "-evl"}, "open_log", "missing.txt", 155},
        {"log unreadable", {"--json", "logs"}, "read_log", "logs", 155},
        {"result log not creatable",
         {"--json", "--result-log=logs", "log.txt"},
         "open_result_log",
         "logs",
         155},
        {"result log is the log",
         {"--json", "--result-log=./log.txt", "log.txt"},
         "result_log_is_log",
         "./log.txt",
         155},
        {"trusted keys unusable",
         {"--json", "--trusted-keys=none", "log.txt"},
         "trusted_keys",
         "none",
         155},
        {"last key does not parse", {"--json", "bad.txt"}, nullptr, nullptr, 0x9e},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const scratch_dir dir;
        dir.write("log.txt", line_of(tx(1)));
        dir.write("bad.txt", "AAAA," + tx(1) + ",00\n");
        std::filesystem::create_directory(dir.file("logs"));
        const tool_run run = run_tool(dir, c.args);
        const json document = document_of(run);
        EXPECT_EQ(document["exit_code"], run.exit_code);
        EXPECT_EQ(run.exit_code, c.exit_code);
        if (c.kind == nullptr) {
            EXPECT_EQ(run.errors, "");
            EXPECT_TRUE(document["error"].is_null());
            EXPECT_EQ(document["status"], -0x3d62);
            continue;
        }
        EXPECT_EQ(document["status"], -101);
        EXPECT_EQ(document["error"]["kind"], c.kind);
        EXPECT_EQ(document["error"]["path"], c.path);
        // Said on standard error too, one line.
        EXPECT_TRUE(run.errors.starts_with("tamberlo_orvel_verify: " + std::string(c.path)))
            << run.errors;
        EXPECT_EQ(std::count(run.errors.begin(), run.errors.end(), '\n'), 1);
        EXPECT_FALSE(document["error"]["message"].get<std::string>().empty());
    }
}

TEST(Json, ResultLogThatCannotBeWrittenIsTheError)
{
    const scratch_dir dir;
    std::string log;
    for (int i = 1; i <= 100; ++i)
        log += "AAAA," + tx(i) + ",00\n";
    dir.write("log.txt", log);
    tool_options limited;
    limited.file_size_limit = 1024;
    const tool_run run = run_tool(dir, {"--json", "log.txt"}, limited);
    const json document = document_of(run);
    EXPECT_EQ(document["error"]["kind"], "write_result_log");
    EXPECT_EQ(document["error"]["path"], "out.log");
    EXPECT_EQ(document["errors"]["key"], 100);
    EXPECT_EQ(document["status"], -101);
    EXPECT_EQ(run.exit_code, EXIT_FILE_ERROR);
}

TEST(Json, PathsOfAnyBytesGiveValidUtf8)
{
    const scratch_dir dir;
    // Not UTF-8, an escape, DEL and a character that is.
    const std::string path = std::string("log-\xff\xfe-\x1b[2J-\x7f-") + "\xc3\xa9.txt";
    const tool_run run = run_tool(dir, {"--json", path});
    EXPECT_EQ(run.console.find('\x1b'), std::string::npos);
    EXPECT_EQ(run.console.find('\x7f'), std::string::npos);
    const json document = document_of(run);
    EXPECT_EQ(document["logs"][0], "log-\xef\xbf\xbd\xef\xbf\xbd-\x1b[2J-\x7f-\xc3\xa9.txt");
    EXPECT_EQ(document["error"]["kind"], "open_log");
}

TEST(Json, TheFirstThousandProblemsAreListed)
{
    const scratch_dir dir;
    std::string log;
    for (int i = 1; i <= 1003; ++i)
        log += "AAAA," + tx(i) + ",00\n";
    dir.write("log.txt", log);
    const json document = document_of(run_tool(dir, {"--json", "log.txt"}));
    ASSERT_EQ(document["problems"].size(), 1000U);
    EXPECT_EQ(document["problems"][999]["line"], 1000);
    EXPECT_EQ(document["problems_omitted"], 3);
    EXPECT_EQ(document["errors"]["key"], 1003);
}

// ------------------------------------------------------------ terminals

TEST(Terminal, BytesATerminalActsOnAreShownEscapedThere)
{
    const std::string data =
        "\x1b[2J\x1b[H/x/1/2/3/4/5/6\tfake \x1b[8m\r\x7f\xc2\x9b\x9b\xc3\xa9\xe2\x82\xac";
    const std::string escaped =
        "\\x1b[2J\\x1b[H/x/1/2/3/4/5/6\tfake \\x1b[8m\\x0d\\x7f\\xc2\\x9b\\x9b"
        "\xc3\xa9\xe2\x82\xac";
    const scratch_dir dir;
    dir.write("log.txt", key_field(KEY) + "," + data + ",00\n");
    tool_options terminal;
    terminal.console_on_terminal = true;
    const std::string tail = verify_error(1) + error_count_summary(1);

    tool_run run = run_tool(dir, {"log.txt"}, terminal);
    EXPECT_EQ(run.console, BANNER + shown(escaped, "00") + tail);
    run = run_tool(dir, {"log.txt"});
    EXPECT_EQ(run.console, BANNER + shown(data, "00") + tail);
    EXPECT_EQ(run.result_log, data + ",ERROR\n");

    // Paths from the command line too, in every form.
    const std::string path = "no\x1b[8mlog";
    run = run_tool(dir, {path}, terminal);
    EXPECT_EQ(run.console, BANNER + could_not_open("no\\x1b[8mlog"));
    // The quiet form says it on standard error, escaped where that is a
    // terminal.
    terminal.errors_on_terminal = true;
    run = run_tool(dir, {"--quiet", path}, terminal);
    EXPECT_EQ(run.console, "");
    EXPECT_EQ(run.errors,
              "tamberlo_orvel_verify: no\\x1b[8mlog: could not open (No such file or directory)\n");
    run = run_tool(dir, {"--quiet", path});
    EXPECT_EQ(run.errors,
              "tamberlo_orvel_verify: " + path + ": could not open (No such file or directory)\n");
    run = run_tool(dir, {path});
    EXPECT_EQ(run.console, BANNER + could_not_open(path));
}

TEST(Terminal, ProgressShowsOnATerminalOrWhenAskedForAndNeverOnTheOutput)
{
    // Input that comes slowly, so that the run lasts a while.
    const auto slow_input = [](std::chrono::milliseconds pause) {
        return [pause](int fd) {
            write_all(fd, key_error_lines(300));
            std::this_thread::sleep_for(pause);
            write_all(fd, key_error_lines(300));
        };
    };
    const std::string status = "\r\x1b[Ktamberlo_orvel_verify: 300 lines checked, 0.0 MiB read";
    const std::string erase = "\r\x1b[K";
    const scratch_dir dir;
    tool_options terminal;
    terminal.errors_on_terminal = true;
    terminal.stdin_writer = slow_input(std::chrono::milliseconds(800));
    tool_run run = run_tool(dir, {"--quiet", "--result-log=r.out", "-"}, terminal);
    EXPECT_NE(run.errors.find(status), std::string::npos) << printable(run.errors);
    // Erased at the end, and nowhere else.
    EXPECT_TRUE(run.errors.ends_with(erase)) << printable(run.errors);
    EXPECT_EQ(run.console.find("MiB read"), std::string::npos);
    EXPECT_EQ(dir.read("r.out"), key_error_records(300) + key_error_records(300));
    EXPECT_EQ(run.exit_code, exit_of_key_code(0x3d62));

    // Not asked for: none in the console form, with --no-progress, or on a
    // pipe.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--result-log=r.out", "-"},
          {"--quiet", "--no-progress", "--result-log=r.out", "-"}}) {
        SCOPED_TRACE(::testing::PrintToString(args));
        EXPECT_EQ(run_tool(dir, args, terminal).errors, "");
    }
    tool_options piped;
    piped.stdin_writer = slow_input(std::chrono::milliseconds(800));
    EXPECT_EQ(run_tool(dir, {"--json", "--result-log=r.out", "-"}, piped).errors, "");

    // Asked for, on a pipe: a line every two seconds, no carriage return.
    piped.stdin_writer = slow_input(std::chrono::milliseconds(2300));
    run = run_tool(dir, {"--json", "--progress", "--result-log=r.out", "-"}, piped);
    EXPECT_TRUE(run.errors.starts_with("tamberlo_orvel_verify: 300 lines checked, 0.0 MiB read"))
        << printable(run.errors);
    EXPECT_EQ(run.errors.find('\r'), std::string::npos);
    EXPECT_TRUE(run.console.starts_with("{\"version\":1,"));
}

// ------------------------------------------------------------ stored logs

// bytes compressed by the format's own command-line tool.
std::string compressed_by(const std::string& command, const std::string& bytes)
{
    const scratch_dir dir;
    dir.write("in", bytes);
    const std::string shell = command + " -c < " + dir.file("in") + " > " + dir.file("out");
    EXPECT_EQ(std::system(shell.c_str()), 0) << shell;
    return dir.read("out");
}

// A console with every mention of a log's path replaced by LOG.
std::string without_path(std::string console, const std::string& path)
{
    for (std::size_t at = 0; (at = console.find(path, at)) != std::string::npos;)
        console.replace(at, path.size(), "LOG");
    return console;
}

const char* const COMPRESSORS[] = {"gzip", "xz", "zstd -q", "bzip2"};

TEST(StoredLogs, ACompressedLogGivesItsTextsBytesInEveryForm)
{
    const std::string text =
        line_of(ev(1)) + "\n" + forged_line(ev(2), ev(1)) + line_of(ev(4)) + "AAAA," + ev(5) + ",0";
    const scratch_dir dir;
    dir.write("plain.log", text);
    const tool_run plain = run_tool(dir, {"plain.log", "-evl"});
    const json plain_document = json::parse(run_tool(dir, {"--json", "plain.log", "-evl"}).console);
    ASSERT_EQ(plain.exit_code, exit_of_key_code(0x3d62));
    for (const char* command : COMPRESSORS) {
        SCOPED_TRACE(command);
        dir.write("log.z", compressed_by(command, text));
        const tool_run run = run_tool(dir, {"log.z", "-evl"});
        EXPECT_EQ(run.console, plain.console);
        EXPECT_EQ(run.result_log, plain.result_log);
        EXPECT_EQ(run.exit_code, plain.exit_code);
        json document = json::parse(run_tool(dir, {"--json", "--event", "log.z"}).console);
        EXPECT_EQ(document["logs"], json::array({"log.z"}));
        document["logs"] = plain_document["logs"];
        for (json& problem : document["problems"])
            problem["log"] = "plain.log";
        EXPECT_EQ(document, plain_document);
    }
    // Two gzip members in a row are their texts one after the other.
    const std::string first = line_of(ev(1)) + line_of(ev(2));
    const std::string second = line_of(ev(3));
    dir.write("joined.log", first + second);
    dir.write("members.gz", compressed_by("gzip", first) + compressed_by("gzip", second));
    const tool_run joined = run_tool(dir, {"joined.log", "-evl"});
    const tool_run members = run_tool(dir, {"members.gz", "-evl"});
    EXPECT_EQ(members.console, joined.console);
    EXPECT_EQ(members.result_log, joined.result_log);
    EXPECT_EQ(members.exit_code, 0);
}

TEST(StoredLogs, ACompressedLogCutShortCannotBeRead)
{
    std::string text;
    for (int n = 1; n <= 400; ++n)
        text += "AAAA," + tx(n) + ",00\n";
    for (const char* command : {"gzip", "xz", "zstd -q", "bzip2"}) {
        SCOPED_TRACE(command);
        const std::string whole = compressed_by(command, text);
        const scratch_dir dir;
        dir.write("cut.z", whole.substr(0, whole.size() - 9));
        const tool_run run = run_tool(dir, {"cut.z"});
        EXPECT_EQ(run.exit_code, EXIT_FILE_ERROR);
        // Whatever was decoded before the cut is reported, in whole records.
        const long records = std::count(run.result_log.begin(), run.result_log.end(), '\n');
        std::string console = BANNER;
        std::string result_log;
        for (long n = 1; n <= records; ++n) {
            console += key_error(1, "3d62");
            result_log += tx(static_cast<int>(n)) + ", PUBKEY ERROR\n";
        }
        EXPECT_EQ(run.console, console + could_not_read("cut.z"));
        EXPECT_EQ(run.result_log, result_log);
        const json document = document_of(run_tool(dir, {"--json", "cut.z"}));
        EXPECT_EQ(document["error"]["kind"], "read_log");
        EXPECT_EQ(document["exit_code"], EXIT_FILE_ERROR);
        // In the options form the result log says why it ends there, so
        // that it cannot pass for the result log of a shorter log.
        const tool_run quiet = run_tool(dir, {"--quiet", "--result-log=c.out", "cut.z"});
        EXPECT_EQ(quiet.exit_code, EXIT_FILE_ERROR);
        const std::string reason = document["error"]["message"].get<std::string>();
        EXPECT_EQ(reason.find(','), std::string::npos);
        EXPECT_EQ(dir.read("c.out"),
                  result_log + "could not read cut.z: " + reason + ",INCOMPLETE\n");
    }
}

TEST(StoredLogs, BytesAfterTheLastMemberAreAReadErrorAfterItsLines)
{
    // The member's text was whole and checked: its lines are verified and
    // recorded, and then what follows it fails the run, named.
    const std::string text = line_of(tx(1)) + line_of(tx(2));
    const std::string four_zeros(4, '\0');
    const struct {
        const char* command;
        std::string after;
        const char* problem;
    } cases[] = {
        {"gzip", four_zeros, "gzip: bytes after the last member are not a member"},
        {"gzip", "junk after the member\n", "gzip: bytes after the last member are not a member"},
        {"xz", "junk after the stream\n",
         "xz: bytes after the last stream are neither a stream nor stream padding"},
        {"zstd -q", four_zeros, "zstd: bytes after the last frame are not a frame"},
        {"bzip2", "junk after the stream\n", "bzip2: bytes after the last stream are not a stream"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        const scratch_dir dir;
        dir.write("log.z", compressed_by(c.command, text) + c.after);
        const tool_run run = run_tool(dir, {"log.z"});
        EXPECT_EQ(run.console, BANNER + shown(tx(1)) + shown(tx(2)) + could_not_read("log.z"));
        EXPECT_EQ(run.result_log, tx(1) + ",OK\n" + tx(2) + ",OK\n");
        EXPECT_EQ(run.exit_code, EXIT_FILE_ERROR);
        // The options form's result log says why it ends there, and the
        // quiet form says it on standard error.
        const tool_run quiet = run_tool(dir, {"--quiet", "log.z"});
        EXPECT_EQ(quiet.console, "");
        EXPECT_EQ(quiet.errors, "tamberlo_orvel_verify: log.z: could not read (" +
                                    std::string(c.problem) + ")\n");
        EXPECT_EQ(quiet.result_log, tx(1) + ",OK\n" + tx(2) + ",OK\n" +
                                        "could not read log.z: " + c.problem + ",INCOMPLETE\n");
        EXPECT_EQ(quiet.exit_code, EXIT_FILE_ERROR);
    }

    // From a pipe that stays open, the failure comes without waiting for
    // more input: the two zero bytes are all that the decoder takes.
    const std::string piped = compressed_by("gzip", text) + std::string(2, '\0');
    std::atomic<bool> failed = false;
    bool failed_while_open = false;
    tool_options options;
    options.on_console = [&](const std::string& console, int /*pid*/) {
        if (console.find("Could not read") != std::string::npos)
            failed = true;
    };
    options.stdin_writer = [&](int fd) {
        (void)!write(fd, piped.data(), piped.size());
        for (int wait = 0; wait < 500 && !failed; ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        failed_while_open = failed;
    };
    const scratch_dir dir;
    const tool_run run = run_tool(dir, {"--jobs=1", "-"}, options);
    EXPECT_TRUE(failed_while_open);
    EXPECT_EQ(run.console, BANNER + shown(tx(1)) + shown(tx(2)) + could_not_read("-"));
}

TEST(StoredLogs, RotatedLogsAreOneLogAndTheirBoundariesAreChecked)
{
    // Oldest first: number 4 was lost where the second file begins.
    const std::string oldest = line_of(tx(1)) + line_of(tx(2));
    const std::string middle = line_of(tx(3)) + forged_line(tx(5), tx(1));
    const std::string newest = "\n" + line_of(tx(6)) + "AAAA," + tx(7) + ",0\n" + line_of(tx(8));
    const scratch_dir dir;
    dir.write("a.log.2.gz", compressed_by("gzip", oldest));
    dir.write("a.log.1", middle);
    dir.write("a.log", newest);
    dir.write("all.log", oldest + middle + newest);
    const std::vector<std::string> rotated = {"a.log.2.gz", "a.log.1", "a.log"};

    std::vector<std::string> args = {"--json"};
    args.insert(args.end(), rotated.begin(), rotated.end());
    json document = document_of(run_tool(dir, args));
    const json whole = document_of(run_tool(dir, {"--json", "all.log"}));
    EXPECT_EQ(document["logs"], json(rotated));
    EXPECT_EQ(document["sequence"]["missing"], json::parse("[[4,5],[7,7]]"));
    EXPECT_EQ(document["problems"],
              json::parse(R"([{"log":"a.log.1","line":2,"kind":"signature","code":null},)"
                          R"({"log":"a.log","line":3,"kind":"key","code":"-0x3d62"}])"));
    document["logs"] = whole["logs"];
    for (std::size_t i = 0; i < document["problems"].size(); ++i) {
        document["problems"][i]["log"] = whole["problems"][i]["log"];
        document["problems"][i]["line"] = whole["problems"][i]["line"];
    }
    EXPECT_EQ(document, whole);

    // The console and the result log are those of the concatenation.
    const tool_run parts = run_tool(dir, {"--jobs=2", "a.log.2.gz", "a.log.1", "a.log"});
    const tool_run all = run_tool(dir, {"all.log"});
    EXPECT_EQ(parts.console, all.console);
    EXPECT_EQ(parts.result_log, all.result_log);
    EXPECT_EQ(parts.exit_code, EXIT_COUNTED_ERRORS);

    // Quiet names each problem's own file and line.
    const tool_run quiet = run_tool(dir, {"--quiet", "a.log.2.gz", "a.log.1", "a.log"});
    EXPECT_TRUE(
        quiet.console.starts_with(quiet_problem("a.log.1", 2, "signature does not verify") +
                                  quiet_problem("a.log", 3, "key does not parse (-0x3d62)") +
                                  quiet_missing("a.log.2.gz, a.log.1, a.log", 4, 5)))
        << quiet.console;

    // None of them may be the result log.
    const tool_run refused = run_tool(dir, {"--result-log=a.log.1", "a.log.2.gz", "a.log.1"});
    EXPECT_EQ(refused.console, BANNER + result_log_is_the_log("a.log.1"));
    EXPECT_EQ(dir.read("a.log.1"), middle);
}

TEST(StoredLogs, StandardInputIsADashInTheOptionsFormOnly)
{
    const std::string log = line_of(tx(1)) + line_of(tx(2));
    const scratch_dir dir;
    tool_options piped;
    piped.stdin_writer = [&](int fd) { (void)!write(fd, log.data(), log.size()); };
    tool_run run = run_tool(dir, {"--quiet", "-"}, piped);
    EXPECT_EQ(run.console, "");
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.result_log, tx(1) + ",OK\n" + tx(2) + ",OK\n");

    const std::string gzipped = compressed_by("gzip", log);
    piped.stdin_writer = [&](int fd) { (void)!write(fd, gzipped.data(), gzipped.size()); };
    run = run_tool(dir, {"--jobs=1", "-"}, piped);
    EXPECT_EQ(run.console, BANNER + shown(tx(1)) + shown(tx(2)) + clean_summary(2));

    // In the plain form "-" is a file's name.
    run = run_tool(dir, {"-"});
    EXPECT_EQ(run.console, BANNER + could_not_open("-"));
}

// ------------------------------------------------------------ history

// The classic falsifications that need no key: each passes a plain run and
// fails under --strict or with the expected edges, in every form.
TEST(History, EachFalsificationFailsWithItsOwnMessageInEveryForm)
{
    const std::string clean = line_of(tx(1)) + line_of(tx(2)) + line_of(tx(3));
    const struct {
        const char* name;
        std::string log;
        std::vector<std::string> options;
        std::string console;     // after the banner
        std::string records;     // after the lines' own records
        std::string quiet;       // before the summary
        const char* json_error;  // the key of "errors" that counts it
    } cases[] = {
        {"a line replayed",
         clean + line_of(tx(2)),
         {"--strict"},
         shown(tx(1)) + shown(tx(2)) + shown(tx(3)) + shown(tx(2)) + repeated_error(4) +
             error_count_summary(1),
         "",
         quiet_problem("log.txt", 4, "sequence number 2 repeated (first at log.txt:2)"),
         "repeated_sequence"},
        {"lines moved out of order",
         line_of(tx(1)) + line_of(tx(3)) + line_of(tx(2)),
         {"--strict"},
         shown(tx(1)) + shown(tx(3)) + shown(tx(2)) + out_of_order_error(3) +
             error_count_summary(1),
         "",
         quiet_problem("log.txt", 3, "sequence number 2 out of order (after 3)"),
         "out_of_order"},
        {"the tail cut",
         clean,
         {"--expect-last=5"},
         shown(tx(1)) + shown(tx(2)) + shown(tx(3)) + transaction_gap(4) + transaction_gap(4) +
             error_count_summary(2),
         "//4//////,MISSING SEQUENCE\n//5//////,MISSING SEQUENCE\n",
         quiet_missing("log.txt", 4, 5),
         "missing_sequence"},
        {"the head cut",
         line_of(tx(3)) + line_of(tx(4)),
         {"--strict", "--expect-first=1"},
         shown(tx(3)) + shown(tx(4)) + transaction_gap(3) + transaction_gap(3) +
             error_count_summary(2),
         "//1//////,MISSING SEQUENCE\n//2//////,MISSING SEQUENCE\n",
         quiet_missing("log.txt", 1, 2),
         "missing_sequence"},
        {"a number before the expected first",
         clean,
         {"--expect-first=2"},
         shown(tx(1)) + unexpected_error(1) + shown(tx(2)) + shown(tx(3)) + error_count_summary(1),
         "",
         quiet_problem("log.txt", 1, "sequence number 1 outside the expected range (from 2)"),
         "unexpected_sequence"},
        {"a number after the expected last",
         clean,
         {"--expect-last=2"},
         shown(tx(1)) + shown(tx(2)) + shown(tx(3)) + unexpected_error(3) + error_count_summary(1),
         "",
         quiet_problem("log.txt", 3, "sequence number 3 outside the expected range (to 2)"),
         "unexpected_sequence"},
        {"an empty log",
         "\n  \n",
         {"--strict"},
         nothing_verified(1) + error_count_summary(1),
         "",
         "log.txt: no line reached verification\n",
         "nothing_verified"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const scratch_dir dir;
        dir.write("log.txt", c.log);
        // Without the new options: the plain form's bytes.
        const tool_run plain = run_tool(dir, {"log.txt"});
        const tool_run lax = run_tool(dir, {"--jobs=2", "log.txt"});
        EXPECT_EQ(lax.console, plain.console);
        EXPECT_EQ(lax.result_log, plain.result_log);
        EXPECT_EQ(lax.exit_code, plain.exit_code);
        EXPECT_EQ(plain.exit_code, 0);

        std::vector<std::string> args = c.options;
        args.emplace_back("log.txt");
        const tool_run console = run_tool(dir, args);
        EXPECT_EQ(console.console, BANNER + c.console);
        EXPECT_EQ(console.exit_code, EXIT_COUNTED_ERRORS);
        EXPECT_TRUE(console.result_log.ends_with(c.records)) << console.result_log;
        EXPECT_EQ(std::count(console.result_log.begin(), console.result_log.end(), '\n'),
                  std::count(plain.result_log.begin(), plain.result_log.end(), '\n') +
                      std::count(c.records.begin(), c.records.end(), '\n'));

        args.insert(args.begin(), "--quiet");
        const tool_run quiet = run_tool(dir, args);
        EXPECT_TRUE(quiet.console.starts_with(c.quiet)) << quiet.console;
        EXPECT_EQ(quiet.result_log, console.result_log);

        args[0] = "--json";
        const json document = document_of(run_tool(dir, args));
        EXPECT_GT(document["errors"][c.json_error], 0) << document["errors"];
        EXPECT_EQ(document["exit_code"], EXIT_COUNTED_ERRORS);
    }
}
