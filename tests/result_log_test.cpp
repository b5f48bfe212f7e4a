// The result log's writer: what it refuses before it truncates anything,
// the bytes of every record, and a failed write remembered to the end.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
    writer.interrupted_record(15);
    EXPECT_TRUE(writer.close());
    EXPECT_EQ(dir.read("r.txt"),
              "a/b,OK\nc, PUBKEY ERROR\n,ERROR\nd,ERROR\ne,ERROR\n"
              "//4//////,MISSING SEQUENCE\n//5//////,MISSING SEQUENCE\n"
              "//9//////,MISSING SEQUENCE\n/7//,MISSING SEQUENCE\n"
              "interrupted by signal 15,INTERRUPTED\n");
}

TEST(ResultLog, ALogOrAHeldFileIsRefusedAndLeftAsItWas)
{
    const scratch_dir dir;
    dir.write("log.txt", "the log\n");
    dir.write("other.txt", "x\n");
    std::vector<file_identity> logs = {identity_of(dir.file("other.txt")),
                                       identity_of(dir.file("log.txt"))};
    result_log_writer writer;
    EXPECT_EQ(writer.open(dir.file("log.txt"), logs), result_log_writer::open_result::is_a_log);
    EXPECT_EQ(dir.read("log.txt"), "the log\n");

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

TEST(ResultLog, AFailedWriteIsRememberedUntilTheClose)
{
    result_log_writer writer;
    ASSERT_EQ(writer.open("/dev/full", {}), result_log_writer::open_result::opened);
    for (int i = 0; i < 10000; ++i)
        writer.record(line_with("a record that fills the buffer", line_fate::ok));
    writer.interrupted_record(2);
    EXPECT_FALSE(writer.close());
    EXPECT_TRUE(writer.failed());
    EXPECT_EQ(writer.error(), "No space left on device");
}

}  // namespace
