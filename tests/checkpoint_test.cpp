// Growing logs with a checkpoint, run in process: appended parts and
// rotations give what one run over the whole log gives, and every change
// to what was verified before is named and leaves the checkpoint alone.
#include <gtest/gtest.h>
#include <sys/file.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "history.hpp"
#include "in_process.hpp"
#include "log_digest.hpp"
#include "test_support.hpp"

namespace {

using json = nlohmann::ordered_json;
namespace fs = std::filesystem;

json document_of(const tool_run& run) { return json::parse(run.console); }

// What a run that cannot go on says on standard error, before the why.
const std::string SAID = "tamberlo_orvel_verify: ";

// The facts that one run over the whole log must also give.
json whole_log_facts(json document)
{
    for (const char* key : {"logs", "result_log", "problems", "problems_omitted", "checkpoint"})
        document.erase(key);
    return document;
}

// The result log's line records, without the records of missing numbers.
std::vector<std::string> line_records(const std::string& result_log)
{
    std::vector<std::string> records;
    std::size_t at = 0;
    for (std::size_t end; (end = result_log.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string record = result_log.substr(at, end - at);
        if (!record.ends_with(",MISSING SEQUENCE"))
            records.push_back(record);
    }
    return records;
}

std::string gzipped(const scratch_dir& dir, const std::string& name);

std::string gzipped_text(const std::string& text)
{
    const scratch_dir dir;
    dir.write("text", text);
    return gzipped(dir, "text");
}

std::string gzipped(const scratch_dir& dir, const std::string& name)
{
    const std::string command = "gzip -n -c '" + dir.file(name) + "'";
    std::string out;
    std::FILE* pipe = popen(command.c_str(), "r");
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        out.append(chunk, got);
    pclose(pipe);
    return out;
}

// A log written in parts, rotated now and then as a rotating writer does:
// tx.log renamed tx.log.1, tx.log.1 compressed to tx.log.2.gz, tx.log.2.gz
// retired.
class rotated_log {
public:
    explicit rotated_log(const scratch_dir& dir) : dir_(dir) {}

    void append(const std::string& part)
    {
        current_ += part;
        dir_.write("tx.log", current_);
    }
    bool can_rotate() const { return current_.empty() || current_.back() == '\n'; }
    void rotate()
    {
        std::filesystem::remove(dir_.file("tx.log.2.gz"));
        if (std::filesystem::exists(dir_.file("tx.log.1")))
            dir_.write("tx.log.2.gz", gzipped(dir_, "tx.log.1"));
        std::filesystem::remove(dir_.file("tx.log.1"));
        std::filesystem::rename(dir_.file("tx.log"), dir_.file("tx.log.1"));
        current_.clear();
        dir_.write("tx.log", "");
    }
    // Oldest first.
    std::vector<std::string> files() const
    {
        std::vector<std::string> files;
        for (const char* name : {"tx.log.2.gz", "tx.log.1", "tx.log"}) {
            if (std::filesystem::exists(dir_.file(name)))
                files.emplace_back(name);
        }
        return files;
    }

private:
    const scratch_dir& dir_;
    std::string current_;
};

TEST(Checkpoint, AppendedAndRotatedPartsGiveWhatOneRunOverTheWholeLogGives)
{
    std::mt19937 random(16);
    // What the rounds went through, so that each way is known to be taken.
    int rotations = 0;
    int retirements = 0;
    int lines_cut = 0;
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE(round);
        const bool event_log = round % 3 == 1;
        const bool strict = round % 2 == 0;
        std::string whole = random_log(random, event_log) + random_log(random, event_log);
        if (whole.empty() || whole.back() != '\n')
            whole += "\n";
        std::vector<std::string> options = {"--json", "--jobs=" + std::to_string(round % 3)};
        if (event_log)
            options.emplace_back("--event");
        if (strict)
            options.emplace_back("--strict");

        const scratch_dir dir;
        dir.write("whole.log", whole);
        std::vector<std::string> args = options;
        args.emplace_back("whole.log");
        const tool_run one_run = run_in_process(dir, args);

        // Cut mostly between lines, now and then inside one; rotate only
        // between lines.
        std::vector<std::size_t> line_ends;
        for (std::size_t at = 0; (at = whole.find('\n', at)) != std::string::npos; ++at)
            line_ends.push_back(at + 1);
        const std::size_t parts = 2 + random() % 4;
        std::vector<std::size_t> cuts = {0, whole.size()};
        for (std::size_t i = 1; i < parts; ++i) {
            cuts.push_back(random() % 3 != 0 ? line_ends[random() % line_ends.size()]
                                             : random() % (whole.size() + 1));
        }
        std::sort(cuts.begin(), cuts.end());
        rotated_log log(dir);
        std::vector<std::string> records;
        tool_run last;
        for (std::size_t part = 0; part + 1 < cuts.size(); ++part) {
            if (part > 0 && log.can_rotate() && random() % 3 != 0) {
                retirements += log.files().size() == 3 ? 1 : 0;
                log.rotate();
                ++rotations;
            }
            log.append(whole.substr(cuts[part], cuts[part + 1] - cuts[part]));
            lines_cut += log.can_rotate() ? 0 : 1;
            args = options;
            args.push_back("--checkpoint=cp");
            args.push_back("--result-log=r" + std::to_string(part));
            for (const std::string& file : log.files())
                args.push_back(file);
            last = run_in_process(dir, args);
            ASSERT_TRUE(document_of(last)["checkpoint"]["written"]) << last.console;
            const std::vector<std::string> these = line_records(last.result_log);
            records.insert(records.end(), these.begin(), these.end());
        }
        EXPECT_EQ(whole_log_facts(document_of(last)), whole_log_facts(document_of(one_run)));
        EXPECT_EQ(last.exit_code, one_run.exit_code);
        EXPECT_EQ(records, line_records(one_run.result_log));
    }
    EXPECT_GT(rotations, 5);
    EXPECT_GT(retirements, 0);
    EXPECT_GT(lines_cut, 0);
}

// A checkpoint of a.log, b.log, c.log (c the last), each 30 lines: what
// the lines hold does not matter here.
struct three_logs {
    scratch_dir dir;
    std::string a, b, c;

