// Logs under a rotating writer's naming, verified with a checkpoint as the
// shipped daily service does: a year of rotations with runs skipped, and
// then every change to what was verified caught and named.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "in_process.hpp"
#include "rotated_logs.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;

const std::string SAID = "tamberlo_orvel_verify: ";

TEST(RotatedSet, FoundOldestFirstAsARotatingWriterNamesThem)
{
    const scratch_dir dir;
    const struct {
        std::vector<std::string> files;
        std::vector<std::string> set;  // oldest first
    } cases[] = {
        {{}, {}},
        {{"tx.log.1", "tx.log.2.gz"}, {"tx.log.2.gz", "tx.log.1"}},
        {{"tx.log", "tx.log.1", "tx.log.10.xz", "tx.log.2.gz", "tx.log.3.zst"},
         {"tx.log.10.xz", "tx.log.3.zst", "tx.log.2.gz", "tx.log.1", "tx.log"}},
        // Being compressed: the plain file is whole, its twin may not be.
        {{"tx.log", "tx.log.2", "tx.log.2.gz"}, {"tx.log.2", "tx.log"}},
        {{"tx.log", "tx.log-20261207", "tx.log-20261130.gz", "tx.log-20261206.bz2"},
         {"tx.log-20261130.gz", "tx.log-20261206.bz2", "tx.log-20261207", "tx.log"}},
        // Numbers before dates; other names are not the log's.
        {{"tx.log", "tx.log-20261201", "tx.log.1", "tx.log.lock", "tx.logs", "tx.log.1.tmp",
          "tx.log-2026", "tx.log.", "tx.log.gz", "tx.log.1234567"},
         {"tx.log.1", "tx.log-20261201", "tx.log"}},
    };
    for (const auto& c : cases) {
        const scratch_dir set;
        for (const std::string& file : c.files)
            set.write(file, "x\n");
        std::vector<std::string> expected;
        for (const std::string& file : c.set)
            expected.push_back(set.file(file));
        EXPECT_EQ(rotated_set(set.file("tx.log")), expected) << testing::PrintToString(c.files);
    }
    // Only regular files count, and a directory that is not there holds
    // none.
    fs::create_directory(dir.file("tx.log.1"));
    dir.write("tx.log", "");
    EXPECT_EQ(rotated_set(dir.file("tx.log")), std::vector<std::string>{dir.file("tx.log")});
    EXPECT_TRUE(rotated_set(dir.file("none/tx.log")).empty());
}

// Lines tx/0/1/2/3/4/5/N signed by OpenSSL (make_scale_log.py), made once
// per build directory.
const std::vector<std::string>& signed_lines()
{
    static const std::vector<std::string> lines = [] {
        const std::string command = std::string(FIXTURE_PYTHON) + " " + MAKE_SCALE_LOG + " " +
                                    ROTATION_LOG_PATH + " 3000 >/dev/null";
        if (std::system(command.c_str()) != 0)
            throw std::runtime_error("cannot make " + std::string(ROTATION_LOG_PATH));
        std::vector<std::string> read;
        std::ifstream in(ROTATION_LOG_PATH);
        for (std::string line; std::getline(in, line);)
            read.push_back(line + "\n");
        return read;
    }();
    return lines;
}

std::string gzip_text(const scratch_dir& dir, const std::string& name)
{
    std::string out;
    const std::string command = "gzip -n -c '" + dir.file(name) + "'";
    std::FILE* pipe = popen(command.c_str(), "r");
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        out.append(chunk, got);
    pclose(pipe);
    return out;
}

std::string gunzip_text(const scratch_dir& dir, const std::string& name)
{
    std::string out;
    const std::string command = "gzip -d -c '" + dir.file(name) + "'";
    std::FILE* pipe = popen(command.c_str(), "r");
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        out.append(chunk, got);
    pclose(pipe);
    return out;
}

// tx.log rotated daily as a rotating writer configured with "rotate 3",
// "compress", "delaycompress" and "create" does it: with numbers
// (tx.log.1, tx.log.2.gz, tx.log.3.gz) or with dates (tx.log-DAY).
class daily_rotation {
public:
    daily_rotation(const scratch_dir& dir, bool dated) : dir_(dir), dated_(dated) {}

