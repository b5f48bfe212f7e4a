// The built tool against logs that vanish while being read, and against
// hostile and huge input: whatever a file holds, the tool must not crash,
// hang, corrupt out.log or grow without bound, and must not exit 0 for a log
// it did not fully verify. Every run's console bytes, out.log bytes, exit
// code and standard error are checked; the big runs also report their wall
// time and peak resident memory.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "expected_texts.hpp"
#include "fixtures.hpp"
#include "tool_runner.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define HOSTILE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HOSTILE_SANITIZED 1
#endif
#endif

namespace {

using fixtures::key_field;
using fixtures::signature;
using fixtures::signed_line;

const std::string KEY = "secp256r1";
const std::string RSA_KEY = "rsa2048";

// The tool's line buffer: a physical line is read at most this long minus
// one at a time.
constexpr std::size_t LINE_BUFFER = 104857600;
constexpr std::size_t LONGEST_PIECE = LINE_BUFFER - 1;
constexpr std::size_t MIB = 1024 * 1024;
// Peak memory allowed to any run: two line buffers and some change.
constexpr long MEMORY_BOUND_KIB = (2 * LINE_BUFFER + 16 * MIB) / 1024;

// Kill a hung tool rather than the whole test run.
constexpr unsigned TIME_LIMIT_SECONDS = 300;

#ifdef HOSTILE_SANITIZED
// The sanitizers' shadow memory and quarantine make peak memory meaningless.
constexpr bool CHECK_MEMORY = false;
#else
constexpr bool CHECK_MEMORY = true;
#endif

std::string tx(const std::string& n) { return "tx/0/1/2/3/4/5/" + n; }
std::string tx(long n) { return tx(std::to_string(n)); }

using ::shown;
std::string shown(const std::string& data) { return shown(data, signature(KEY, data)); }

std::string line_of(const std::string& data) { return signed_line(KEY, data) + "\n"; }

// Expected bytes as a list of pieces, so that runs of hundreds of MiB need
// not be spelled out: a piece is a text, or count copies of one byte.
struct piece {
    std::string text;
    std::size_t count = 0;
    char fill = 0;
};
piece text(std::string s) { return {std::move(s), 0, 0}; }
piece repeat(char c, std::size_t count) { return {std::string(), count, c}; }

std::string printable(const std::string& bytes)
{
    std::string out;
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F && c != '\\') {
            out += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", u);
            out += escaped;
        }
    }
    return out;
}

// Compares actual with the pieces; on a difference reports where, with a
// short excerpt of both sides, instead of printing everything.
void expect_bytes(const std::string& actual, const std::vector<piece>& expected, const char* what)
{
    std::size_t expected_size = 0;
    for (const piece& p : expected)
        expected_size += p.text.empty() ? p.count : p.text.size();
    std::size_t at = 0;
    std::size_t mismatch = std::string::npos;
    std::string expected_excerpt;
    for (const piece& p : expected) {
        const std::size_t n = p.text.empty() ? p.count : p.text.size();
        for (std::size_t i = 0; i < n && mismatch == std::string::npos; ++i) {
            const char want = p.text.empty() ? p.fill : p.text[i];
            if (at + i >= actual.size() || actual[at + i] != want)
                mismatch = at + i;
        }
        if (mismatch != std::string::npos) {
            // The expected bytes from the mismatch on, up to 60.
            std::size_t skip = mismatch - at;
            for (auto it = &p;
                 it != expected.data() + expected.size() && expected_excerpt.size() < 60; ++it) {
                const std::size_t len = it->text.empty() ? it->count : it->text.size();
                const std::size_t take = std::min<std::size_t>(len - skip, 60);
                expected_excerpt +=
                    it->text.empty() ? std::string(take, it->fill) : it->text.substr(skip, take);
                skip = 0;
            }
            break;
        }
        at += n;
    }
    if (mismatch == std::string::npos && actual.size() == expected_size)
        return;
    if (mismatch == std::string::npos)
        mismatch = expected_size;
    const std::size_t from = mismatch > 20 ? mismatch - 20 : 0;
    ADD_FAILURE() << what << " differs at byte " << mismatch << " (actual " << actual.size()
                  << " bytes, expected " << expected_size << ")\n  actual   ...\""
                  << printable(actual.substr(from, mismatch - from)) << "\" then \""
                  << printable(actual.substr(std::min(mismatch, actual.size()), 60))
                  << "\"\n  expected then \"" << printable(expected_excerpt.substr(0, 60)) << "\"";
}

void expect_run(const tool_run& run, const std::vector<piece>& console,
                const std::vector<piece>& result_log, int exit_code)
{
    EXPECT_FALSE(run.timed_out);
    expect_bytes(run.console, console, "console");
    EXPECT_TRUE(run.result_log_exists);
    expect_bytes(run.result_log, result_log, "out.log");
    EXPECT_EQ(run.exit_code, exit_code);
    EXPECT_EQ(run.errors, "");
}
void expect_run(const tool_run& run, const std::string& console, const std::string& result_log,
                int exit_code)
{
    expect_run(run, std::vector<piece>{text(console)}, std::vector<piece>{text(result_log)},
               exit_code);
}

