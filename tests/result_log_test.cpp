// The result log's writer: what it refuses before it truncates anything,
// the bytes of every record, and a failed write remembered to the end.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "in_process.hpp"
#include "result_log.hpp"
#include "test_support.hpp"

namespace {

file_identity identity_of(const std::string& path)
{
    struct stat file {};
    EXPECT_EQ(stat(path.c_str(), &file), 0) << path;
    return {file.st_dev, file.st_ino};
}

line_report line_with(const char* data, line_fate fate)
{
    line_report line;
    line.data = data;
    line.fate = fate;
    return line;
}

TEST(ResultLog, RecordsOfEveryKind)
{
    const scratch_dir dir;
    dir.write("r.txt", "older and longer content\n");
    result_log_writer writer;
    ASSERT_EQ(writer.open(dir.file("r.txt"), {}), result_log_writer::open_result::opened);
    writer.record(line_with("a/b", line_fate::ok));
    writer.record(line_with("c", line_fate::key_error));
    writer.record(line_with("", line_fate::bad_signature));
    writer.record(line_with("d", line_fate::untrusted_key));
    writer.record(line_with("e", line_fate::no_sequence_number));
    writer.gap_records(log_mode::transaction, {{4, 5}, {9, 9}});
    writer.gap_records(log_mode::event, {{7, 7}});
    writer.last_record({run_error_kind::interrupted, "log", "signal 15", 3});
    EXPECT_TRUE(writer.close());
    EXPECT_EQ(dir.read("r.txt"),
              "a/b,OK\nc, PUBKEY ERROR\n,ERROR\nd,ERROR\ne,ERROR\n"
              "//4//////,MISSING SEQUENCE\n//5//////,MISSING SEQUENCE\n"
              "//9//////,MISSING SEQUENCE\n/7//,MISSING SEQUENCE\n"
              "interrupted by signal 15,INTERRUPTED\n");
}

TEST(ResultLog, ARunThatEndsEarlySaysWhyInItsLastRecord)
{
    const struct {
        run_error error;
        const char* record;
    } cases[] = {
        {{run_error_kind::read_log, "cut.log.gz", "gzip: unexpected end of file", 0},
         "could not read cut.log.gz: gzip: unexpected end of file,INCOMPLETE\n"},
        {{run_error_kind::out_of_memory, "a,b.log", "Cannot allocate memory", 12},
         "out of memory at line 12 of a;b.log,INCOMPLETE\n"},
        {{run_error_kind::write_result_log, "r\n.out", "No space, left\r", 0},
         "could not write r .out: No space; left ,INCOMPLETE\n"},
        {{run_error_kind::interrupted, "log", "signal 15", 3},
         "interrupted by signal 15,INTERRUPTED\n"},
        // Errors before the result log is opened have no record.
        {{run_error_kind::open_log, "log", "gone", 0}, ""},
        {{run_error_kind::trusted_keys, "k", "bad", 2}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.record);
        const scratch_dir dir;
        result_log_writer writer;
        ASSERT_EQ(writer.open(dir.file("r.txt"), {}), result_log_writer::open_result::opened);
        writer.record(line_with("a/b", line_fate::ok));
        writer.last_record(c.error);
        EXPECT_TRUE(writer.close());
        EXPECT_EQ(dir.read("r.txt"), std::string("a/b,OK\n") + c.record);
    }
}

TEST(ResultLog, ALogOrAHeldFileIsRefusedAndLeftAsItWas)
{
    const scratch_dir dir;
    dir.write("log.txt", "the log\n");
    dir.write("other.txt", "x\n");
    dir.write("trust.pem", "the keys\n");
    using open_result = result_log_writer::open_result;
    const std::vector<result_log_writer::read_file> reads = {
        {identity_of(dir.file("other.txt")), open_result::is_a_log, {}},
        {identity_of(dir.file("log.txt")), open_result::is_a_log, {}},
        {identity_of(dir.file("trust.pem")), open_result::is_trusted_keys, {}},
        {{}, open_result::is_checkpoint, dir.file("not-yet")}};
    result_log_writer writer;
    EXPECT_EQ(writer.open(dir.file("log.txt"), reads), open_result::is_a_log);
    EXPECT_EQ(dir.read("log.txt"), "the log\n");
    result_log_writer keys;
    EXPECT_EQ(keys.open(dir.file("trust.pem"), reads), open_result::is_trusted_keys);
    EXPECT_EQ(dir.read("trust.pem"), "the keys\n");
    // A file named by its path is the one the result log has just made.
    result_log_writer made;
    EXPECT_EQ(made.open(dir.file("./not-yet"), reads), open_result::is_checkpoint);
    result_log_writer other;
    EXPECT_EQ(other.open(dir.file("other-new"), reads), open_result::opened);

    dir.write("held.txt", "held\n");
    const int held = open(dir.file("held.txt").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    result_log_writer second;
    EXPECT_EQ(second.open(dir.file("held.txt"), {}), result_log_writer::open_result::locked);
    close(held);
    EXPECT_EQ(dir.read("held.txt"), "held\n");

    result_log_writer third;
    EXPECT_EQ(third.open(dir.file("no/such/dir"), {}), result_log_writer::open_result::failed);
    EXPECT_EQ(third.error(), "No such file or directory");
}

TEST(ResultLog, RecordsGoOnFromTheBytesKept)
{
    const scratch_dir dir;
    const struct {
        const char* name;
        std::string before;
        uint64_t keep;
        std::string after;
    } cases[] = {
        {"records kept, those after them written again", "a,OK\nb,OK\nc,OK\n", 5, "a,OK\nd,OK\n"},
        {"nothing to keep", "a,OK\n", 0, "d,OK\n"},
        {"a file cut shorter than its kept records", "a,OK\nb,O", 10, "d,OK\n"},
        {"no file yet", "", 5, "d,OK\n"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        const std::string path = dir.file("r.txt");
        (void)unlink(path.c_str());
        if (!each.before.empty())
            dir.write("r.txt", each.before);
        result_log_writer writer;
        ASSERT_EQ(writer.open(path, {}, each.keep), result_log_writer::open_result::opened);
        writer.record(line_with("d", line_fate::ok));
        EXPECT_EQ(writer.size(), each.after.size());
        EXPECT_TRUE(writer.sync());
        EXPECT_EQ(dir.read("r.txt"), each.after);
        EXPECT_EQ(writer.size(), each.after.size());  // once written, too
        EXPECT_TRUE(writer.close());
    }
}

TEST(ResultLog, AFailedWriteIsRememberedUntilTheClose)
{
    result_log_writer writer;
    ASSERT_EQ(writer.open("/dev/full", {}), result_log_writer::open_result::opened);
    for (int i = 0; i < 10000; ++i)
        writer.record(line_with("a record that fills the buffer", line_fate::ok));
    writer.last_record({run_error_kind::interrupted, "log", "signal 2", 3});
    EXPECT_FALSE(writer.close());
    EXPECT_TRUE(writer.failed());
    EXPECT_EQ(writer.error(), "No space left on device");
}

TEST(ResultLog, NoFileTheRunReadsIsTheResultLog)
{
    // The trusted keys, by any path to them, with or without --result-log.
    const scratch_dir dir;
    dir.write("log.txt", line_of(tx(1)));
    const std::string keys = key_field(KEY) + "\n";
    dir.write("t.pem", keys);
    dir.write("out.log", keys);
    const struct {
        std::vector<std::string> args;
        const char* file;
    } cases[] = {
        {{"--trusted-keys=t.pem", "--result-log=t.pem", "log.txt"}, "t.pem"},
        {{"--trusted-keys=t.pem", "--result-log=./t.pem", "--quiet", "log.txt"}, "t.pem"},
        {{"--trusted-keys=out.log", "log.txt"}, "out.log"},
        {{"--trusted-keys=t.pem", "--trusted-keys=out.log", "--json", "log.txt"}, "out.log"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const tool_run run = run_in_process(dir, c.args);
        EXPECT_EQ(run.exit_code, EXIT_FILE_ERROR);
        EXPECT_NE((run.console + run.errors).find("it holds the trusted keys"), std::string::npos)
            << run.console;
        EXPECT_EQ(dir.read(c.file), keys);
    }
    // Another result log is written as always.
    const tool_run run =
        run_in_process(dir, {"--trusted-keys=t.pem", "--result-log=r.txt", "log.txt"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(dir.read("r.txt"), tx(1) + ",OK\n");
}

}  // namespace