    void append(const std::string& text)
    {
        live_ += text;
        dir_.write("tx.log", live_);
    }

    void rotate(int day)
    {
        if (dated_) {
            rotate_dated(day);
        } else {
            fs::remove(dir_.file("tx.log.3.gz"));
            if (fs::exists(dir_.file("tx.log.2.gz")))
                fs::rename(dir_.file("tx.log.2.gz"), dir_.file("tx.log.3.gz"));
            compress("tx.log.1", "tx.log.2.gz");
            fs::rename(dir_.file("tx.log"), dir_.file("tx.log.1"));
        }
        live_.clear();
        dir_.write("tx.log", "");
    }

    // The retained files, oldest first.
    std::vector<std::string> files() const
    {
        std::vector<std::string> names;
        for (const std::string& path : rotated_set(dir_.file("tx.log")))
            names.push_back(fs::path(path).filename());
        return names;
    }

private:
    void compress(const std::string& from, const std::string& to)
    {
        if (!fs::exists(dir_.file(from)))
            return;
        dir_.write(to, gzip_text(dir_, from));
        fs::remove(dir_.file(from));
    }

    void rotate_dated(int day)
    {
        if (!dated_names_.empty())
            compress(dated_names_.back(), dated_names_.back() + ".gz");
        char name[32];
        std::snprintf(name, sizeof name, "tx.log-2026%04d", 101 + day);
        fs::rename(dir_.file("tx.log"), dir_.file(name));
        dated_names_.emplace_back(name);
        while (dated_names_.size() > 3) {
            fs::remove(dir_.file(dated_names_.front() + ".gz"));
            dated_names_.erase(dated_names_.begin());
        }
    }

    const scratch_dir& dir_;
    const bool dated_;
    std::string live_;
    std::vector<std::string> dated_names_;
};

// The shipped service's command line, with a result log of the day's own.
tool_run daily_run(const scratch_dir& dir, int day, std::vector<std::string> more = {})
{
    std::vector<std::string> args = {"--quiet",          "--strict",
                                     "--checkpoint=cp",  "--jobs=0",
                                     "--rotated=tx.log", "--result-log=out-" + std::to_string(day)};
    args.insert(args.end(), more.begin(), more.end());
    return run_in_process(dir, args);
}

std::map<std::string, int> records_by_data(const std::string& result_log,
                                           std::map<std::string, int> counts)
{
    std::size_t at = 0;
    for (std::size_t end; (end = result_log.find('\n', at)) != std::string::npos; at = end + 1)
        ++counts[result_log.substr(at, end - at)];
    return counts;
}

// A year of the shipped service on a log rotated daily, with runs skipped
// at random (at most as many rotations in a row as the set keeps): every
// run is sound and silent, and every line is recorded exactly once.
void live_a_year(const scratch_dir& dir, bool dated, int days, std::size_t& written)
{
    std::mt19937 random(dated ? 7 : 3);
    daily_rotation log(dir, dated);
    const std::vector<std::string>& lines = signed_lines();
    std::map<std::string, int> records;
    int rotations_since_run = 0;
    int longest_skip = 0;
    written = 0;
    const auto run_now = [&](int day) {
        const tool_run run = daily_run(dir, day);
        ASSERT_EQ(run.exit_code, 0) << "day " << day << ": " << run.console << run.errors;
        ASSERT_EQ(run.console + run.errors, "") << "day " << day;
        records = records_by_data(run.result_log, records);
        longest_skip = std::max(longest_skip, rotations_since_run);
        rotations_since_run = 0;
    };
    for (int day = 1; day <= days; ++day) {
        const std::size_t morning = random() % 6;
        for (std::size_t i = 0; i < morning && written < lines.size(); ++i)
            log.append(lines[written++]);
        // Now and then the writer is in the middle of a line at the run.
        const bool halfway = random() % 5 == 0 && written < lines.size();
        const std::string& next = lines[std::min(written, lines.size() - 1)];
        if (halfway)
            log.append(next.substr(0, next.size() / 2));
        if (rotations_since_run == 3 || random() % 3 != 0)
            run_now(day);
        if (halfway)
            log.append(next.substr(next.size() / 2));
        written += halfway ? 1 : 0;
        for (std::size_t i = 0, evening = random() % 3; i < evening && written < lines.size(); ++i)
            log.append(lines[written++]);
        log.rotate(day);
        ++rotations_since_run;
    }
    run_now(days + 1);
    EXPECT_EQ(longest_skip, 3);
    std::map<std::string, int> each_once;
    for (std::size_t n = 1; n <= written; ++n)
        each_once[tx(static_cast<long>(n)) + ",OK"] = 1;
    EXPECT_EQ(records, each_once);
}