// Prints and records a run's wall time and peak memory.
void report(const std::string& what, const tool_run& run)
{
    std::cout << "[ measured ] " << what << ": " << run.seconds << " s, peak RSS "
              << run.peak_rss_kib << " KiB (" << run.peak_rss_kib / 1024 << " MiB)" << std::endl;
    testing::Test::RecordProperty(what + "_seconds", std::to_string(run.seconds));
    testing::Test::RecordProperty(what + "_peak_rss_kib", std::to_string(run.peak_rss_kib));
}

void expect_memory_below(const tool_run& run, long bound_kib)
{
    if (CHECK_MEMORY) {
        EXPECT_LT(run.peak_rss_kib, bound_kib) << "peak resident memory in KiB";
    }
}

tool_options limited()
{
    tool_options options;
    options.time_limit_seconds = TIME_LIMIT_SECONDS;
    return options;
}

tool_run run_on(const scratch_dir& dir, const std::string& log_name, bool event_log = false)
{
    std::vector<std::string> args = {log_name};
    if (event_log)
        args.emplace_back("-evl");
    return run_tool(dir, args, limited());
}

tool_run run_on_text(const std::string& log)
{
    const scratch_dir dir;
    dir.write("log.txt", log);
    return run_on(dir, "log.txt");
}

// Writes a file piece by piece, without holding it in memory.
class file_writer {
public:
    explicit file_writer(const std::string& path) : out_(path, std::ios::binary) {}
    file_writer& operator<<(const std::string& s)
    {
        out_.write(s.data(), static_cast<std::streamsize>(s.size()));
        return *this;
    }
    file_writer& fill(char c, std::size_t count)
    {
        const std::string block(std::min(count, MIB), c);
        for (; count >= block.size() && count > 0; count -= block.size())
            *this << block;
        *this << block.substr(0, count);
        return *this;
    }
    ~file_writer() { out_.close(); }
    file_writer(const file_writer&) = delete;
    file_writer& operator=(const file_writer&) = delete;

private:
    std::ofstream out_;
};

// Writes all of data to fd; false once a write fails (the reader is gone).
bool write_all(int fd, const std::string& data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

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

// ---------------------------------------------------------------- faults

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

std::string key_error_line(long n) { return "AAAA," + tx(n) + ",00\n"; }

void write_key_error_log(const std::string& path, long lines)
{
    file_writer out(path);
    for (long n = 1; n <= lines; ++n)
        out << key_error_line(n);
}

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
    report("unlinked_log", run);
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
    report("log_truncated_to_nothing", run);
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
    report("log_truncated_inside_a_line", run);
    expect_consistent_prefix(run);
}

// ------------------------------------------------------- long lines

TEST(HostileInput, LineLongerThanTheBufferArrivesInTwoPieces)
{
    // A key, a comma and 110 MiB of data without a signature. The first
    // piece is a line whose signature is absent; the second holds only the
    // rest of the data, 10 MiB of 'A' (a multiple of four base64 digits,
    // all zero bytes), which as a key is no SEQUENCE.
    const std::string head = key_field(KEY) + ",";
    const std::size_t first_data = LONGEST_PIECE - head.size();
    const std::size_t rest = 10 * MIB;
    const scratch_dir dir;
    {
        file_writer out(dir.file("log.txt"));
        out << head;
        out.fill('A', first_data + rest) << "\n";
    }
    const tool_run run = run_on(dir, "log.txt");
    report("line_of_110_MiB", run);
    expect_run(
        run,
        {text(BANNER + "\n["), repeat('A', first_data),
         text("][]" + verify_error(1) + key_error(2, "3d62") + last_key_error_summary(2, "3d62"))},
        {repeat('A', first_data), text(",ERROR\n, PUBKEY ERROR\n")}, exit_of_key_code(0x3d62));
    expect_memory_below(run, MEMORY_BOUND_KIB);
}

TEST(HostileInput, LineThatFillsTheBufferExactlyIsOnePiece)
{
    const std::string head = key_field(KEY) + ",";
    const std::size_t data = LONGEST_PIECE - head.size();
    const scratch_dir dir;
    {
        // Its newline is read on its own, as a blank line.
        file_writer out(dir.file("log.txt"));
        out << head;
        out.fill('A', data) << "\n";
    }
    tool_run run = run_on(dir, "log.txt");
    report("line_of_the_buffer_length", run);
    expect_run(run,
               {text(BANNER + "\n["), repeat('A', data),
                text("][]" + verify_error(1) + error_count_summary(1))},
               {repeat('A', data), text(",ERROR\n")}, EXIT_COUNTED_ERRORS);
    expect_memory_below(run, MEMORY_BOUND_KIB);

    {
        // One byte more: the second piece is that byte, "A" as a key, which
        // decodes to nothing.
        file_writer out(dir.file("log.txt"));
        out << head;
        out.fill('A', data + 1) << "\n";
    }
    run = run_on(dir, "log.txt");
    expect_run(
        run,
        {text(BANNER + "\n["), repeat('A', data),
         text("][]" + verify_error(1) + key_error(2, "3d60") + last_key_error_summary(2, "3d60"))},
        {repeat('A', data), text(",ERROR\n, PUBKEY ERROR\n")}, exit_of_key_code(0x3d60));
}

