// Whole logs at scale through the built tool: their bytes, time and memory.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "test_support.hpp"

namespace {

// The command that makes the scale log with that many lines, once per
// build directory (the script keeps a log it made before).
std::string scale_log_command(long lines)
{
    std::string command = "'";
    command += FIXTURE_PYTHON;
    command += "' '" FIXTURE_DIR "/make_scale_log.py' '" SCALE_LOG_PATH "' ";
    command += std::to_string(lines);
    return command;
}

// 900,000 verified lines numbered 1 to 900,000, signed by the rsa512 test
// key: numbers from 800,000 up are rejected, each as an error of its own.
TEST(HostileScale, NineHundredThousandVerifiedLines)
{
    constexpr long LINES = 900000;
    constexpr long TRACKED = 799999;
    const std::string log_path = SCALE_LOG_PATH;
    const std::string command = scale_log_command(LINES);
    ASSERT_EQ(std::system(command.c_str()), 0)
        << command << " failed (it needs python3-cryptography and openssl)";

    const scratch_dir dir;
    const tool_run run = run_tool(dir, {log_path}, limited());
    report_measurement("scale_900000_lines", run);
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_code, EXIT_COUNTED_ERRORS);
    EXPECT_EQ(run.errors, "");
    EXPECT_TRUE(run.result_log_exists);
    expect_memory_below(run, 32 * 1024);

    // Console and out.log, line by line from the log itself.
    std::ifstream log(log_path, std::ios::binary);
    std::string line;
    std::size_t console_at = 0;
    std::size_t record_at = 0;
    long n = 0;
    std::string shown_line;
    std::string record;
    ASSERT_EQ(run.console.compare(0, BANNER.size(), BANNER), 0);
    console_at = BANNER.size();
    while (std::getline(log, line)) {
        ++n;
        const std::size_t comma1 = line.find(',');
        const std::size_t comma2 = line.find(',', comma1 + 1);
        const std::string data = line.substr(comma1 + 1, comma2 - comma1 - 1);
        ASSERT_EQ(data, tx(n));
        shown_line = shown(data, line.substr(comma2 + 1));
        record = data + ",OK\n";
        if (n > TRACKED) {
            shown_line += sequence_number_error(n);
            record = data + ",ERROR\n";
        }
        ASSERT_EQ(run.console.compare(console_at, shown_line.size(), shown_line), 0)
            << "console at line " << n;
        ASSERT_EQ(run.result_log.compare(record_at, record.size(), record), 0)
            << "out.log at record " << n;
        console_at += shown_line.size();
        record_at += record.size();
    }
    EXPECT_EQ(n, LINES);
    EXPECT_EQ(run.console.substr(console_at), error_count_summary(LINES - TRACKED));
    EXPECT_EQ(record_at, run.result_log.size());
}

#ifndef TEST_SANITIZED
// Every other line of the scale log: 400,000 ranges of missing numbers,
// which once made the JSON document outgrow a memory limit that the run
// itself fits in. Whatever the limit, the document is whole and its exit
// code is the process's.
TEST(HostileScale, TheJsonDocumentOfAnyRunFitsInItsMemory)
{
    const std::string log_path = SCALE_LOG_PATH;
    const std::string command = scale_log_command(900000);
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const scratch_dir dir;
    {
        std::ifstream log(log_path, std::ios::binary);
        file_writer odd(dir.file("odd.log"));
        std::string line;
        for (long n = 1; std::getline(log, line); ++n) {
            if (n % 2 == 1)
                odd << line << "\n";
        }
    }
    int documents_with_ranges = 0;
    for (const long megabytes : {30L, 40L, 60L, 80L, 120L}) {
        SCOPED_TRACE(megabytes);
        tool_options options = limited();
        options.address_space_limit = megabytes * 1000 * 1000;
        const tool_run run = run_tool(dir, {"--json", "--jobs=0", "odd.log"}, options);
        EXPECT_EQ(run.term_signal, 0);
        ASSERT_TRUE(run.console.ends_with("}\n")) << run.console.substr(0, 200);
        const std::size_t exit_at = run.console.rfind("\"exit_code\":");
        ASSERT_NE(exit_at, std::string::npos);
        EXPECT_EQ(std::stoi(run.console.substr(exit_at + 12)), run.exit_code);
        if (run.exit_code == EXIT_COUNTED_ERRORS) {
            EXPECT_NE(run.console.find("[799998,799998]],\"repeated\":0,"), std::string::npos);
            ++documents_with_ranges;
        } else {
            EXPECT_EQ(run.exit_code, EXIT_FILE_ERROR);
            EXPECT_NE(run.console.find("\"kind\":\"out_of_memory\""), std::string::npos);
        }
    }
    EXPECT_GT(documents_with_ranges, 0);
}
#endif

// 2 GiB of NUL bytes in about 9 MB of gzip: decoded as a stream, in
// bounded memory and at decoding speed, with the result of the text: lines
// of NUL bytes only, which are blank.
TEST(HostileScale, GzipOfTwoGibibytesOfZeros)
{
    const scratch_dir dir;
    const std::string command =
        "head -c 2147483648 /dev/zero | gzip -1 > '" + dir.file("zeros.gz") + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const tool_run run = run_tool(dir, {"zeros.gz"}, limited());
    report_measurement("gzip_of_2_GiB_of_zeros", run);
    expect_run(run, BANNER, "", 0);
    expect_memory_below(run, 256 * 1024);
    const tool_run json_run = run_tool(dir, {"--json", "zeros.gz"}, limited());
    EXPECT_NE(json_run.console.find(R"("lines":{"read":1,"blank":1,"checked":0,"ok":0})"),
              std::string::npos)
        << json_run.console;
}

}  // namespace
