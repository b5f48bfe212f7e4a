// Which key may sign which lines: the conditions of trusted keys by
// sequence number, revocation and date, a certificate's own dates, and the
// times of lines under --strict, run in process on logs OpenSSL signed.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "in_process.hpp"
#include "test_support.hpp"
#include "trusted_keys.hpp"

namespace {

using json = nlohmann::ordered_json;

const std::string SAID = "tamberlo_orvel_verify: ";

// The logs of make_key_windows_logs.py, made once per build directory.
std::string signed_log(const std::string& name)
{
    static const bool made = [] {
        const std::string command = std::string(FIXTURE_PYTHON) + " " + MAKE_KEY_WINDOWS_LOGS +
                                    " " + KEY_WINDOWS_LOG_DIR + " >/dev/null";
        if (std::system(command.c_str()) != 0)
            throw std::runtime_error("cannot make the logs in " KEY_WINDOWS_LOG_DIR);
        return true;
    }();
    (void)made;
    std::ifstream in(std::string(KEY_WINDOWS_LOG_DIR) + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The trusted-keys file of the three keys of three_keys.log, each with its
// conditions.
std::string three_keys(const std::string& first, const std::string& second,
                       const std::string& third)
{
    return "sha256:" + fixtures::fingerprint("secp256r1") + " " + first + "\n" +
           "sha256:" + fixtures::fingerprint("secp384r1") + " " + second + "\n" +
           "sha256:" + fixtures::fingerprint("rsa2048") + " " + third + "\n";
}

json run_json(const scratch_dir& dir, std::vector<std::string> args)
{
    args.insert(args.begin(), {"--json", "--trusted-keys=trust.txt"});
    return json::parse(run_in_process(dir, args).console);
}

// The lines a document lists as of kind.
std::set<long> lines_of_kind(const json& document, const std::string& kind)
{
    std::set<long> lines;
    for (const json& problem : document["problems"]) {
        if (problem["kind"] == kind)
            lines.insert(problem["line"].get<long>());
    }
    return lines;
}

std::set<long> range(long first, long last)
{
    std::set<long> numbers;
    for (long n = first; n <= last; ++n)
        numbers.insert(n);
    return numbers;
}

TEST(KeyWindows, ThreeKeysInTurnEachWithinItsWindow)
{
    const scratch_dir dir;
    dir.write("tx.log", signed_log("three_keys.log"));
    const struct {
        const char* name;
        std::string trust;
        std::set<long> not_valid;  // lines, which are their numbers here
    } cases[] = {
        {"the windows as the keys signed", three_keys("seq=1-100", "seq=101-200", "seq=201-"), {}},
        {"open on both ends", three_keys("seq=-100", "seq=101-200", "seq=201-"), {}},
        {"the first key's last line outside",
         three_keys("seq=1-99", "seq=101-200", "seq=201-"),
         {100}},
        {"the first key's first line outside",
         three_keys("seq=2-100", "seq=101-200", "seq=201-"),
         {1}},
        {"the second key's first line outside",
         three_keys("seq=1-100", "seq=102-200", "seq=201-300"),
         {101}},
        {"the second key's last line outside",
         three_keys("seq=1-100", "seq=101-199", "seq=201-300"),
         {200}},
        {"the third key's first line outside",
         three_keys("seq=1-100", "seq=101-200", "seq=202-"),
         {201}},
        {"the third key's last line outside",
         three_keys("seq=1-100", "seq=101-200", "seq=201-299"),
         {300}},
        {"a key of two windows",
         three_keys("seq=1-40", "seq=101-200", "seq=201-") +
             "sha256:" + fixtures::fingerprint("secp256r1") + " seq=51-100\n",
         range(41, 50)},
        {"a key without conditions besides",
         three_keys("seq=1-40", "seq=101-200", "seq=201-") +
             "sha256:" + fixtures::fingerprint("secp256r1") + "\n",
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        dir.write("trust.txt", c.trust);
        const json document = run_json(dir, {"tx.log"});
        EXPECT_EQ(lines_of_kind(document, "key_not_valid"), c.not_valid);
        EXPECT_EQ(document["errors"]["key_not_valid"], c.not_valid.size());
        EXPECT_EQ(document["exit_code"], c.not_valid.empty() ? 0 : 154);
    }
    // The quiet line says which window the line is outside of.
    for (const auto& [trust, said] : std::vector<std::pair<std::string, std::string>>{
             {three_keys("seq=1-99", "seq=101-200", "seq=201-"), "(valid 1 to 99)"},
             {three_keys("seq=-99", "seq=101-200", "seq=201-"), "(valid to 99)"},
             {three_keys("seq=1-100", "seq=102-", "seq=201-"), "(valid from 102)"}}) {
        dir.write("trust.txt", trust);
        const tool_run quiet =
            run_in_process(dir, {"--quiet", "--trusted-keys=trust.txt", "tx.log"});
        EXPECT_NE(quiet.console.find(" not valid for sequence number 10"), std::string::npos);
        EXPECT_NE(quiet.console.find(said + "\n"), std::string::npos) << quiet.console;
    }
}

TEST(KeyWindows, ARevocationFlagsExactlyTheLinesAfterItInEveryForm)
{
    const scratch_dir dir;
    dir.write("tx.log", signed_log("three_keys.log"));
    dir.write("trust.txt", three_keys("seq=1-100", "seq=101-200", "seq=201-"));
    // A checkpoint made before the revocation.
    const tool_run before =
        run_in_process(dir, {"--quiet", "--trusted-keys=trust.txt", "--checkpoint=cp", "tx.log"});
    ASSERT_EQ(before.exit_code, 0) << before.console;
    dir.write("trust.txt", three_keys("seq=1-100", "seq=101-200 revoked-after=150", "seq=201-"));
    const json document = run_json(dir, {"tx.log"});
    EXPECT_EQ(lines_of_kind(document, "key_not_valid"), range(151, 200));
    const tool_run quiet = run_in_process(dir, {"--quiet", "--trusted-keys=trust.txt", "tx.log"});
    EXPECT_TRUE(quiet.console.starts_with(
        quiet_problem("tx.log", 151,
                      "key sha256:" + fixtures::fingerprint("secp384r1") +
                          " not valid for sequence number 151 (revoked after 150)")))
        << quiet.console;
    std::size_t records = 0;
    for (std::size_t at = 0; (at = quiet.result_log.find(",ERROR\n", at)) != std::string::npos;
         ++at)
        ++records;
    EXPECT_EQ(records, 50U);
    EXPECT_NE(quiet.result_log.find("/151,ERROR\n"), std::string::npos);
    EXPECT_NE(quiet.result_log.find("/150,OK\n"), std::string::npos);
    const tool_run console = run_in_process(dir, {"--trusted-keys=trust.txt", "tx.log"});
    EXPECT_NE(console.console.find("\nkey not valid at line 151"), std::string::npos);
    EXPECT_EQ(console.console.find("\nkey not valid at line 150"), std::string::npos);
    // A revocation must reach the lines verified before it.
    const tool_run resumed =
        run_in_process(dir, {"--quiet", "--trusted-keys=trust.txt", "--checkpoint=cp", "tx.log"});
    EXPECT_EQ(resumed.errors,
              SAID +
                  "cp: history changed: the trusted keys or their conditions changed since it "
                  "was made: verify the history again without it\n");
    EXPECT_EQ(resumed.exit_code, EXIT_HISTORY_CHANGED);
    // The conditions show in the JSON document's keys.
    EXPECT_EQ(document["keys"][1]["conditions"][0]["seq"], json::array({101, 200}));
    EXPECT_EQ(document["keys"][1]["conditions"][0]["revoked_after"], 150);
}

TEST(KeyWindows, DatesAreHeldToTheLinesTimes)
{
    // Line N of three_keys.log is at 2026-12-01T00:00:00Z plus N minutes.
    const scratch_dir dir;
    dir.write("tx.log", signed_log("three_keys.log"));
    const std::string rest = " seq=101-200\nsha256:" + fixtures::fingerprint("rsa2048") + "\n";
    const struct {
        const char* name;
        std::string first_key;  // the words of secp256r1's entry
        std::set<long> not_valid;
    } cases[] = {
        {"from a time on, that time inside", "not-before=2026-12-01T00:10:00Z", range(1, 9)},
        {"up to a time, that time inside", "not-after=2026-12-01T00:10:00Z", range(11, 100)},
        {"both, a second either way",
         "not-before=2026-12-01T00:09:59Z not-after=2026-12-01T00:20:01Z",
         [] {
             std::set<long> lines = range(1, 9);
             const std::set<long> late = range(21, 100);
             lines.insert(late.begin(), late.end());
             return lines;
         }()},
        {"a date holds all its day", "not-after=2026-12-01", {}},
        {"a day before", "not-after=2026-11-30", range(1, 100)},
        {"and a window of numbers", "seq=1-50 not-before=2026-12-01T00:05:00Z",
         [] {
             std::set<long> lines = range(1, 4);
             const std::set<long> late = range(51, 100);
             lines.insert(late.begin(), late.end());
             return lines;
         }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        dir.write("trust.txt", "sha256:" + fixtures::fingerprint("secp256r1") + " " + c.first_key +
                                   "\nsha256:" + fixtures::fingerprint("secp384r1") + rest);
        const json document = run_json(dir, {"--time-field=1", "tx.log"});
        EXPECT_EQ(lines_of_kind(document, "key_not_valid"), c.not_valid);
    }
    // Without the lines' times, dates are a command line that asks for
    // what it does not give.
    const tool_run without = run_in_process(dir, {"--quiet", "--trusted-keys=trust.txt",
                                                  "--result-log=none.out", "tx.log"});
    EXPECT_EQ(without.errors,
              SAID +
                  "trust.txt:1: trusted keys: a date condition needs --time-field, the item of "
                  "a line's time\n");
    EXPECT_EQ(without.exit_code, EXIT_BAD_ARGUMENT);
    EXPECT_FALSE(without.result_log_exists);
    dir.write("trust.txt",
              "sha256:" + fixtures::fingerprint("secp256r1") + " not-after=2026-12-01T00:10:00Z\n");
    const tool_run quiet =
        run_in_process(dir, {"--quiet", "--trusted-keys=trust.txt", "--time-field=1", "tx.log"});
    EXPECT_TRUE(quiet.console.starts_with(
        quiet_problem("tx.log", 11,
                      "key sha256:" + fixtures::fingerprint("secp256r1") +
                          " not valid for sequence number 11 (time 2026-12-01T00:11:00Z after "
                          "2026-12-01T00:10:00Z)")))
        << quiet.console;
}

TEST(KeyWindows, ACertificatesOwnDatesBoundItsKeyWhereLinesHaveTimes)
{
    // Valid 2000-01-01T00:00:00Z to 2000-01-02T00:00:00Z; lines a second
    // before, at its first second, inside, at its last, a second after.
    const scratch_dir dir;
    dir.write("tx.log", signed_log("certificate.log"));
    std::ifstream certificate(fixtures::certificate_path("expired_secp256r1"));
    dir.write("trust.txt", std::string(std::istreambuf_iterator<char>(certificate),
                                       std::istreambuf_iterator<char>()));
    const json timed = run_json(dir, {"--time-field=1", "tx.log"});
    EXPECT_EQ(lines_of_kind(timed, "key_not_valid"), (std::set<long>{1, 5}));
    EXPECT_EQ(timed["keys"][0]["conditions"][0]["certificate_not_after"], "2000-01-02T00:00:00Z");
    EXPECT_TRUE(lines_of_kind(run_json(dir, {"tx.log"}), "key_not_valid").empty());
    // Conditions of its own on the line before the block.
    dir.write("trust.txt", "conditions: seq=2-\n" + dir.read("trust.txt"));
    EXPECT_EQ(lines_of_kind(run_json(dir, {"--time-field=1", "tx.log"}), "key_not_valid"),
              (std::set<long>{1, 5}));
    EXPECT_EQ(lines_of_kind(run_json(dir, {"tx.log"}), "key_not_valid"), (std::set<long>{1}));
}

TEST(KeyWindows, UnderStrictATimeMustReadGoForwardAndNotBeAhead)
{
    // Times: 10:00:00, +10 s, -30 s, -2 min, none, in 2100, 10:00:20.5.
    const scratch_dir dir;
    dir.write("tx.log", signed_log("times.log"));
    dir.write("trust.txt", "sha256:" + fixtures::fingerprint("secp256r1") + "\n");
    const struct {
        const char* name;
        std::vector<std::string> options;
        std::set<long> unreadable, backwards, future;
    } cases[] = {
        {"the tolerance as it is", {"--strict"}, {5}, {4}, {6}},
        {"a tolerance of three minutes", {"--strict", "--time-tolerance=180"}, {5}, {}, {6}},
        {"no tolerance", {"--strict", "--time-tolerance=0"}, {5}, {3, 4}, {6}},
        {"a tolerance of just the 30 s line 3 goes back",
         {"--strict", "--time-tolerance=30"},
         {5},
         {4},
         {6}},
        {"without --strict", {}, {}, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"--time-field=1", "tx.log"});
        const json document = run_json(dir, args);
        EXPECT_EQ(lines_of_kind(document, "time_unreadable"), c.unreadable);
        EXPECT_EQ(lines_of_kind(document, "time_backwards"), c.backwards);
        EXPECT_EQ(lines_of_kind(document, "time_in_future"), c.future);
    }
    const tool_run quiet = run_in_process(dir, {"--quiet", "--strict", "--trusted-keys=trust.txt",
                                                "--time-field=1", "tx.log"});
    EXPECT_NE(quiet.console.find(quiet_problem(
                  "tx.log", 4,
                  "time going back (2026-12-01T09:58:00Z before 2026-12-01T10:00:10Z, the latest "
                  "before)")),
              std::string::npos)
        << quiet.console;
    EXPECT_NE(quiet.console.find(
                  quiet_problem("tx.log", 5, "no ISO 8601 UTC time in the time field")),
              std::string::npos);
    // A resumed run holds its lines to the latest time of the history:
    // line 4 is the first after it, and goes back from line 2 alone.
    const std::string lines = dir.read("tx.log");
    std::size_t three_lines = 0;
    for (int line = 0; line < 3; ++line)
        three_lines = lines.find('\n', three_lines) + 1;
    dir.write("tx.log", lines.substr(0, three_lines));
    const std::vector<std::string> resumed = {"--strict", "--checkpoint=cp", "--time-field=1",
                                              "tx.log"};
    run_json(dir, resumed);
    dir.write("tx.log", lines);
    EXPECT_EQ(lines_of_kind(run_json(dir, resumed), "time_backwards"), std::set<long>{4});
}

TEST(KeyWindows, AConditionThatIsNoneStopsTheRunNamingItsLine)
{
    const std::string key = "sha256:" + fixtures::fingerprint("secp256r1");
    const struct {
        std::string entry;
        std::string message;
    } cases[] = {
        {key + " seq=5", "seq= wants A-B, A- or -B, not \"5\""},
        {key + " seq=-", "seq= is an empty range"},
        {key + " seq=9-3", "seq=9-3 is an empty range (reversed)"},
        {key + " seq=1-x", "seq= wants A-B, A- or -B, not \"1-x\""},
        {key + " seq=1-99999999999", "seq= wants A-B, A- or -B, not \"1-99999999999\""},
        {key + " revoked-after=", "revoked-after= wants a number, not \"\""},
        {key + " not-before=2026-13-01",
         "not-before= wants an ISO 8601 UTC date or date-time, "
         "not \"2026-13-01\""},
        {key + " not-after=2026-02-29",
         "not-after= wants an ISO 8601 UTC date or date-time, not "
         "\"2026-02-29\""},
        {key + " not-before=2026-12-02 not-after=2026-12-01", "not-before is after not-after"},
        {key + " seq=1-2 seq=3-4", "seq= given twice"},
        {key + " valid=1-2",
         "unknown condition \"valid=1-2\" (seq=, revoked-after=, not-before=, "
         "not-after=)"},
        {"conditions: seq=1-2\n# a comment between\n" + key,
         "conditions without a PEM block after "
         "them"},
    };
    const scratch_dir dir;
    dir.write("tx.log", signed_log("times.log"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entry);
        dir.write("trust.txt", "# keys\n" + c.entry + "\n");
        const tool_run run = run_in_process(dir, {"--quiet", "--trusted-keys=trust.txt",
                                                  "--time-field=1", "tx.log"});
        EXPECT_EQ(run.errors, SAID + "trust.txt:2: trusted keys: " + c.message + "\n");
        EXPECT_EQ(run.exit_code, EXIT_FILE_ERROR);
        EXPECT_FALSE(run.result_log_exists);
    }
}

TEST(KeyWindows, EachBoundIsInclusive)
{
    key_conditions window;
    window.first = 10;
    window.last = 20;
    window.revoked_after = 15;
    const line_time none;
    const struct {
        uint32_t number;
        condition_miss miss;
    } numbers[] = {{9, condition_miss::below_first}, {10, condition_miss::none},
                   {15, condition_miss::none},       {16, condition_miss::revoked},
                   {21, condition_miss::above_last}, {0, condition_miss::none}};
    for (const auto& c : numbers)
        EXPECT_EQ(condition_miss_of(window, c.number, none), c.miss) << c.number;
    key_conditions dates;
    dates.not_before = time_bound{100, "a"};
    dates.not_after = time_bound{200, "b"};
    dates.certificate_not_before = time_bound{150, "c"};
    const struct {
        line_time time;
        condition_miss miss;
    } times[] = {
        {{true, 99}, condition_miss::before}, {{true, 100}, condition_miss::before_certificate},
        {{true, 150}, condition_miss::none},  {{true, 200}, condition_miss::none},
        {{true, 201}, condition_miss::after}, {{true, std::nullopt}, condition_miss::no_time},
    };
    for (const auto& c : times)
        EXPECT_EQ(condition_miss_of(dates, 1, c.time), c.miss) << c.time.value.value_or(-1);
    // Without the lines' times, a certificate's dates do not count.
    key_conditions certified;
    certified.certificate_not_after = time_bound{1, "c"};
    EXPECT_EQ(condition_miss_of(certified, 1, none), condition_miss::none);
}

}  // namespace