// A line of base64 letters longer than the buffer: two key fields of about
// 100 MiB. Such a key is wrapped in its armour where it stands, so the
// only other copy is the library's decoding of it (three quarters of its
// length), and memory stays within the bound.
TEST(HostileInput, LineOfOnlyKeyLettersLongerThanTheBuffer)
{
    const std::size_t rest = 10 * MIB;
    const scratch_dir dir;
    {
        file_writer out(dir.file("log.txt"));
        out.fill('A', LONGEST_PIECE + rest) << "\n";
    }
    const tool_run run = run_on(dir, "log.txt");
    report("line_of_110_MiB_of_key_letters", run);
    // The first piece, 104,857,599 letters, is not a multiple of four and
    // still decodes (the library drops the incomplete group) into zero bytes.
    expect_run(run,
               BANNER + key_error(1, "3d62") + key_error(1, "3d62") +
                   last_key_error_summary(1, "3d62"),
               ", PUBKEY ERROR\n, PUBKEY ERROR\n", exit_of_key_code(0x3d62));
    expect_memory_below(run, MEMORY_BOUND_KIB);
}

// ------------------------------------------------------- huge fields

TEST(HostileInput, KeyFieldOf10MB)
{
    const scratch_dir dir;
    {
        file_writer out(dir.file("log.txt"));
        out.fill('A', 10000000) << "," << tx(1) << ",00\n";
    }
    const tool_run run = run_on(dir, "log.txt");
    report("key_field_of_10_MB", run);
    expect_run(run, BANNER + key_error(1, "3d62") + last_key_error_summary(1, "3d62"),
               tx(1) + ", PUBKEY ERROR\n", exit_of_key_code(0x3d62));
    expect_memory_below(run, MEMORY_BOUND_KIB);
}

TEST(HostileInput, KeyFieldOf10MBThatParsesAndVerifies)
{
    // The library reads the SubjectPublicKeyInfo's outer SEQUENCE and
    // ignores whatever follows it, here 7.5 MB of zero bytes; the key is
    // too long to be kept between lines and is parsed for each.
    const std::string key = key_field(RSA_KEY) + std::string(10000000, 'A');
    std::string log;
    std::string console = BANNER;
    std::string result_log;
    for (int n = 1; n <= 2; ++n) {
        log += key + "," + tx(n) + "," + signature(RSA_KEY, tx(n)) + "\n";
        console += shown(tx(n), signature(RSA_KEY, tx(n)));
        result_log += tx(n) + ",OK\n";
    }
    const scratch_dir dir;
    dir.write("log.txt", log);
    log = std::string();
    const tool_run run = run_on(dir, "log.txt");
    report("verified_key_field_of_10_MB", run);
    expect_run(run, console + clean_summary(2), result_log, 0);
    expect_memory_below(run, MEMORY_BOUND_KIB);
}

TEST(HostileInput, LargeLinesAreReportedInInputOrder)
{
    // Lines over 1 MiB are checked in place once every line before them is
    // reported; small ones go to the workers. Both kinds, interleaved.
    const std::string big_key = key_field(RSA_KEY) + std::string(2 * MIB, 'A');
    std::string log;
    std::string console = BANNER;
    std::string result_log;
    long lines = 0;
    for (int round = 1; round <= 3; ++round) {
        for (int n = 1; n <= 12; ++n) {
            const std::string& key_name = n % 2 == 0 ? KEY : RSA_KEY;
            log += signed_line(key_name, tx(n)) + "\n";
            console += shown(tx(n), signature(key_name, tx(n)));
            result_log += tx(n) + ",OK\n";
            ++lines;
        }
        log += big_key + "," + tx(round) + "," + signature(RSA_KEY, tx(round)) + "\n";
        console += shown(tx(round), signature(RSA_KEY, tx(round)));
        result_log += tx(round) + ",OK\n";
        ++lines;
    }
    expect_run(run_on_text(log), console + clean_summary(lines), result_log, 0);
}

TEST(HostileInput, SignatureFieldOf10MB)
{
    // Far beyond the 1,024 bytes a signature may have: not decoded, and the
    // line fails although its first digits are the right signature.
    const std::string sig = signature(KEY, tx(1));
    std::string huge;
    while (huge.size() < 10000000)
        huge += sig;
    huge.resize(10000000);
    const scratch_dir dir;
    dir.write("log.txt", key_field(KEY) + "," + tx(1) + "," + huge + "\n");
    const tool_run run = run_on(dir, "log.txt");
    report("signature_field_of_10_MB", run);
    expect_run(run, BANNER + shown(tx(1), huge) + verify_error(1) + error_count_summary(1),
               tx(1) + ",ERROR\n", EXIT_COUNTED_ERRORS);
    expect_memory_below(run, MEMORY_BOUND_KIB);
}