    three_logs()
    {
        for (int n = 1; n <= 90; ++n)
            (n <= 30 ? a : n <= 60 ? b : c) += key_error_line(n);
        dir.write("a.log", a);
        dir.write("b.log", b);
        dir.write("c.log", c);
        run({"a.log", "b.log", "c.log"});
        EXPECT_TRUE(std::filesystem::exists(dir.file("cp")));
    }
    tool_run run(std::vector<std::string> args, std::vector<std::string> options = {})
    {
        if (std::find(options.begin(), options.end(), "--json") == options.end())
            options.emplace_back("--quiet");
        options.insert(options.end(), {"--jobs=0", "--checkpoint=cp", "--result-log=r"});
        args.insert(args.begin(), options.begin(), options.end());
        return run_in_process(dir, args);
    }
};

TEST(Checkpoint, AChangedHistoryIsNamedAndVerifiesNothing)
{
    const struct {
        const char* name;
        void (*change)(three_logs&);
        std::vector<std::string> logs;
        std::vector<std::string> options;
        std::string problem;
    } cases[] = {
        {"a byte changed",
         [](three_logs& h) {
             std::string b = h.b;
             b[b.find("tx/0/1/2/3/4/5/45")] = 'T';  // line 15 of b.log
             h.dir.write("b.log", b);
         },
         {"a.log", "b.log", "c.log"},
         {},
         "b.log:1: history changed: lines 1 to 30 differ from those verified\n"},
        {"the first line of the first log changed",
         [](three_logs& h) {
             std::string a = h.a;
             a[a.find("tx/0/1/2/3/4/5/1")] = 'T';
             h.dir.write("a.log", a);
         },
         {"a.log", "b.log", "c.log"},
         {},
         "a.log:1: history changed: lines 1 to 30 differ from those verified\n"},
        {"a log first that the checkpoint never saw",
         [](three_logs& h) { h.dir.write("x.log", key_error_line(1)); },
         {"x.log", "b.log", "c.log"},
         {},
         "x.log:1: history changed: it ends within lines 1 to 30, before the 30 lines verified "
         "(verified as a.log)\n"},
        {"a log before the checkpoint's first",
         [](three_logs& h) { h.dir.write("x.log", key_error_line(1)); },
         {"x.log", "a.log", "b.log", "c.log"},
         {},
         "x.log: history changed: it is no log of the checkpoint, yet comes before its first "
         "log a.log\n"},
        {"no log of the checkpoint at all",
         [](three_logs& h) { h.dir.write("x.log", key_error_line(1)); },
         {"x.log"},
         {},
         "x.log: history changed: it begins as no log of the checkpoint, whose last log is "
         "c.log\n"},
        {"the only log given changed in its first line",
         [](three_logs& h) {
             std::string c = h.c;
             c[c.find("tx/0/1/2/3/4/5/61")] = 'T';
             h.dir.write("c.log", c);
         },
         {"c.log"},
         {},
         "c.log:1: history changed: lines 1 to 30 differ from those verified\n"},
        {"a log shortened",
         [](three_logs& h) { h.dir.write("b.log", h.b.substr(0, 500)); },
         {"a.log", "b.log", "c.log"},
         {},
         "b.log:1: history changed: it ends within lines 1 to 30, before the 30 lines verified\n"},
        {"the last log shortened",
         [](three_logs& h) { h.dir.write("c.log", h.c.substr(0, 9)); },
         {"a.log", "b.log", "c.log"},
         {},
         "c.log:1: history changed: it ends within lines 1 to 30, before the 30 lines verified\n"},
        {"a log removed from the middle",
         [](three_logs&) {},
         {"a.log", "c.log"},
         {},
         "c.log: history changed: the checkpoint's log b.log is missing before it\n"},
        {"two logs swapped",
         [](three_logs&) {},
         {"a.log", "c.log", "b.log"},
         {},
         "c.log: history changed: the checkpoint's log b.log is missing before it\n"},
        {"the last two swapped",
         [](three_logs&) {},
         {"b.log", "a.log", "c.log"},
         {},
         "a.log: history changed: it is the checkpoint's log a.log, given out of its order\n"},
        {"a log that is not the last grew",
         [](three_logs& h) { h.dir.write("b.log", h.b + key_error_line(91)); },
         {"a.log", "b.log", "c.log"},
         {},
         "b.log:30: history changed: it grew after the lines verified, but only the checkpoint's "
         "last log may\n"},
        {"the last log missing",
         [](three_logs&) {},
         {"a.log", "b.log"},
         {},
         "c.log: history changed: the checkpoint's last log is not among the logs given\n"},
        {"a log given twice",
         [](three_logs&) {},
         {"a.log", "b.log", "c.log", "c.log"},
         {},
         "c.log: history changed: it is the checkpoint's log c.log, given out of its order\n"},
        {"another log kind",
         [](three_logs&) {},
         {"a.log", "b.log", "c.log"},
         {"--event"},
         "cp: history changed: it was made for a transaction log\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        three_logs history;
        const std::string checkpoint = history.dir.read("cp");
        std::filesystem::remove(history.dir.file("r"));
        c.change(history);
        const tool_run run = history.run(c.logs, c.options);
        EXPECT_EQ(run.console, "");
        EXPECT_EQ(run.errors, SAID + c.problem);
        EXPECT_EQ(run.exit_code, EXIT_HISTORY_CHANGED);
        EXPECT_EQ(history.dir.read("cp"), checkpoint);
        EXPECT_FALSE(run.result_log_exists);
    }
    // Retired at the front, and grown at the end: no change.
    three_logs history;
    history.dir.write("c.log", history.c + key_error_line(91));
    const tool_run run = history.run({"b.log", "c.log"}, {"--json"});
    const json document = document_of(run);
    EXPECT_EQ(document["checkpoint"], json::parse(R"({"path":"cp","verified_lines":1,
        "resumed_lines":90,"retired_logs":["a.log"],"written":true})"));
    EXPECT_EQ(document["lines"]["read"], 91);
    EXPECT_EQ(document["errors"]["key"], 91);
    EXPECT_EQ(run.result_log, tx(91) + ", PUBKEY ERROR\n");
    // A run that retires another log lists that one only.
    EXPECT_EQ(document_of(history.run({"c.log"}, {"--json"}))["checkpoint"]["retired_logs"],
              json::array({"b.log"}));
}

TEST(Checkpoint, AtMostKeptProblemsAreListedInAllRuns)
{
    const scratch_dir dir;
    std::string lines;
    for (int n = 1; n <= 700; ++n)
        lines += key_error_line(n);
    dir.write("log.txt", lines);
    const std::vector<std::string> args = {"--json", "--checkpoint=cp", "log.txt"};
    run_in_process(dir, args);
    for (int n = 701; n <= 1400; ++n)
        lines += key_error_line(n);
    dir.write("log.txt", lines);
    const json document = document_of(run_in_process(dir, args));
    ASSERT_EQ(document["problems"].size(), KEPT_PROBLEMS);
    EXPECT_EQ(document["problems"][699]["earlier"], true);
    EXPECT_FALSE(document["problems"][700].contains("earlier"));
    EXPECT_EQ(document["problems_omitted"], 400);
}

TEST(Checkpoint, ACheckpointOf120IsReadAndWrittenAnew)
{
    // Written by 1.2.0 (see fixtures/checkpoint-1.2.0/README) for a.log and
    // b.log, 30 and 31 lines whose keys do not parse; b.log has grown since.
    const scratch_dir dir;
    const std::string made = std::string(FIXTURE_DIR) + "/checkpoint-1.2.0/";
    for (const char* name : {"cp", "a.log", "b.log"})
        fs::copy_file(made + name, dir.file(name));
    dir.write("b.log", dir.read("b.log") + key_error_line(99));
    const json document =
        document_of(run_in_process(dir, {"--json", "--checkpoint=cp", "a.log", "b.log"}));
    EXPECT_EQ(document["checkpoint"]["resumed_lines"], 61);
    EXPECT_EQ(document["checkpoint"]["verified_lines"], 1);
    EXPECT_EQ(document["errors"]["key"], 62);
    EXPECT_TRUE(
        dir.read("cp").starts_with("{\"format\":\"tamberlo_orvel_verify checkpoint\","
                                   "\"version\":2,"));
}

TEST(Checkpoint, ARetiredLogGivenAgainIsComparedWhole)
{
    // a.log longer than the piece a log is told by, so that its head is
    // the same after a change further on.
    const scratch_dir dir;
    std::string a;
    for (int n = 1; a.size() < 2 * LEAF_BYTES; ++n)
        a += key_error_line(n);
    dir.write("a.log", a);
    dir.write("b.log", key_error_line(1));
    const std::vector<std::string> options = {"--quiet", "--jobs=0", "--checkpoint=cp"};
    const auto run = [&](std::vector<std::string> logs) {
        logs.insert(logs.begin(), options.begin(), options.end());
        return run_in_process(dir, logs);
    };
    run({"a.log", "b.log"});
    run({"b.log"});
    // Unchanged, it stays retired: nothing of it is verified again.
    EXPECT_EQ(run({"a.log", "b.log"}).errors, "");
    std::string changed = a;
    changed[changed.size() - 5] = '7';
    dir.write("a.log", changed);
    const std::string checkpoint = dir.read("cp");
    const tool_run again = run({"a.log", "b.log"});
    EXPECT_TRUE(again.errors.starts_with(SAID + "a.log:1: history changed: lines 1 to "))
        << again.errors;
    EXPECT_NE(again.errors.find("(verified before, then retired as a.log)"), std::string::npos);
    EXPECT_EQ(again.exit_code, EXIT_HISTORY_CHANGED);
    EXPECT_EQ(dir.read("cp"), checkpoint);
    dir.write("a.log", a.substr(0, a.size() - 30));
    EXPECT_TRUE(
        run({"a.log", "b.log"}).errors.starts_with(SAID + "a.log:1: history changed: it ends"));
}

TEST(Checkpoint, TheFileIsKeptWhereItsLinkLeadsAndWritesCutShortAreCleared)
{
    const scratch_dir dir;
    dir.write("log.txt", key_error_line(1));
    fs::create_directory(dir.file("state"));
    fs::create_symlink("state/cp", dir.file("cp"));
    // What killed writes left: this tool's one name, and 1.2.0's, and a
    // file of another's that only looks like one.
    dir.write("state/cp.tmp", "{\"format\":\"tamberlo_orvel_verify checkpoint\"");
    dir.write("state/cp.Ab12Cd", "{\n \"format\": \"tamberlo_orvel_verify checkpoint\",");
    dir.write("state/cp.Xy34Zw", "someone's notes\n");
    const std::vector<std::string> args = {"--quiet", "--checkpoint=cp", "log.txt"};
    run_in_process(dir, args);
    EXPECT_TRUE(fs::is_symlink(dir.file("cp")));
    EXPECT_TRUE(dir.read("state/cp").starts_with("{\"format\":"));
    EXPECT_FALSE(fs::exists(dir.file("state/cp.tmp")));
    EXPECT_FALSE(fs::exists(dir.file("state/cp.Ab12Cd")));
    EXPECT_TRUE(fs::exists(dir.file("state/cp.Xy34Zw")));
    EXPECT_TRUE(fs::exists(dir.file("state/cp.lock")));
    // Also a run that does not write the checkpoint clears what a killed
    // one left.
    dir.write("state/cp.tmp", "{\"format\":\"tamberlo_orvel_verify checkpoint\"");
    dir.write("other.txt", key_error_line(9));
    EXPECT_EQ(run_in_process(dir, {"--quiet", "--checkpoint=cp", "other.txt"}).exit_code,
              EXIT_HISTORY_CHANGED);
    EXPECT_FALSE(fs::exists(dir.file("state/cp.tmp")));
    // A checkpoint that is no file is refused before any lock is made.
    fs::create_directory(dir.file("folder"));
    const tool_run refused = run_in_process(dir, {"--quiet", "--checkpoint=folder", "log.txt"});
    EXPECT_EQ(refused.errors, SAID + "folder: checkpoint: not a file\n");
    EXPECT_FALSE(fs::exists(dir.file("folder.lock")));
}

TEST(Checkpoint, AFileThatIsNoCheckpointOfOursIsRefusedAndKept)
{
    three_logs history;
    const std::string good = history.dir.read("cp");
    std::string edited = good;
    edited.replace(edited.find("\"read\":90"), 9, "\"read\":91");
    std::string version = good;
    version.replace(version.find("\"version\":2"), 11, "\"version\":3");
    const struct {
        const char* name;
        std::string content;
        const char* problem;
    } cases[] = {
        {"empty", "", "not a checkpoint of this tool"},
        {"not JSON", "tx.log 90 lines\n", "not a checkpoint of this tool"},
        {"cut short", good.substr(0, good.size() / 2), "not a checkpoint of this tool"},
        {"other JSON", R"({"format": "something else"})", "not a checkpoint of this tool"},
        {"another version", version,
         "a checkpoint of another version (this tool reads versions 1 and 2)"},
        {"a count edited", edited, "damaged checkpoint (sha256)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        history.dir.write("cp", c.content);
        const tool_run run = history.run({"a.log", "b.log", "c.log"});
        EXPECT_EQ(run.errors, SAID + "cp: checkpoint: " + c.problem + "\n");
        EXPECT_EQ(run.exit_code, EXIT_FILE_ERROR);
        EXPECT_EQ(history.dir.read("cp"), c.content);
    }
    history.dir.write("cp", good);
    // The checkpoint is no log and no result log, and one run at a time
    // uses it.
    tool_run run = history.run({"a.log", "cp"});
    EXPECT_EQ(run.errors, SAID + "cp: could not open (it is the checkpoint)\n");
    run = run_in_process(history.dir, {"--quiet", "--checkpoint=cp", "--result-log=cp", "a.log",
                                       "b.log", "c.log"});
    EXPECT_EQ(run.errors, SAID + "cp: could not open (it is the checkpoint)\n");
    // Nor on a first run, when the checkpoint is not there yet (by another
    // path to it too): it stays absent, not a result log.
    run = run_in_process(history.dir,
                         {"--quiet", "--checkpoint=first", "--result-log=./first", "a.log"});
    EXPECT_EQ(run.errors, SAID + "./first: could not open (it is the checkpoint)\n");
    EXPECT_EQ(run.exit_code, EXIT_FILE_ERROR);
    EXPECT_FALSE(std::filesystem::exists(history.dir.file("first")));
    const int lock = open(history.dir.file("cp.lock").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    run = history.run({"a.log", "b.log", "c.log"});
    close(lock);
    EXPECT_EQ(run.errors, SAID + "cp: checkpoint: another run is using it\n");
    EXPECT_EQ(history.dir.read("cp"), good);
    EXPECT_EQ(history.run({"a.log", "b.log", "c.log"}).exit_code, exit_of_key_code(0x3d62));
}

TEST(Checkpoint, AStrictRunSeesAReplayOfALineVerifiedBefore)
{
    const scratch_dir dir;
    const std::vector<std::string> options = {"--quiet", "--strict", "--checkpoint=cp"};
    dir.write("tx.log", line_of(tx(1)) + line_of(tx(2)) + line_of(tx(3)));
    std::vector<std::string> args = options;
    args.emplace_back("tx.log");
    ASSERT_EQ(run_in_process(dir, args).exit_code, 0);
    // Rotated, and a line of the old part replayed in the new one.
    std::filesystem::rename(dir.file("tx.log"), dir.file("tx.log.1"));
    dir.write("tx.log", line_of(tx(4)) + line_of(tx(2)));
    args = options;
    args.insert(args.end(), {"tx.log.1", "tx.log"});
    const tool_run run = run_in_process(dir, args);
    EXPECT_TRUE(run.console.starts_with(
        quiet_problem("tx.log", 2, "sequence number 2 repeated (first at tx.log.1:2)")))
        << run.console;
    EXPECT_EQ(run.exit_code, EXIT_COUNTED_ERRORS);
    EXPECT_EQ(run.result_log, tx(4) + ",OK\n" + tx(2) + ",ERROR\n");
    // --strict may be turned on for a checkpoint, not off: its replays
    // would pass unseen.
    const tool_run lax = run_in_process(dir, {"--quiet", "--checkpoint=cp", "tx.log.1", "tx.log"});
    EXPECT_EQ(lax.errors, SAID + "cp: history changed: it was made with --strict\n");
    EXPECT_EQ(lax.exit_code, EXIT_HISTORY_CHANGED);
}

TEST(Checkpoint, ARunThatEndsEarlyKeepsTheCheckpoint)
{
    three_logs history;
    const std::string checkpoint = history.dir.read("cp");
    // A new log that cannot be read to its end.
    std::string lines;
    for (int n = 1000; n < 4000; ++n)
        lines += key_error_line(n);
    std::string cut = gzipped_text(lines);
    cut.resize(cut.size() / 2);
    history.dir.write("d.log.gz", cut);
    const tool_run run = history.run({"a.log", "b.log", "c.log", "d.log.gz"});
    EXPECT_EQ(run.exit_code, EXIT_FILE_ERROR);
    EXPECT_EQ(history.dir.read("cp"), checkpoint);
    // A log that is no file cannot be read twice.
    EXPECT_EQ(history.run({"a.log", "b.log", "c.log", "/dev/null"}).errors,
              SAID + "/dev/null: could not read (a checkpoint needs logs that are files)\n");
}

TEST(Checkpoint, ATreeHashIsRfc6962sOverPiecesOfOneMebibyte)
{
    // Three pieces and a bit, hashed by Python's hashlib as RFC 6962 says.
    const scratch_dir dir;
    std::string log;
    for (int n = 1; log.size() < 3 * LEAF_BYTES + 4000; ++n)
        log += key_error_line(n);
    dir.write("log.txt", log);
    ASSERT_EQ(run_in_process(dir, {"--quiet", "--checkpoint=cp", "log.txt"}).exit_code,
              exit_of_key_code(0x3d62));
    const std::string script =
        "import hashlib,json,sys\n"
        "d=open(sys.argv[1],'rb').read()\n"
        "h=lambda b: hashlib.sha256(b).digest()\n"
        "def mth(l):\n"
        "    if len(l)==1: return l[0]\n"
        "    k=1\n"
        "    while 2*k<len(l): k*=2\n"
        "    return h(b'\\x01'+mth(l[:k])+mth(l[k:]))\n"
        "leaves=[h(b'\\x00'+d[i:i+1048576]) for i in range(0,len(d),1048576)]\n"
        "c=json.load(open(sys.argv[2]))['logs'][0]\n"
        "sys.exit(0 if c['tree_sha256']==mth(leaves).hex() and c['head_sha256']==leaves[0].hex()"
        " and c['nodes']==''.join(l.hex() for l in leaves) else 1)\n";
    dir.write("check.py", script);
    const std::string command =
        "python3 " + dir.file("check.py") + " " + dir.file("log.txt") + " " + dir.file("cp");
    EXPECT_EQ(std::system(command.c_str()), 0);

    // The nodes of any level give the same tree hash.
    log_digest digest;
    digest.add(reinterpret_cast<const unsigned char*>(log.data()), log.size(), 1);
    const sha256_digest tree = tree_hash(digest.nodes(0));
    for (unsigned level = 1; level <= 3; ++level)
        EXPECT_EQ(tree_hash(digest.nodes(level)), tree) << level;
    EXPECT_EQ(digest.nodes(1).size(), 2U);
    EXPECT_EQ(level_for(MAX_NODES), 0U);
    EXPECT_EQ(level_for(MAX_NODES + 1), 1U);
    EXPECT_EQ(level_for(4 * MAX_NODES), 2U);
}

}  // namespace
