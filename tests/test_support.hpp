// What the test programs share: the expected texts, the OpenSSL-made
// fixtures, the runner of the built tool, and the lines, runs and checks
// that many tests build on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "expected_texts.hpp"
#include "fixtures.hpp"
#include "tool_runner.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TEST_SANITIZED 1
#endif
#endif

using fixtures::key_field;
using fixtures::signature;
using fixtures::signed_line;

inline const std::string KEY = "secp256r1";
inline const std::string RSA_KEY = "rsa2048";
inline constexpr std::size_t MIB = 1024 * 1024;

// Data fields of a transaction log and of an event log with number n.
inline std::string tx(const std::string& n) { return "tx/0/1/2/3/4/5/" + n; }
inline std::string tx(long n) { return tx(std::to_string(n)); }
inline std::string ev(long n) { return "ev/" + std::to_string(n) + "/x"; }

// "\n[data][signature]" as printed for a line of KEY.
inline std::string shown(const std::string& data) { return shown(data, signature(KEY, data)); }

// A line of KEY that verifies; one whose signature belongs to other data;
// one whose key does not parse.
inline std::string line_of(const std::string& data) { return signed_line(KEY, data) + "\n"; }
inline std::string forged_line(const std::string& data, const std::string& signed_data)
{
    return key_field(KEY) + "," + data + "," + signature(KEY, signed_data) + "\n";
}
inline std::string key_error_line(long n) { return "AAAA," + tx(n) + ",00\n"; }
// The key field of an RSA-2048 key that no other n gives: the OpenSSL-made
// rsa2048 fixture with three bytes inside its modulus replaced by n (it
// still parses; no private key exists for it). A line of it, signature 00.
std::string one_off_rsa_key(long n);
inline std::string one_off_key_line(long n) { return one_off_rsa_key(n) + "," + tx(n) + ",00\n"; }
std::string key_error_lines(long lines);
std::string key_error_records(long lines);
void write_key_error_log(const std::string& path, long lines);

// Bytes with everything but printable ASCII as \xHH.
std::string printable(const std::string& bytes);

// A random log: good, tampered, rewritten and broken lines, blank lines,
// repeated and missing sequence numbers.
std::string random_log(std::mt19937& random, bool event_log);

// Runs of the built tool killed after this long rather than the whole test
// run.
inline constexpr unsigned TIME_LIMIT_SECONDS = 300;
tool_options limited();

// The tool's line buffer: a physical line is read at most this long minus
// one at a time.
inline constexpr std::size_t LINE_BUFFER = 104857600;
inline constexpr std::size_t LONGEST_PIECE = LINE_BUFFER - 1;
// Peak memory allowed to any run: two line buffers and some change.
inline constexpr long MEMORY_BOUND_KIB = (2 * LINE_BUFFER + 16 * MIB) / 1024;

#ifdef TEST_SANITIZED
// The sanitizers' shadow memory and quarantine make peak memory meaningless.
inline constexpr bool CHECK_MEMORY = false;
#else
inline constexpr bool CHECK_MEMORY = true;
#endif
void expect_memory_below(const tool_run& run, long bound_kib);

// The built tool on a log in dir, and on a log written as "log.txt" in a
// fresh directory, with the time limit.
tool_run run_on(const scratch_dir& dir, const std::string& log_name, bool event_log = false);
tool_run run_on_text(const std::string& log);

// Expected bytes as a list of pieces, so that runs of hundreds of MiB need
// not be spelled out: a piece is a text, or count copies of one byte.
struct piece {
    std::string text;
    std::size_t count = 0;
    char fill = 0;
};
inline piece text(std::string s) { return {std::move(s), 0, 0}; }
inline piece repeat(char c, std::size_t count) { return {std::string(), count, c}; }

// Compares actual with the pieces; on a difference reports where, with a
// short excerpt of both sides, instead of printing everything.
void expect_bytes(const std::string& actual, const std::vector<piece>& expected, const char* what);

// A whole run: console, result log, exit code, and nothing on standard
// error.
void expect_run(const tool_run& run, const std::vector<piece>& console,
                const std::vector<piece>& result_log, int exit_code);
void expect_run(const tool_run& run, const std::string& console, const std::string& result_log,
                int exit_code);

// Prints and records a run's wall time and peak memory.
void report_measurement(const std::string& what, const tool_run& run);

// Writes all of data to fd; false once a write fails (the reader is gone).
bool write_all(int fd, const std::string& data);

// Writes a file piece by piece, without holding it in memory.
class file_writer {
public:
    explicit file_writer(const std::string& path) : out_(path, std::ios::binary) {}
    file_writer& operator<<(const std::string& s);
    file_writer& fill(char c, std::size_t count);
    ~file_writer() { out_.close(); }
    file_writer(const file_writer&) = delete;
    file_writer& operator=(const file_writer&) = delete;

private:
    std::ofstream out_;
};

// Set once, waited for by another thread with a deadline.
class flag {
public:
    void set();
    bool wait(std::chrono::milliseconds deadline);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool set_ = false;
};