TEST(HostileInput, SignatureOneByteOverTheLimitIsNotDecoded)
{
    // An RSA-8192 signature is exactly 1,024 bytes; two more digits make it
    // too long, even though they would be a trailing byte the key ignores.
    const std::string sig = signature("rsa8192", tx(1));
    ASSERT_EQ(sig.size(), 2048U);
    expect_run(run_on_text(signed_line("rsa8192", tx(1)) + "\n"),
               BANNER + shown(tx(1), sig) + clean_summary(1), tx(1) + ",OK\n", 0);
    expect_run(run_on_text(key_field("rsa8192") + "," + tx(1) + "," + sig + "00\n"),
               BANNER + shown(tx(1), sig + "00") + verify_error(1) + error_count_summary(1),
               tx(1) + ",ERROR\n", EXIT_COUNTED_ERRORS);
}

TEST(HostileInput, SequenceItemOf10000Digits)
{
    // Verified, but the number saturates far beyond the tracked range.
    const std::string data = tx(std::string(10000, '9'));
    expect_run(run_on_text(line_of(data)),
               BANNER + shown(data) + sequence_number_error(1) + error_count_summary(1),
               data + ",ERROR\n", EXIT_COUNTED_ERRORS);
    // Next to a good line: counted, and no gap or range from it.
    expect_run(run_on_text(line_of(tx(1)) + line_of(data) + line_of(tx(2))),
               BANNER + shown(tx(1)) + shown(data) + sequence_number_error(2) + shown(tx(2)) +
                   error_count_summary(1),
               tx(1) + ",OK\n" + data + ",ERROR\n" + tx(2) + ",OK\n", EXIT_COUNTED_ERRORS);
}

TEST(HostileInput, LineOfOneMiBOfCommas)
{
    // No field at all: an empty key.
    const scratch_dir dir;
    {
        file_writer out(dir.file("log.txt"));
        out.fill(',', MIB) << "\n";
    }
    const tool_run run = run_on(dir, "log.txt");
    expect_run(run, BANNER + key_error(1, "3d60") + last_key_error_summary(1, "3d60"),
               ", PUBKEY ERROR\n", exit_of_key_code(0x3d60));
}

// ------------------------------------------------------- NUL and high bytes

const std::string NUL(1, '\0');

TEST(HostileInput, NulByteInsideAField)
{
    const std::string key = key_field(KEY);
    const std::string sig = signature(KEY, tx(1));
    // In the key: only its first eight digits are left, and no data.
    expect_run(run_on_text(key.substr(0, 8) + NUL + key.substr(8) + "," + tx(1) + "," + sig + "\n"),
               BANNER + key_error(1, "3d60") + last_key_error_summary(1, "3d60"),
               ", PUBKEY ERROR\n", exit_of_key_code(0x3d60));
    // In the data: the data is cut, and the signature is gone with the rest.
    expect_run(run_on_text(key + ",tx/0/1" + NUL + "/2/3/4/5/1," + sig + "\n"),
               BANNER + shown("tx/0/1", "") + verify_error(1) + error_count_summary(1),
               "tx/0/1,ERROR\n", EXIT_COUNTED_ERRORS);
    // In the signature: the signature is cut.
    expect_run(run_on_text(key + "," + tx(1) + "," + sig.substr(0, 20) + NUL + sig.substr(20) +
                           "\n"),
               BANNER + shown(tx(1), sig.substr(0, 20)) + verify_error(1) + error_count_summary(1),
               tx(1) + ",ERROR\n", EXIT_COUNTED_ERRORS);
}

TEST(HostileInput, NulBytesHideWholeLines)
{
    // A line that begins with NUL is blank, whatever follows: here a line
    // whose signature belongs to other data, and lines of NUL bytes only.
    const std::string forged = key_field(KEY) + "," + tx(3) + "," + signature(KEY, tx(1));
    const std::string log = NUL + "\n" + line_of(tx(1)) + NUL + forged + "\n" +
                            std::string(4096, '\0') + "\n" + line_of(tx(2)) + NUL;
    expect_run(run_on_text(log), BANNER + shown(tx(1)) + shown(tx(2)) + clean_summary(2),
               tx(1) + ",OK\n" + tx(2) + ",OK\n", 0);
    // A file of NUL bytes only, longer than a piece: nothing to verify.
    const scratch_dir dir;
    {
        file_writer out(dir.file("log.txt"));
        out.fill('\0', LINE_BUFFER + MIB);
    }
    const tool_run run = run_on(dir, "log.txt");
    report("nul_bytes_only", run);
    expect_run(run, BANNER, "", 0);
}

TEST(HostileInput, HighBytesAreNotBlanks)
{
    // In the "C" locale bytes 0x80 to 0xFF are not whitespace: before the
    // key they break its base64.
    const std::string line = signed_line(KEY, tx(1));
    const std::string sig = signature(KEY, tx(1));
    for (const std::string& before : {std::string("\xef\xbb\xbf"), std::string("\xa0"),
                                      std::string("\x85"), std::string("\xff")}) {
        SCOPED_TRACE(printable(before));
        expect_run(run_on_text(before + line + "\n"),
                   BANNER + key_error(1, "112c") + last_key_error_summary(1, "112c"),
                   tx(1) + ", PUBKEY ERROR\n", exit_of_key_code(0x112c));
    }
    // After the signature it belongs to it, as an odd last character,
    // which the decoding ignores.
    expect_run(run_on_text(line + "\xa0\n"), BANNER + shown(tx(1), sig + "\xa0") + clean_summary(1),
               tx(1) + ",OK\n", 0);
}

