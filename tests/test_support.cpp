#include "test_support.hpp"

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iostream>

std::string one_off_rsa_key(long n)
{
    static constexpr char BASE64[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    // Characters 100 to 103 are bytes 75 to 77 of the DER, well inside the
    // modulus (bytes 33 to 288), whose top and lowest bits stay as they are.
    std::string key = key_field(RSA_KEY);
    for (int i = 0; i < 4; ++i)
        key[100 + static_cast<std::size_t>(i)] = BASE64[(n >> (6 * (3 - i))) & 0x3F];
    return key;
}

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

void write_key_error_log(const std::string& path, long lines)
{
    file_writer out(path);
    for (long n = 1; n <= lines; ++n)
        out << key_error_line(n);
}

std::string random_log(std::mt19937& random, bool event_log)
{
    static const std::vector<std::string> keys = {"secp256r1", "rsa2048", "secp384r1",
                                                  "explicit_G04_secp256k1", "ecdh_secp256r1"};
    std::string log;
    const int lines = static_cast<int>(random() % 40);
    for (int i = 0; i < lines; ++i) {
        const std::string key = keys[random() % keys.size()];
        const std::string signer = key.substr(key.rfind('_') + 1);
        // Two keys signed numbers 0 to 12, the others 1 and 2.
        const bool many_numbers = key == "secp256r1" || key == "rsa2048" || key == "ecdh_secp256r1";
        const int n =
            many_numbers ? static_cast<int>(random() % 8) : 1 + static_cast<int>(random() % 2);
        const std::string data =
            event_log ? "ev/" + std::to_string(n) + "/x" : "tx/0/1/2/3/4/5/" + std::to_string(n);
        std::string line = key_field(key) + "," + data + "," + signature(signer, data);
        switch (random() % 8) {
            case 0:
                line[line.size() - 3] ^= 1;
                break;  // tampered signature
            case 1:
                line = "AAAA" + line.substr(line.find(','));
                break;  // broken key
            case 2:
                line = line.substr(0, line.rfind(','));
                break;  // no signature
            case 3:
                line = "   \t";
                break;  // blank
            default:
                break;
        }
        log += line + (random() % 2 ? "\n" : "\r\n");
    }
    return log;
}

// A log through fifteen fixture keys and an id-ecDH key in turn, three
// times over, every fifth line tampered: more keys than a worker of the
// small-store build keeps. Every worker count gives the same bytes, and
// every record is the plain check's verdict.

tool_options limited()
{
    tool_options options;
    options.time_limit_seconds = TIME_LIMIT_SECONDS;
    return options;
}

void expect_memory_below(const tool_run& run, long bound_kib)
{
    if (CHECK_MEMORY) {
        EXPECT_LT(run.peak_rss_kib, bound_kib) << "peak resident memory in KiB";
    }
}

tool_run run_on(const scratch_dir& dir, const std::string& log_name, bool event_log)
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

void report_measurement(const std::string& what, const tool_run& run)
{
    std::cout << "[ measured ] " << what << ": " << run.seconds << " s, peak RSS "
              << run.peak_rss_kib << " KiB (" << run.peak_rss_kib / 1024 << " MiB)" << std::endl;
    testing::Test::RecordProperty(what + "_seconds", std::to_string(run.seconds));
    testing::Test::RecordProperty(what + "_peak_rss_kib", std::to_string(run.peak_rss_kib));
}

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

file_writer& file_writer::operator<<(const std::string& s)
{
    out_.write(s.data(), static_cast<std::streamsize>(s.size()));
    return *this;
}

file_writer& file_writer::fill(char c, std::size_t count)
{
    const std::string block(std::min(count, MIB), c);
    for (; count >= block.size() && count > 0; count -= block.size())
        *this << block;
    *this << block.substr(0, count);
    return *this;
}

void flag::set()
{
    {
        const std::lock_guard lock(mutex_);
        set_ = true;
    }
    changed_.notify_all();
}

bool flag::wait(std::chrono::milliseconds deadline)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, deadline, [this] { return set_; });
}