// The text of a file of the set, and the file with another text,
// compressed again where it was.
std::string file_text(const scratch_dir& dir, const std::string& name)
{
    return name.ends_with(".gz") ? gunzip_text(dir, name) : dir.read(name);
}

void write_text(const scratch_dir& dir, const std::string& name, const std::string& text)
{
    dir.write(name, text);
    if (name.ends_with(".gz")) {
        dir.write(name + ".plain", text);
        dir.write(name, gzip_text(dir, name + ".plain"));
        fs::remove(dir.file(name + ".plain"));
    }
}

// One byte of line 2's data field changed in file at: the line no longer
// verifies, and is named.
std::string change_a_byte(const scratch_dir& dir, const std::string& name)
{
    std::string text = file_text(dir, name);
    const std::size_t second_line = text.find('\n') + 1;
    text[text.find("tx/0/", second_line) + 3] = '9';
    write_text(dir, name, text);
    return name + ":2: history changed: signature does not verify\n";
}

void catch_every_change(const scratch_dir& year)
{
    const std::vector<std::string> files = daily_rotation(year, false).files();
    ASSERT_EQ(files.size(), 4U);
    const auto copy_of_year = [&year](const scratch_dir& dir) {
        fs::copy(year.path(), dir.path(),
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        fs::remove(dir.file("cp.lock"));
    };
    // A changed byte in each file of the retained set.
    for (const std::string& name : files) {
        SCOPED_TRACE(name);
        const scratch_dir dir;
        copy_of_year(dir);
        if (file_text(dir, name).empty())
            continue;
        const std::string problem = change_a_byte(dir, name);
        const tool_run run = daily_run(dir, 0);
        EXPECT_EQ(run.errors, SAID + problem);
        EXPECT_EQ(run.exit_code, EXIT_HISTORY_CHANGED);
        EXPECT_FALSE(run.result_log_exists);
    }
    const struct {
        const char* name;
        std::string (*change)(const scratch_dir& dir, const std::vector<std::string>& files);
        std::string (*problem)(const std::vector<std::string>& files);
        int exit_code;
    } changes[] = {
        {"a line replayed",
         [](const scratch_dir& dir, const std::vector<std::string>& names) {
             const std::string oldest = file_text(dir, names.front());
             const std::string first_line = oldest.substr(0, oldest.find('\n') + 1);
             std::string live = dir.read(names.back());
             dir.write(names.back(), live + first_line);
             return first_line;
         },
         [](const std::vector<std::string>&) { return std::string("repeated"); },
         EXIT_COUNTED_ERRORS},
        {"the tail cut",
         [](const scratch_dir& dir, const std::vector<std::string>& names) {
             const std::string text = file_text(dir, names[2]);
             write_text(dir, names[2], text.substr(0, text.size() - 5));
             return std::string();
         },
         [](const std::vector<std::string>& names) {
             return names[2] + ":";  // it ends within its last piece
         },
         EXIT_HISTORY_CHANGED},
        {"a middle file removed",
         [](const scratch_dir& dir, const std::vector<std::string>& names) {
             fs::remove(dir.file(names[1]));
             return std::string();
         },
         [](const std::vector<std::string>& names) {
             return names[2] + ": history changed: the checkpoint's log " + names[1] +
                    " is missing before it\n";
         },
         EXIT_HISTORY_CHANGED},
    };
    for (const auto& c : changes) {
        SCOPED_TRACE(c.name);
        const scratch_dir dir;
        copy_of_year(dir);
        c.change(dir, files);
        const tool_run run = daily_run(dir, 0);
        EXPECT_NE((run.console + run.errors).find(c.problem(files)), std::string::npos)
            << run.console << run.errors;
        EXPECT_EQ(run.exit_code, c.exit_code);
    }
}

// Where a year's runs go: in memory where there is a file system there,
// since every run syncs its checkpoint to the disk.
std::string in_memory()
{
    return fs::is_directory("/dev/shm") && access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "";
}

TEST(Rotation, AYearOfDailyRotationsIsSoundAndEveryChangeIsCaught)
{
    const scratch_dir year(in_memory());
    std::size_t written = 0;
    live_a_year(year, false, 365, written);
    if (HasFatalFailure())
        return;
    catch_every_change(year);
}

TEST(Rotation, DatedNamesToo)
{
    const scratch_dir year(in_memory());
    std::size_t written = 0;
    live_a_year(year, true, 90, written);
}

}  // namespace