TEST(HostileInput, HighBytesInsideFields)
{
    const std::string key = key_field(KEY);
    const std::string sig = signature(KEY, tx(1));
    // In the key.
    expect_run(run_on_text(key.substr(0, 40) + "\xc3\xa9" + key.substr(40) + "," + tx(1) + "," +
                           sig + "\n"),
               BANNER + key_error(1, "112c") + last_key_error_summary(1, "112c"),
               tx(1) + ", PUBKEY ERROR\n", exit_of_key_code(0x112c));
    // In the data: other bytes, another digest.
    const std::string data = tx(1) + "\xe9";
    expect_run(run_on_text(key + "," + data + "," + sig + "\n"),
               BANNER + shown(data, sig) + verify_error(1) + error_count_summary(1),
               data + ",ERROR\n", EXIT_COUNTED_ERRORS);
    // In the signature, pairs decode like strtoul: "2\x80" is 0x02, as the
    // "02" it replaces (the tag of r), so the signature still verifies...
    ASSERT_EQ(sig.substr(4, 2), "02");
    const std::string same = sig.substr(0, 4) + "2\x80" + sig.substr(6);
    expect_run(run_on_text(key + "," + tx(1) + "," + same + "\n"),
               BANNER + shown(tx(1), same) + clean_summary(1), tx(1) + ",OK\n", 0);
    // ...while "\xff\xff" has no digit, is 0x00 and breaks the SEQUENCE tag.
    const std::string broken = "\xff\xff" + sig.substr(2);
    expect_run(run_on_text(key + "," + tx(1) + "," + broken + "\n"),
               BANNER + shown(tx(1), broken) + verify_error(1) + error_count_summary(1),
               tx(1) + ",ERROR\n", EXIT_COUNTED_ERRORS);
}

TEST(HostileInput, LineOfHighBytesBetweenGoodLines)
{
    // A key error of its own; the line counter does not advance for it, and
    // the last line's verdict decides the status.
    expect_run(run_on_text(line_of(tx(1)) + "\xff\xfe\x80\x90\n" + line_of(tx(2))),
               BANNER + shown(tx(1)) + key_error(2, "112c") + shown(tx(2)) + error_count_summary(1),
               tx(1) + ",OK\n, PUBKEY ERROR\n" + tx(2) + ",OK\n", EXIT_COUNTED_ERRORS);
}

TEST(HostileInput, CarriageReturnsAloneDoNotEndLines)
{
    // Two lines joined by a lone CR are one line, whose signature field runs
    // into the second key: too long for the signature, so the line fails.
    const std::string sig = signature(KEY, tx(1));
    const std::string joined_sig = sig + "\r" + key_field(KEY);
    expect_run(run_on_text(signed_line(KEY, tx(1)) + "\r" + signed_line(KEY, tx(2)) + "\r"),
               BANNER + shown(tx(1), joined_sig) + verify_error(1) + error_count_summary(1),
               tx(1) + ",ERROR\n", EXIT_COUNTED_ERRORS);
}

// ------------------------------------------------------- many lines

TEST(HostileInput, AMillionShortLines)
{
    constexpr long LINES = 1000000;
    const scratch_dir dir;
    write_key_error_log(dir.file("log.txt"), LINES);
    const tool_run run = run_on(dir, "log.txt");
    report("million_key_error_lines", run);
    std::string console = BANNER;
    std::string result_log;
    console.reserve(BANNER.size() + 55 * LINES + 64);
    result_log.reserve(36 * LINES);
    for (long n = 1; n <= LINES; ++n) {
        console += key_error(1, "3d62");
        result_log += tx(n) + ", PUBKEY ERROR\n";
    }
    expect_run(run, console + last_key_error_summary(1, "3d62"), result_log,
               exit_of_key_code(0x3d62));
    expect_memory_below(run, 32 * 1024);
}

TEST(HostileInput, ManyDistinctKeyFieldsKeepMemoryBounded)
{
    // Every line has a key field of its own, just under the size that is
    // still kept between lines (8 KiB): the same RSA key followed by bytes
    // that differ per line and that the library ignores. The kept keys must
    // be dropped as new ones come.
    constexpr long LINES = 20000;
    const std::string& key = key_field(RSA_KEY);
    const std::size_t tail_bytes = (8000 - key.size()) / 4 * 3;
    const scratch_dir dir;
    {
        file_writer out(dir.file("log.txt"));
        std::string tail(tail_bytes, 'x');
        for (long n = 1; n <= LINES; ++n) {
            std::snprintf(tail.data(), 16, "%015ld", n);
            const std::string data = tx(1 + n % 12);
            out << key << fixtures::to_base64(tail) << "," << data << ","
                << signature(RSA_KEY, data) << "\n";
        }
    }
    const tool_run run = run_on(dir, "log.txt");
    report("distinct_key_fields", run);
    std::string console = BANNER;
    std::string result_log;
    for (long n = 1; n <= LINES; ++n) {
        const std::string data = tx(1 + n % 12);
        console += shown(data, signature(RSA_KEY, data));
        result_log += data + ",OK\n";
    }
    expect_run(run, console + clean_summary(LINES), result_log, 0);
    expect_memory_below(run, 64 * 1024);
}

