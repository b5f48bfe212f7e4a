// Logs that arrive slowly, stop short, vanish or shrink while the tool reads
// them: the tool reports what it read, in whole records, and never exits 0
// for a log it did not read to its end.
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

// Writes the pieces into a FIFO once a reader has opened it (waiting at most
// 30 s for one), pausing between pieces, then closes it.
void feed_fifo(const std::string& path, const std::vector<std::string>& pieces,
               std::chrono::milliseconds pause)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int fd = -1;
    while ((fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0 && errno == ENXIO &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (fd < 0)
        return;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    for (const std::string& p : pieces) {
        if (!write_all(fd, p))
            break;
        std::this_thread::sleep_for(pause);
    }
    close(fd);
}

// A log cut short by its writer: three whole lines, then the first cut
// bytes of a fourth.
struct cut_log {
    std::string whole;     // the three whole lines
    std::string cut_line;  // what arrives of the fourth
};
cut_log lines_then(const std::string& cut_line)
{
    return {line_of(tx(1)) + line_of(tx(2)) + line_of(tx(3)), cut_line};
}
const std::string WHOLE_CONSOLE = BANNER + shown(tx(1)) + shown(tx(2)) + shown(tx(3));
const std::string WHOLE_RESULT_LOG = tx(1) + ",OK\n" + tx(2) + ",OK\n" + tx(3) + ",OK\n";

std::vector<std::string> in_small_pieces(const std::string& bytes, std::size_t size)
{
    std::vector<std::string> pieces;
    for (std::size_t i = 0; i < bytes.size(); i += size)
        pieces.push_back(bytes.substr(i, size));
    return pieces;
}

// Runs the tool on a FIFO whose writer sends pieces, pausing between them,
// and then closes it.
tool_run run_on_fifo(const std::vector<std::string>& pieces, std::chrono::milliseconds pause)
{
    const scratch_dir dir;
    if (mkfifo(dir.file("log.fifo").c_str(), 0600) != 0)
        throw std::runtime_error("mkfifo failed");
    std::thread writer(feed_fifo, dir.file("log.fifo"), pieces, pause);
    const tool_run run = run_on(dir, "log.fifo");
    writer.join();
    return run;
}

TEST(HostileInput, DevNullIsAnEmptyLog)
{
    const scratch_dir dir;
    expect_run(run_on(dir, "/dev/null"), BANNER, "", 0);
    expect_run(run_on(dir, "/dev/null", true), BANNER + EVENT_MODE, "", 0);
}

TEST(HostileInput, FifoWhoseWriterStopsAtALineEnd)
{
    const cut_log log = lines_then("");
    const tool_run run = run_on_fifo(in_small_pieces(log.whole, 100), std::chrono::milliseconds(1));
    expect_run(run, WHOLE_CONSOLE + clean_summary(3), WHOLE_RESULT_LOG, 0);
}

TEST(HostileInput, FifoWhoseWriterStopsInsideASignature)
{
    // The lines that arrived are verified; the cut one fails like any
    // line whose signature is short.
    const std::string sig = signature(KEY, tx(4));
    const cut_log log = lines_then(key_field(KEY) + "," + tx(4) + "," + sig.substr(0, 50));
    const tool_run run = run_on_fifo({log.whole, log.cut_line}, std::chrono::milliseconds(20));
    expect_run(run,
               WHOLE_CONSOLE + shown(tx(4), sig.substr(0, 50)) + verify_error(4) +
                   error_count_summary(1),
               WHOLE_RESULT_LOG + tx(4) + ",ERROR\n", EXIT_COUNTED_ERRORS);
}

TEST(HostileInput, FifoWhoseWriterStopsInsideAKey)
{
    // Eight base64 digits of the key: a SEQUENCE header and too little after it.
    const cut_log log = lines_then(key_field(KEY).substr(0, 8));
    const tool_run run = run_on_fifo({log.whole, log.cut_line}, std::chrono::milliseconds(20));
    expect_run(run, WHOLE_CONSOLE + key_error(4, "3d60") + last_key_error_summary(4, "3d60"),
               WHOLE_RESULT_LOG + ", PUBKEY ERROR\n", exit_of_key_code(0x3d60));
}

TEST(HostileInput, PipeFedInSmallPiecesAndCutInsideTheData)
{
    // Standard input as the log, arriving a few bytes at a time: lines are
    // joined across reads, and the cut line has no signature.
    const cut_log log = lines_then(key_field(KEY) + "," + tx(""));
    const std::string bytes = log.whole + log.cut_line;
    tool_options options = limited();
    options.stdin_writer = [&bytes](int fd) {
        for (const std::string& p : in_small_pieces(bytes, 7)) {
            if (!write_all(fd, p))
                return;
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    };
    const scratch_dir dir;
    const tool_run run = run_tool(dir, {"/dev/stdin"}, options);
    expect_run(run, WHOLE_CONSOLE + shown(tx(""), "") + verify_error(4) + error_count_summary(1),
               WHOLE_RESULT_LOG + tx("") + ",ERROR\n", EXIT_COUNTED_ERRORS);
}

constexpr long CHANGING_LOG_LINES = 300000;

// Runs change(log path) on a thread of its own as soon as the tool has
// written some records, that is, while it is reading the log.
tool_run run_while_changing_log(const scratch_dir& dir, void (*change)(const std::string&),
                                bool& changed)
{
    std::atomic<bool> done{false};
    std::atomic<bool> did_change{false};
    std::thread changer([&] {
        std::error_code ignored;
        while (!done) {
            if (std::filesystem::exists(dir.file("out.log"), ignored) &&
                std::filesystem::file_size(dir.file("out.log"), ignored) > 0 && !ignored) {
                change(dir.file("log.txt"));
                did_change = true;
                return;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    const tool_run run = run_on(dir, "log.txt");
    done = true;
    changer.join();
    changed = did_change;
    return run;
}

TEST(HostileInput, LogUnlinkedWhileBeingReadIsReadToItsEnd)
{
    const scratch_dir dir;
    write_key_error_log(dir.file("log.txt"), CHANGING_LOG_LINES);
    bool changed = false;
    const tool_run run = run_while_changing_log(
        dir, [](const std::string& path) { std::filesystem::remove(path); }, changed);
    EXPECT_TRUE(changed);
    report_measurement("unlinked_log", run);
    std::string console = BANNER;
    std::string result_log;
    for (long n = 1; n <= CHANGING_LOG_LINES; ++n) {
        console += key_error(1, "3d62");
        result_log += tx(n) + ", PUBKEY ERROR\n";
    }
    expect_run(run, console + last_key_error_summary(1, "3d62"), result_log,
               exit_of_key_code(0x3d62));
}

// Checks a run on a log of key-error lines that shrank while it was read:
// it verified some first lines (the last of them possibly cut), reported
// each on the console and in out.log alike, and exited as for those lines.
void expect_consistent_prefix(const tool_run& run)
{
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.errors, "");
    ASSERT_TRUE(run.result_log_exists);
    ASSERT_EQ(run.console.compare(0, BANNER.size(), BANNER), 0);

    // Console: the banner, one key error message per line, the summary.
    const std::string message = "\nmbedtls_pk_parse_public_key error at line 1 (-0x";
    std::size_t at = BANNER.size();
    std::vector<std::string> codes;
    while (run.console.compare(at, message.size(), message) == 0) {
        const std::size_t code_at = at + message.size();
        codes.push_back(run.console.substr(code_at, 4));
        ASSERT_EQ(run.console.compare(code_at + 4, 1, ")"), 0) << "at byte " << at;
        at = code_at + 5;
    }
    const long lines = static_cast<long>(codes.size());
    std::cout << "[ measured ] lines read before the log shrank: " << lines << " of "
              << CHANGING_LOG_LINES << std::endl;
    if (lines == 0) {
        EXPECT_EQ(run.console.size(), at);
        EXPECT_EQ(run.result_log, "");
        EXPECT_EQ(run.exit_code, 0);
        return;
    }
    EXPECT_EQ(run.console.substr(at), last_key_error_summary(1, codes.back()));
    // Only the last line can be cut, and a cut "AAAA" is too short to hold
    // even a SEQUENCE header.
    for (long i = 0; i + 1 < lines; ++i)
        ASSERT_EQ(codes[static_cast<std::size_t>(i)], "3d62") << "line " << i + 1;
    EXPECT_TRUE(codes.back() == "3d62" || codes.back() == "3d60") << codes.back();
    EXPECT_EQ(run.exit_code,
              exit_of_key_code(static_cast<unsigned>(std::stoul(codes.back(), nullptr, 16))));

    // out.log: one record per message, in order, the last one's data
    // possibly cut.
    std::istringstream records(run.result_log);
    std::string record;
    long n = 0;
    while (std::getline(records, record)) {
        ++n;
        const std::string ending = ", PUBKEY ERROR";
        ASSERT_TRUE(record.ends_with(ending)) << "record " << n << ": " << record;
        const std::string data = record.substr(0, record.size() - ending.size());
        if (n < lines)
            ASSERT_EQ(data, tx(n)) << "record " << n;
        else
            EXPECT_EQ(tx(n).compare(0, data.size(), data), 0) << "record " << n << ": " << data;
    }
    EXPECT_EQ(n, lines);
    EXPECT_TRUE(run.result_log.ends_with("\n"));
}

TEST(HostileInput, LogTruncatedToNothingWhileBeingRead)
{
    const scratch_dir dir;
    write_key_error_log(dir.file("log.txt"), CHANGING_LOG_LINES);
    bool changed = false;
    const tool_run run = run_while_changing_log(
        dir, [](const std::string& path) { ASSERT_EQ(truncate(path.c_str(), 0), 0); }, changed);
    EXPECT_TRUE(changed);
    report_measurement("log_truncated_to_nothing", run);
    expect_consistent_prefix(run);
}

TEST(HostileInput, LogTruncatedInsideALineWhileBeingRead)
{
    const scratch_dir dir;
    write_key_error_log(dir.file("log.txt"), CHANGING_LOG_LINES);
    bool changed = false;
    const tool_run run = run_while_changing_log(
        dir,
        [](const std::string& path) {
            // Halfway, and off any line end.
            const auto size = static_cast<off_t>(std::filesystem::file_size(path));
            ASSERT_EQ(truncate(path.c_str(), size / 2 + 7), 0);
        },
        changed);
    EXPECT_TRUE(changed);
    report_measurement("log_truncated_inside_a_line", run);
    expect_consistent_prefix(run);
}

}  // namespace