namespace {

using json = nlohmann::ordered_json;

// The facts of a run that one run over the whole history must also give.
json whole_history_facts(const tool_run& run)
{
    json document = json::parse(run.console);
    for (const char* key : {"logs", "result_log", "problems", "problems_omitted", "checkpoint"})
        document.erase(key);
    return document;
}

std::string lines_numbered(const std::vector<long>& numbers)
{
    std::string text;
    for (const long n : numbers)
        text += signed_lines().at(static_cast<std::size_t>(n - 1));
    return text;
}

// The fingerprint of a line's key, as OpenSSL computes it.
std::string fingerprint_of_line(const std::string& line)
{
    const std::string der = fixtures::from_base64(line.substr(0, line.find(',')));
    const scratch_dir dir;
    dir.write("key.der", der);
    std::string hex;
    const std::string command = "openssl dgst -sha256 -r '" + dir.file("key.der") + "'";
    std::FILE* pipe = popen(command.c_str(), "r");
    char digits[65] = {};
    if (std::fread(digits, 1, 64, pipe) == 64)
        hex = digits;
    pclose(pipe);
    return hex;
}

std::vector<long> one_to(long last)
{
    std::vector<long> numbers;
    for (long n = 1; n <= last; ++n)
        numbers.push_back(n);
    return numbers;
}

TEST(Rotation, AResumedRunJudgesTheWholeHistoryAsOneRunWould)
{
    // Replays, and new numbers below the largest (out of order).
    std::vector<long> with_replay = one_to(20);
    with_replay.insert(with_replay.end(), {5, 25, 22});
    std::vector<long> to_sixty = one_to(50);
    to_sixty.insert(to_sixty.end(), {60, 55, 55, 56, 57, 58, 59, 51, 52, 53, 54});
    const struct {
        const char* name;
        std::vector<std::string> first_options;
        std::vector<long> first;
        std::vector<std::string> options;
        std::vector<long> appended;
        int exit_code;
    } cases[] = {
        {"the expected last number lowered", {}, to_sixty, {"--expect-last=50"}, {}, 154},
        {"... under --strict", {"--strict"}, to_sixty, {"--strict", "--expect-last=50"}, {}, 154},
        {"the expected first number raised", {}, one_to(30), {"--expect-first=11"}, {31}, 154},
        {"the expected numbers widened", {"--expect-last=50"}, one_to(60), {}, {61}, 0},
        {"--strict turned on", {}, with_replay, {"--strict"}, {21, 3}, 154},
        {"... with other expected numbers",
         {},
         with_replay,
         {"--strict", "--expect-last=21"},
         {},
         154},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const scratch_dir dir;
        dir.write("tx.log", lines_numbered(c.first));
        std::vector<std::string> args = {"--json", "--checkpoint=cp", "--result-log=r1"};
        args.insert(args.end(), c.first_options.begin(), c.first_options.end());
        args.emplace_back("tx.log");
        ASSERT_EQ(json::parse(run_in_process(dir, args).console)["checkpoint"]["written"], true);
        dir.write("tx.log", lines_numbered(c.first) + lines_numbered(c.appended));
        std::vector<std::string> again = {"--json", "--checkpoint=cp", "--result-log=r2"};
        again.insert(again.end(), c.options.begin(), c.options.end());
        again.emplace_back("tx.log");
        const tool_run resumed = run_in_process(dir, again);
        std::vector<std::string> once = {"--json", "--result-log=r3"};
        once.insert(once.end(), c.options.begin(), c.options.end());
        once.emplace_back("tx.log");
        const tool_run one_run = run_in_process(dir, once);
        EXPECT_EQ(whole_history_facts(resumed), whole_history_facts(one_run));
        EXPECT_EQ(resumed.exit_code, c.exit_code);
        EXPECT_EQ(one_run.exit_code, c.exit_code);
    }
}

TEST(Rotation, EveryRunNamesTheProblemsStillCounted)
{
    const scratch_dir dir;
    // Line 4 edited after it was signed.
    std::string forged = signed_lines()[3];
    forged[forged.find("/4,") + 1] = '7';
    dir.write("tx.log", lines_numbered(one_to(3)) + forged + lines_numbered({5}));
    const std::vector<std::string> quiet = {"--quiet", "--checkpoint=cp", "tx.log"};
    const tool_run first = run_in_process(dir, quiet);
    const std::string key = fingerprint_of_line(signed_lines()[0]);
    EXPECT_EQ(first.console, quiet_problem("tx.log", 4, "signature does not verify") +
                                 quiet_missing("tx.log", 4, 4) + quiet_summary("tx.log", 5, 4, 2) +
                                 quiet_key("tx.log", key, "RSA-512", 5));
    // Rotated, and a good line appended: the mail names the forged line
    // again, under the name it had then.
    fs::rename(dir.file("tx.log"), dir.file("tx.log.1"));
    dir.write("tx.log", lines_numbered({6}));
    const std::vector<std::string> next = {"--quiet", "--checkpoint=cp", "--rotated=tx.log"};
    const tool_run second = run_in_process(dir, next);
    const std::string both = "tx.log.1, tx.log";
    EXPECT_EQ(second.console,
              quiet_problem("tx.log", 4, "signature does not verify (found in an earlier run)") +
                  quiet_missing(both, 4, 4) + quiet_summary(both, 6, 5, 2) +
                  quiet_key(both, key, "RSA-512", 6));
    EXPECT_EQ(second.exit_code, EXIT_COUNTED_ERRORS);
    const json document =
        json::parse(run_in_process(dir, {"--json", "--checkpoint=cp", "--rotated=tx.log"}).console);
    EXPECT_EQ(document["problems"],
              json::parse(R"([{"log":"tx.log","line":4,"kind":"signature","code":null,
                              "earlier":true}])"));

    // The forged line put right afterwards is a change to the history, as
    // is a line signed for a number the history never saw.
    const std::string checkpoint = dir.read("cp");
    std::string rotated = dir.read("tx.log.1");
    const std::size_t fourth = rotated.find(forged);
    dir.write("tx.log.1", rotated.substr(0, fourth) + signed_lines()[3] +
                              rotated.substr(fourth + forged.size()));
    EXPECT_EQ(run_in_process(dir, next).errors,
              SAID +
                  "tx.log.1:4: history changed: it verifies now, but did not when it was "
                  "verified\n");
    EXPECT_EQ(dir.read("cp"), checkpoint);
    const std::size_t replaced = rotated.find(signed_lines()[1]);
    dir.write("tx.log.1", rotated.substr(0, replaced) + signed_lines()[2999] +
                              rotated.substr(replaced + signed_lines()[1].size()));
    EXPECT_EQ(run_in_process(dir, next).errors,
              SAID +
                  "tx.log.1:2: history changed: sequence number 3000 is not one verified "
                  "before\n");
}

}  // namespace