// ------------------------------------------------------- faults
// Signals, descriptors, locks, resources and slow input: a run either does
// its whole work or says that it did not, and never dies silently.

std::string key_error_lines(long lines)
{
    std::string log;
    for (long n = 1; n <= lines; ++n)
        log += key_error_line(n);
    return log;
}
std::string key_error_records(long lines)
{
    std::string records;
    for (long n = 1; n <= lines; ++n)
        records += tx(n) + ", PUBKEY ERROR\n";
    return records;
}

// Set once, waited for by another thread with a deadline.
class flag {
public:
    void set()
    {
        {
            const std::lock_guard lock(mutex_);
            set_ = true;
        }
        changed_.notify_all();
    }
    bool wait(std::chrono::milliseconds deadline)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, deadline, [this] { return set_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool set_ = false;
};

TEST(FaultsSignals, AConsoleThatGoesAwayDoesNotEndTheRun)
{
    // tool LOG | head -c 100
    const scratch_dir dir;
    dir.write("log.txt", key_error_lines(3000));
    tool_options options = limited();
    options.console_read_limit = 100;
    const tool_run run = run_tool(dir, {"log.txt"}, options);
    EXPECT_EQ(run.term_signal, 0);
    EXPECT_EQ(run.exit_code, exit_of_key_code(0x3d62));
    EXPECT_EQ(run.result_log, key_error_records(3000));
}

TEST(FaultsSignals, AResultLogFifoWhoseReaderGoesAwayIsAFailedWrite)
{
    const scratch_dir dir;
    dir.write("log.txt", key_error_lines(5000));
    ASSERT_EQ(mkfifo(dir.file("out.log").c_str(), 0600), 0);
    const int reader = open(dir.file("out.log").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    std::thread read_a_little([reader] {
        char bytes[100];
        for (int tries = 0; tries < 500; ++tries) {
            if (read(reader, bytes, sizeof bytes) > 0)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        close(reader);
    });
    const tool_run run = run_tool(dir, {"log.txt"}, limited());
    read_a_little.join();
    EXPECT_EQ(run.term_signal, 0);
    EXPECT_TRUE(
        run.console.ends_with(last_key_error_summary(1, "3d62") + could_not_write("out.log")));
    EXPECT_EQ(run.exit_code, EXIT_FILE_ERROR);
}

// Sends signal_number to the tool once it has reported three lines from
// standard input, then keeps the input open until the tool is gone.
tool_run run_interrupted(const scratch_dir& dir, int signal_number, const std::string& log)
{
    flag three_reported;
    flag finished;
    std::atomic<bool> signalled{false};
    const std::string third = shown(tx(3));
    tool_options options = limited();
    options.on_console = [&](const std::string& console, int pid) {
        if (!signalled && console.find(third) != std::string::npos) {
            signalled = true;
            kill(pid, signal_number);
        }
        if (console.find("Interrupted") != std::string::npos)
            finished.set();
    };
    options.stdin_writer = [&](int fd) {
        write_all(fd, log);
        finished.wait(std::chrono::seconds(30));
    };
    return run_tool(dir, {"/dev/stdin"}, options);
}

TEST(FaultsSignals, InterruptedRunsEndByTheirSignalAfterAWholeRecord)
{
    const std::string log = line_of(tx(1)) + line_of(tx(2)) + line_of(tx(3));
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal_number);
        const scratch_dir dir;
        const tool_run run = run_interrupted(dir, signal_number, log);
        EXPECT_EQ(run.term_signal, signal_number);
        EXPECT_EQ(run.console, BANNER + shown(tx(1)) + shown(tx(2)) + shown(tx(3)) +
                                   "\n  ! Interrupted by signal " + std::to_string(signal_number) +
                                   " after line 3 of /dev/stdin\n\n");
        EXPECT_EQ(run.result_log, tx(1) + ",OK\n" + tx(2) + ",OK\n" + tx(3) + ",OK\n" +
                                      "interrupted by signal " + std::to_string(signal_number) +
                                      ",INTERRUPTED\n");
    }
}

TEST(FaultsDescriptors, ClosedStandardDescriptorsAreNeverTheResultLog)
{
    // tool LOG <&- >&-
    const scratch_dir dir;
    dir.write("log.txt", line_of(tx(1)) + line_of(tx(2)));
    tool_options options = limited();
    options.close_stdin = true;
    options.close_stdout = true;
    const tool_run run = run_tool(dir, {"log.txt"}, options);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.result_log, tx(1) + ",OK\n" + tx(2) + ",OK\n");
}

