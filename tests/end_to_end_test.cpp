// The built tool on whole logs: console bytes, out.log bytes and exit code.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "expected_texts.hpp"
#include "fixtures.hpp"
#include "tool_runner.hpp"

namespace {

using fixtures::key_field;
using fixtures::signature;
using fixtures::signed_line;

const std::string KEY = "secp256r1";

std::string tx(const std::string& n) { return "tx/0/1/2/3/4/5/" + n; }
std::string tx(int n) { return tx(std::to_string(n)); }
std::string ev(int n) { return "ev/" + std::to_string(n) + "/x"; }

// "\n[data][signature]" as printed for a line whose key parsed.
using ::shown;
std::string shown(const std::string& data) { return shown(data, signature(KEY, data)); }

std::string line_of(const std::string& data) { return signed_line(KEY, data) + "\n"; }

// A line whose key parses but whose signature belongs to other data.
std::string forged_line(const std::string& data, const std::string& signed_data)
{
    return key_field(KEY) + "," + data + "," + signature(KEY, signed_data) + "\n";
}

void expect_run(const tool_run& run, const std::string& console, const std::string& result_log,
                int exit_code)
{
    EXPECT_EQ(run.console, console);
    EXPECT_TRUE(run.result_log_exists);
    EXPECT_EQ(run.result_log, result_log);
    EXPECT_EQ(run.exit_code, exit_code);
    EXPECT_EQ(run.errors, "");
}

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
