// Hostile and huge lines through the built tool: whatever a line holds, the
// tool must not crash, hang, corrupt out.log or grow without bound. The big
// runs also report their wall time and peak resident memory.
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
    report_measurement("line_of_110_MiB", run);
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
    report_measurement("line_of_the_buffer_length", run);
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
    report_measurement("line_of_110_MiB_of_key_letters", run);
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
    report_measurement("key_field_of_10_MB", run);
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
    report_measurement("verified_key_field_of_10_MB", run);
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
    report_measurement("signature_field_of_10_MB", run);
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
    report_measurement("nul_bytes_only", run);
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
    report_measurement("million_key_error_lines", run);
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
    report_measurement("distinct_key_fields", run);
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

}  // namespace