TEST(FaultsDescriptors, AResultLogThatIsTheStandardOutputIsRefused)
{
    // tool LOG > out.log, and the same with another result log
    const scratch_dir dir;
    dir.write("log.txt", line_of(tx(1)));
    for (const auto& [args, file] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"log.txt"}, "out.log"}, {{"--result-log=r.txt", "log.txt"}, "r.txt"}}) {
        tool_options options = limited();
        options.stdout_file = file;
        const tool_run run = run_tool(dir, args, options);
        EXPECT_EQ(run.exit_code, EXIT_FILE_ERROR);
        EXPECT_EQ(dir.read(file),
                  BANNER + "\n  ! Could not open " + file + ": it is the standard output\n\n");
    }
}

TEST(FaultsLocks, AResultLogAnotherRunIsWritingIsLeftAlone)
{
    const scratch_dir dir;
    dir.write("log.txt", line_of(tx(1)));
    const std::string refused =
        BANNER + "\n  ! Could not open out.log: another run is writing it\n\n";

    // A second run while the first still reads its slow input.
    flag second_done;
    tool_run first;
    std::thread first_run([&] {
        const scratch_dir input;
        tool_options options = limited();
        options.stdin_writer = [&](int fd) {
            write_all(fd, line_of(tx(7)));
            second_done.wait(std::chrono::seconds(60));
        };
        first = run_tool(dir, {"/dev/stdin"}, options);
    });
    // The first run holds out.log once its banner and first line show;
    // wait for its lock rather than guess.
    for (int tries = 0; tries < 3000; ++tries) {
        const int fd = open(dir.file("out.log").c_str(), O_RDONLY | O_CLOEXEC);
        const bool held = fd >= 0 && flock(fd, LOCK_SH | LOCK_NB) != 0;
        if (fd >= 0)
            close(fd);
        if (held)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const tool_run second = run_tool(dir, {"log.txt"}, limited());
    second_done.set();
    first_run.join();
    EXPECT_EQ(second.console, refused);
    EXPECT_EQ(second.exit_code, EXIT_FILE_ERROR);
    EXPECT_EQ(first.exit_code, 0);
    EXPECT_EQ(first.result_log, tx(7) + ",OK\n");

    // A lock held by anyone keeps the file as it is.
    dir.write("out.log", "earlier records\n");
    const int held = open(dir.file("out.log").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    const tool_run run = run_tool(dir, {"log.txt"}, limited());
    close(held);
    EXPECT_EQ(run.console, refused);
    EXPECT_EQ(dir.read("out.log"), "earlier records\n");

    // Once no one holds it, the run's records replace all of it.
    dir.write("out.log", std::string(4000, 'x'));
    EXPECT_EQ(run_tool(dir, {"log.txt"}, limited()).exit_code, 0);
    EXPECT_EQ(dir.read("out.log"), tx(1) + ",OK\n");
}

#ifndef HOSTILE_SANITIZED
// The address space limits of `ulimit -v`: the sanitizers reserve more
// address space than any of them, so these run in the plain build only.
TEST(FaultsResources, WorkersThatCannotStartLeaveTheBytesAsTheyAre)
{
    const scratch_dir dir;
    dir.write("log.txt", line_of(tx(1)) + key_field(KEY) + "," + tx(2) + "," +
                             signature(KEY, tx(1)) + "\n" + line_of(tx(3)));
    const tool_run unlimited = run_tool(dir, {"log.txt"}, limited());
    for (const long megabytes : {20L, 24L, 40L, 60L, 120L, 250L}) {
        SCOPED_TRACE(megabytes);
        tool_options options = limited();
        options.address_space_limit = megabytes * 1000 * 1000;
        const tool_run run = run_tool(dir, {"log.txt"}, options);
        EXPECT_EQ(run.console, unlimited.console);
        EXPECT_EQ(run.result_log, unlimited.result_log);
        EXPECT_EQ(run.exit_code, unlimited.exit_code);
        EXPECT_EQ(run.errors, "");
    }
}

TEST(FaultsResources, RunningOutOfMemoryIsAFailureNeverAVerdict)
{
    // A line of 24 MiB between two good ones: with too little memory for
    // it, the run ends there; with enough, it is a key error like always.
    const scratch_dir dir;
    std::string log = line_of(tx(1)) + std::string(24 * MIB, 'A') + "," + tx(2) + ",00\n";
    log += line_of(tx(3));
    dir.write("log.txt", log);
    const tool_run unlimited = run_tool(dir, {"log.txt"}, limited());
    ASSERT_EQ(unlimited.exit_code, EXIT_COUNTED_ERRORS);
    int failures_at_the_long_line = 0;
    int verdicts = 0;
    for (long megabytes = 24; megabytes <= 96; megabytes += 6) {
        SCOPED_TRACE(megabytes);
        tool_options options = limited();
        options.address_space_limit = megabytes * 1000 * 1000;
        const tool_run run = run_tool(dir, {"log.txt"}, options);
        EXPECT_EQ(run.errors, "");
        if (run.exit_code == EXIT_FILE_ERROR) {
            // Ended at a line, with every line before it reported as always.
            const std::size_t at = run.console.find("\n  ! Out of memory at line ");
            ASSERT_NE(at, std::string::npos) << run.console;
            EXPECT_TRUE(unlimited.console.starts_with(run.console.substr(0, at)));
            const int line = std::stoi(run.console.substr(at + 27));
            EXPECT_TRUE(
                run.console.ends_with(" at line " + std::to_string(line) + " of log.txt\n\n"));
            std::string records;
            for (int n = 1; n < line; ++n)
                records += tx(n) + (n == 2 ? ", PUBKEY ERROR\n" : ",OK\n");
            EXPECT_EQ(run.result_log, records);
            failures_at_the_long_line += line == 2 ? 1 : 0;
        } else {
            ++verdicts;
            EXPECT_EQ(run.console, unlimited.console);
            EXPECT_EQ(run.result_log, unlimited.result_log);
            EXPECT_EQ(run.exit_code, unlimited.exit_code);
        }
    }
    EXPECT_GT(failures_at_the_long_line, 0);
    EXPECT_GT(verdicts, 0);
}
#endif

TEST(FaultsSlowInput, FifosWithoutTheirOtherEndNeitherHideTheBannerNorHang)
{
    const scratch_dir dir;
    dir.write("log.txt", line_of(tx(1)));
    // out.log with no reader: fails at once instead of waiting for one.
    ASSERT_EQ(mkfifo(dir.file("out.log").c_str(), 0600), 0);
    tool_options options = limited();
    options.time_limit_seconds = 20;
    tool_run run = run_tool(dir, {"log.txt"}, options);
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.console, BANNER + could_not_open("out.log"));
    EXPECT_EQ(run.exit_code, EXIT_FILE_ERROR);

    // A log with no writer: the tool waits, but its banner is out.
    ASSERT_EQ(mkfifo(dir.file("log.fifo").c_str(), 0600), 0);
    options.time_limit_seconds = 2;
    run = run_tool(dir, {"log.fifo"}, options);
    EXPECT_TRUE(run.timed_out);
    EXPECT_EQ(run.console, BANNER);
}

TEST(FaultsSlowInput, AResultLogFifoIsWrittenAtItsReadersPace)
{
    const scratch_dir dir;
    dir.write("log.txt", key_error_lines(5000));
    ASSERT_EQ(mkfifo(dir.file("out.log").c_str(), 0600), 0);
    const int reader = open(dir.file("out.log").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    std::string received;
    std::atomic<bool> tool_done{false};
    std::thread read_slowly([&] {
        char bytes[4096];
        for (;;) {
            const ssize_t got = read(reader, bytes, sizeof bytes);
            if (got > 0) {
                received.append(bytes, static_cast<std::size_t>(got));
            } else if (got == 0 && tool_done) {
                break;
            }
            // Far slower than the tool writes: it must wait for the reader.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        close(reader);
    });
    const tool_run run = run_tool(dir, {"log.txt"}, limited());
    tool_done = true;
    read_slowly.join();
    EXPECT_EQ(run.exit_code, exit_of_key_code(0x3d62));
    EXPECT_EQ(received, key_error_records(5000));
}

TEST(FaultsSlowInput, VerdictsShowBeforeTheToolWaitsForMoreInput)
{
    const scratch_dir dir;
    flag first_shown;
    bool shown_in_time = false;
    const std::string first = shown(tx(1));
    tool_options options = limited();
    options.on_console = [&](const std::string& console, int) {
        if (console.find(first) != std::string::npos)
            first_shown.set();
    };
    options.stdin_writer = [&](int fd) {
        write_all(fd, line_of(tx(1)));
        shown_in_time = first_shown.wait(std::chrono::seconds(5));
        write_all(fd, line_of(tx(2)));
    };
    const tool_run run = run_tool(dir, {"/dev/stdin"}, options);
    EXPECT_TRUE(shown_in_time);
    expect_run(run, BANNER + shown(tx(1)) + shown(tx(2)) + clean_summary(2),
               tx(1) + ",OK\n" + tx(2) + ",OK\n", 0);
}

// ------------------------------------------------------- scale

// 900,000 verified lines numbered 1 to 900,000, signed by the rsa512 test
// key: numbers from 800,000 up are rejected, each as an error of its own.
TEST(HostileScale, NineHundredThousandVerifiedLines)
{
    constexpr long LINES = 900000;
    constexpr long TRACKED = 799999;
    const std::string log_path = SCALE_LOG_PATH;
    const std::string command = "'" + std::string(FIXTURE_PYTHON) +
                                "' '" FIXTURE_DIR "/make_scale_log.py' '" + log_path + "' " +
                                std::to_string(LINES);
    ASSERT_EQ(std::system(command.c_str()), 0)
        << command << " failed (it needs python3-cryptography and openssl)";

    const scratch_dir dir;
    const tool_run run = run_tool(dir, {log_path}, limited());
    report("scale_900000_lines", run);
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
    report("gzip_of_2_GiB_of_zeros", run);
    expect_run(run, BANNER, "", 0);
    expect_memory_below(run, 256 * 1024);
    const tool_run json_run = run_tool(dir, {"--json", "zeros.gz"}, limited());
    EXPECT_NE(json_run.console.find(R"("lines":{"read":1,"blank":1,"checked":0,"ok":0})"),
              std::string::npos)
        << json_run.console;
}

}  // namespace
