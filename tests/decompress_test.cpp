// Telling compressed logs from text, and decoding what the formats' own
// command-line tools make, fed in chunks of every size, whole, in a row,
// cut short, damaged, or with bytes after the end.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "decompress.hpp"
#include "fixtures.hpp"

namespace {

const unsigned char* bytes_of(const std::string& text)
{
    return reinterpret_cast<const unsigned char*>(text.data());
}

compression format_of(const std::string& head)
{
    return compression_of(bytes_of(head), head.size());
}

// Runs command with input on its standard input; its standard output.
std::string run_command(const std::string& command, const std::string& input)
{
    std::string path =
        (std::filesystem::temp_directory_path() / "orvel_decompress_XXXXXX").string();
    const int fd = mkstemp(path.data());
    if (fd < 0) {
        ADD_FAILURE() << "no temporary file";
        return "";
    }
    close(fd);
    std::ofstream(path, std::ios::binary) << input;
    std::string output;
    FILE* const pipe = popen((command + " < '" + path + "'").c_str(), "r");
    if (pipe != nullptr) {
        std::vector<char> chunk(1 << 16);
        std::size_t n = 0;
        while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0)
            output.append(chunk.data(), n);
        EXPECT_EQ(pclose(pipe), 0) << command << " failed: is its package installed?";
    } else {
        ADD_FAILURE() << "cannot run " << command;
    }
    std::filesystem::remove(path);
    return output;
}

// Lines shaped like a log's: a key field, a counting data field and a
// random-looking signature, some 240 KB in all, so that the compressed text
// spans several blocks of every format and more than one 64 KiB output
// chunk.
std::string sample_text(int lines)
{
    const std::string& key = fixtures::key_field("secp256r1");
    std::string text;
    std::uint32_t state = 1;
    for (int n = 1; n <= lines; ++n) {
        text += key + ",2026-12-01T10:00:00Z/TX/4711/EUR/12.50/" + std::to_string(n) + ",";
        for (int i = 0; i < 72; ++i) {
            state = state * 1664525U + 1013904223U;
            text += "0123456789abcdef"[state >> 28];
        }
        text += '\n';
    }
    return text;
}

const std::string& text()
{
    static const std::string sample = sample_text(1000);
    return sample;
}

struct format_row {
    compression format;
    const char* command;  // compresses its standard input to its standard output
    std::size_t trailer;  // bytes of the integrity trailer that ends the data
};

const format_row FORMATS[] = {
    {compression::gzip, "gzip -c -n", 8},     // CRC-32 and length
    {compression::xz, "xz -c", 12},           // stream footer
    {compression::zstd, "zstd -q -c", 4},     // frame checksum
    {compression::bzip2, "bzip2 -c -1", 10},  // end-of-stream magic and CRC, 100 kB blocks
};

std::string compressed(const format_row& row, const std::string& input)
{
    return run_command(row.command, input);
}

const std::string& compressed_text(const format_row& row)
{
    static std::string made[std::size(FORMATS)];
    std::string& cached = made[&row - FORMATS];
    if (cached.empty())
        cached = compressed(row, text());
    return cached;
}

struct decoded {
    std::string text;
    bool failed = false;
    bool whole = false;  // finish() said so
    std::string error;
};

// Decodes data as a reader would: it reads in_chunk bytes whenever the
// decoder wants input, keeps what was left unconsumed in front of them,
// and drains with no input once the data has ended.
decoded decode_all(compression format, const std::string& data, std::size_t in_chunk,
                   std::size_t out_chunk)
{
    constexpr std::size_t OUTPUT_LIMIT = 64 << 20;
    decoder d(format);
    EXPECT_TRUE(d.ok());
    decoded result;
    std::vector<unsigned char> out(out_chunk);
    std::size_t read = std::min(in_chunk, data.size());
    std::size_t used = 0;
    for (;;) {
        const decode_step step =
            d.decode(bytes_of(data) + used, read - used, out.data(), out.size());
        EXPECT_LE(step.consumed, read - used);
        EXPECT_LE(step.produced, out.size());
        used += step.consumed;
        result.text.append(reinterpret_cast<const char*>(out.data()), step.produced);
        if (step.failed) {
            result.failed = true;
            result.error = d.error();
            EXPECT_FALSE(result.error.empty());
            EXPECT_FALSE(d.finish());
            return result;
        }
        if (result.text.size() > OUTPUT_LIMIT) {
            ADD_FAILURE() << "endless output";
            return result;
        }
        if (step.produced == out.size())
            continue;
        // Less output than room: all the input was taken.
        EXPECT_EQ(used, read);
        if (read == data.size())
            break;
        read = std::min(read + in_chunk, data.size());
    }
    result.whole = d.finish();
    result.error = d.error();
    EXPECT_EQ(result.whole, result.error.empty()) << result.error;
    return result;
}

bool is_prefix(const std::string& prefix, const std::string& of)
{
    return of.compare(0, prefix.size(), prefix) == 0;
}

// Whole data must decode to expected; damaged data must fail or be found
// cut short, with nothing but a true prefix of the text decoded.
void expect_decodes(const decoded& result, const std::string& expected)
{
    EXPECT_FALSE(result.failed) << result.error;
    EXPECT_TRUE(result.whole) << result.error;
    EXPECT_EQ(result.text.size(), expected.size());
    EXPECT_TRUE(result.text == expected);
}

void expect_refused(const decoded& result, const std::string& text_before_damage)
{
    EXPECT_TRUE(result.failed || !result.whole);
    EXPECT_TRUE(is_prefix(result.text, text_before_damage))
        << result.text.size() << " bytes decoded";
}

std::string bytes(std::initializer_list<unsigned char> list) { return {list.begin(), list.end()}; }

TEST(CompressionOf, RecognisesEachMagicWhole)
{
    const std::string block = bytes({0x31, 0x41, 0x59, 0x26, 0x53, 0x59});
    const std::string end = bytes({0x17, 0x72, 0x45, 0x38, 0x50, 0x90});
    const struct {
        std::string head;
        compression expected;
    } cases[] = {
        {bytes({0x1f, 0x8b, 0x08}), compression::gzip},
        {bytes({0x1f, 0x8b, 0x08, 0x00, 0x00}), compression::gzip},
        {bytes({0x1f, 0x8b, 0x07}), compression::none},  // not deflate
        {bytes({0x1f, 0x8b}), compression::none},
        {bytes({0xfd, 0x37, 0x7a, 0x58, 0x5a, 0x00}), compression::xz},
        {bytes({0xfd, 0x37, 0x7a, 0x58, 0x5a}), compression::none},
        {bytes({0xfd, 0x37, 0x7a, 0x58, 0x5a, 0x01}), compression::none},
        {bytes({0x28, 0xb5, 0x2f, 0xfd}), compression::zstd},
        {bytes({0x28, 0xb5, 0x2f}), compression::none},
        {bytes({0x50, 0x2a, 0x4d, 0x18}), compression::zstd},  // skippable frames first
        {bytes({0x5f, 0x2a, 0x4d, 0x18}), compression::zstd},
        {bytes({0x60, 0x2a, 0x4d, 0x18}), compression::none},
        {bytes({0x4f, 0x2a, 0x4d, 0x18}), compression::none},
        {"BZh9" + block, compression::bzip2},
        {"BZh1" + block, compression::bzip2},
        {"BZh1" + end, compression::bzip2},  // an empty stream
        {"BZh0" + block, compression::none},
        {"BZh:" + block, compression::none},
        {"BZh9" + block.substr(0, 5), compression::none},
        {"BZh9" + block.substr(0, 5) + "X", compression::none},
        {"BZh9", compression::none},
        {"", compression::none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.head));
        EXPECT_EQ(format_of(c.head), c.expected);
    }
    EXPECT_GE(COMPRESSION_MAGIC_BYTES, ("BZh9" + block).size());
}

TEST(CompressionOf, TextIsNeverCompressed)
{
    std::vector<std::string> lines;
    for (const auto& entry : std::filesystem::directory_iterator(EXAMPLES_DIR)) {
        if (entry.path().extension() != ".log")
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::string line;
        std::getline(in, line);
        lines.push_back(line);
    }
    ASSERT_GE(lines.size(), 2U);
    const std::string key = fixtures::key_field("rsa2048");
    for (const std::string& line : {key, " " + key, "\t" + key, ",," + key, std::string(",,,,"),
                                    std::string("BZh91AY+SY0123"), std::string("(text)")})
        lines.push_back(line + ",data,00");
    for (const std::string& line : lines) {
        SCOPED_TRACE(line.substr(0, 20));
        for (std::size_t size = 0; size <= std::min(line.size(), COMPRESSION_MAGIC_BYTES); ++size)
            EXPECT_EQ(compression_of(bytes_of(line), size), compression::none);
    }
}

TEST(CompressionOf, NamesEveryFormat)
{
    EXPECT_STREQ(compression_name(compression::none), "none");
    EXPECT_STREQ(compression_name(compression::gzip), "gzip");
    EXPECT_STREQ(compression_name(compression::xz), "xz");
    EXPECT_STREQ(compression_name(compression::zstd), "zstd");
    EXPECT_STREQ(compression_name(compression::bzip2), "bzip2");
}

TEST(Decoder, EveryChunkingGivesTheText)
{
    for (const format_row& row : FORMATS) {
        SCOPED_TRACE(row.command);
        const std::string& data = compressed_text(row);
        ASSERT_GT(data.size(), 1000U);
        EXPECT_EQ(compression_of(bytes_of(data), std::min(data.size(), COMPRESSION_MAGIC_BYTES)),
                  row.format);
        for (const std::size_t in_chunk : {1, 7, 1 << 16}) {
            for (const std::size_t out_chunk : {1, 1 << 16}) {
                SCOPED_TRACE(std::to_string(in_chunk) + " in, " + std::to_string(out_chunk) +
                             " out");
                expect_decodes(decode_all(row.format, data, in_chunk, out_chunk), text());
            }
        }
    }
}

TEST(Decoder, PlainInputIsCopied)
{
    expect_decodes(decode_all(compression::none, text(), 7, 1), text());
    expect_decodes(decode_all(compression::none, text(), 1 << 16, 1000), text());
}

TEST(Decoder, MembersInARowGiveTheirTextsInARow)
{
    const std::string first = text().substr(0, 5000);
    const std::string second = text().substr(5000, 70000);
    for (const format_row& row : FORMATS) {
        SCOPED_TRACE(row.command);
        // Empty members too: an empty bzip2 stream has no block.
        const std::string data = compressed(row, first) + compressed(row, "") +
                                 compressed(row, second) + compressed(row, "");
        for (const std::size_t in_chunk : {1, 1 << 16})
            expect_decodes(decode_all(row.format, data, in_chunk, 1000), first + second);
        expect_decodes(decode_all(row.format, compressed(row, ""), 1, 1), "");
    }
}

TEST(Decoder, DataCutShortIsNeverWhole)
{
    for (const format_row& row : FORMATS) {
        SCOPED_TRACE(row.command);
        const std::string& data = compressed_text(row);
        // In the magic, in the header, in the data, in and before the trailer.
        for (const std::size_t size :
             {std::size_t{1}, std::size_t{3}, std::size_t{11}, data.size() / 2,
              data.size() - row.trailer - 1, data.size() - row.trailer, data.size() - 1}) {
            SCOPED_TRACE("cut to " + std::to_string(size));
            const std::string cut = data.substr(0, size);
            expect_refused(decode_all(row.format, cut, 7, 1 << 16), text());
            expect_refused(decode_all(row.format, cut, 1 << 16, 1), text());
        }
        // A cut in the second member.
        expect_refused(decode_all(row.format, data + data.substr(0, data.size() / 2), 7, 1 << 16),
                       text() + text());
    }
}

TEST(Decoder, DamagedDataFails)
{
    // Every format checks its decoded text, so a changed byte in the data
    // or in the trailer is found. Not tested, as no format can tell: the
    // time stamp and system bytes of a gzip header, the block size digit
    // of bzip2, and data that carries no check (zstd --no-check, xz
    // --check=none).
    for (const format_row& row : FORMATS) {
        SCOPED_TRACE(row.command);
        const std::string& data = compressed_text(row);
        for (const std::size_t at :
             {data.size() / 3, data.size() / 2, data.size() - row.trailer - 1, data.size() - 2}) {
            SCOPED_TRACE("byte " + std::to_string(at) + " of " + std::to_string(data.size()));
            std::string damaged = data;
            damaged[at] = static_cast<char>(damaged[at] ^ 0xff);
            const decoded result = decode_all(row.format, damaged, 1 << 16, 1 << 16);
            EXPECT_TRUE(result.failed || !result.whole);
        }
    }
}

TEST(Decoder, BytesAfterTheEndFail)
{
    const std::string first_line = text().substr(0, text().find('\n') + 1);
    for (const format_row& row : FORMATS) {
        SCOPED_TRACE(row.command);
        const std::string data = compressed(row, first_line);
        for (const std::string& after : {std::string(1, '\0'), std::string(3, '\0'),
                                         std::string("\n"), first_line, data.substr(0, 1)}) {
            SCOPED_TRACE(::testing::PrintToString(after.substr(0, 8)));
            for (const std::size_t in_chunk : {1, 1 << 16}) {
                const decoded result = decode_all(row.format, data + after, in_chunk, 1 << 16);
                EXPECT_TRUE(result.failed || !result.whole);
                EXPECT_TRUE(is_prefix(result.text, first_line));
            }
        }
    }
}

TEST(Decoder, BytesAfterTheLastMemberFailOnceItsTextIsOut)
{
    // The member's text is whole and checked; what follows is named as
    // what it is, in each format's words, after that text.
    const std::string first_line = text().substr(0, text().find('\n') + 1);
    const char* const trailing[] = {
        "bytes after the last member are not a member",
        "bytes after the last stream are neither a stream nor stream padding",
        "bytes after the last frame are not a frame",
        "bytes after the last stream are not a stream",
    };
    for (const format_row& row : FORMATS) {
        SCOPED_TRACE(row.command);
        const std::string data = compressed(row, first_line);
        const std::string expected = trailing[&row - FORMATS];
        for (const std::string& after :
             {std::string(4, '\0'), std::string("garbage after the log\n"), first_line,
              compressed(row, "") + "\x01\x02\x03\x04 and more than twelve bytes"}) {
            SCOPED_TRACE(::testing::PrintToString(after.substr(0, 8)));
            for (const std::size_t in_chunk : {1, 1 << 16}) {
                for (const std::size_t out_chunk : {1, 1 << 16}) {
                    const decoded result =
                        decode_all(row.format, data + after, in_chunk, out_chunk);
                    EXPECT_EQ(result.text, first_line);
                    if (row.format == compression::xz && after == std::string(4, '\0')) {
                        EXPECT_TRUE(result.whole) << "stream padding";
                        continue;
                    }
                    EXPECT_TRUE(result.failed);
                    EXPECT_EQ(result.error, expected);
                }
            }
        }
    }
    // Stream padding that is not a whole number of fours, before another
    // stream or at the end.
    const std::string stream = compressed(FORMATS[1], first_line);
    for (const std::string& after :
         {std::string(1, '\0'), std::string(5, '\0'), std::string(6, '\0') + stream}) {
        const decoded result = decode_all(compression::xz, stream + after, 1 << 16, 1 << 16);
        EXPECT_EQ(result.text, first_line);
        EXPECT_EQ(result.error, trailing[1]);
    }
    // The start of a frame of zstd's old format, cut short: its library
    // would take it for a whole frame when it came in one piece.
    const std::string frame = compressed(FORMATS[2], first_line);
    const std::string old_frame = bytes({0x26, 0xb5, 0x2f, 0xfd, 0x59, 0x54, 0xff, 0xff, 0xff});
    for (const std::size_t in_chunk : {1, 3, 1 << 16}) {
        const decoded result = decode_all(compression::zstd, frame + old_frame, in_chunk, 1 << 16);
        EXPECT_EQ(result.text, first_line);
        EXPECT_EQ(result.error, trailing[2]);
    }
}

TEST(Decoder, XzStreamPaddingComesInFours)
{
    const std::string first = text().substr(0, 3000);
    const format_row& xz = FORMATS[1];
    const std::string stream = compressed(xz, first);
    const std::string four(4, '\0');
    for (const std::size_t in_chunk : {1, 1 << 16}) {
        expect_decodes(decode_all(compression::xz, stream + four, in_chunk, 100), first);
        expect_decodes(decode_all(compression::xz, stream + four + four, in_chunk, 100), first);
        expect_decodes(decode_all(compression::xz, stream + four + stream, in_chunk, 100),
                       first + first);
        expect_refused(decode_all(compression::xz, stream + std::string(5, '\0'), in_chunk, 100),
                       first);
        expect_refused(decode_all(compression::xz, stream + four + "\1\0\0\0", in_chunk, 100),
                       first);
    }
}

TEST(Decoder, ZstdSkippableFramesAreSkipped)
{
    const std::string first = text().substr(0, 3000);
    const std::string frame = compressed(FORMATS[2], first);
    const std::string skippable = bytes({0x53, 0x2a, 0x4d, 0x18, 5, 0, 0, 0}) + "12345";
    const std::string empty_skippable = bytes({0x5f, 0x2a, 0x4d, 0x18, 0, 0, 0, 0});
    const std::string data = skippable + frame + empty_skippable + frame + skippable;
    EXPECT_EQ(format_of(data.substr(0, COMPRESSION_MAGIC_BYTES)), compression::zstd);
    for (const std::size_t in_chunk : {1, 1 << 16})
        expect_decodes(decode_all(compression::zstd, data, in_chunk, 100), first + first);
    // A skippable frame that claims more bytes than follow is cut short.
    expect_refused(decode_all(compression::zstd, frame + skippable.substr(0, 10), 1, 100), first);
}

TEST(Decoder, ZstdWindowsAboveTheLimitAreRefused)
{
    const std::string first = text().substr(0, 3000);
    // From a pipe the compressor cannot shrink the window to the input.
    expect_decodes(decode_all(compression::zstd, run_command("zstd -q -c --long=27", first),
                              1 << 16, 1 << 16),
                   first);
    const decoded refused =
        decode_all(compression::zstd, run_command("zstd -q -c --long=28", first), 1 << 16, 1 << 16);
    EXPECT_TRUE(refused.failed);
    EXPECT_EQ(refused.text, "");
    EXPECT_NE(refused.error.find("memory"), std::string::npos) << refused.error;
}

// The stream with the dictionary size in its first block header set to
// 2^dict_log bytes, and the header's CRC-32 made right again. The text
// decodes with any dictionary at least as large as the one it was made
// with.
std::string with_xz_dictionary(std::string stream, int dict_log)
{
    constexpr std::size_t BLOCK_HEADER = 12;  // after the stream header
    const std::size_t header_size = (static_cast<unsigned char>(stream[BLOCK_HEADER]) + 1) * 4;
    // Single-threaded xz writes no sizes into the header: its one filter,
    // LZMA2 (0x21), and the filter's one property byte come right after
    // the flags.
    EXPECT_EQ(stream[BLOCK_HEADER + 1], '\0');
    EXPECT_EQ(stream.substr(BLOCK_HEADER + 2, 2), "\x21\x01");
    stream[BLOCK_HEADER + 4] = static_cast<char>((dict_log - 12) * 2);
    const auto crc = crc32(0, bytes_of(stream) + BLOCK_HEADER, header_size - 4);
    for (std::size_t i = 0; i < 4; ++i)
        stream[BLOCK_HEADER + header_size - 4 + i] = static_cast<char>((crc >> (8 * i)) & 0xff);
    return stream;
}

TEST(Decoder, XzStreamsNeedingMoreThan128MiBAreRefused)
{
    const std::string first = text().substr(0, 3000);
    const std::string stream = compressed(FORMATS[1], first);
    expect_decodes(decode_all(compression::xz, with_xz_dictionary(stream, 26), 1 << 16, 1 << 16),
                   first);
    const decoded refused =
        decode_all(compression::xz, with_xz_dictionary(stream, 28), 1 << 16, 1 << 16);
    EXPECT_TRUE(refused.failed);
    EXPECT_EQ(refused.text, "");
    EXPECT_NE(refused.error.find("128 MiB"), std::string::npos) << refused.error;
}

TEST(Decoder, NothingIsDecodedAfterAFailureOrTheEnd)
{
    const std::string& data = compressed_text(FORMATS[0]);
    std::vector<unsigned char> out(1 << 16);
    decoder d(compression::gzip);
    const decode_step step = d.decode(bytes_of("garbage"), 7, out.data(), out.size());
    EXPECT_TRUE(step.failed);
    EXPECT_STRNE(d.error(), "");
    EXPECT_TRUE(d.decode(bytes_of(data), data.size(), out.data(), out.size()).failed);
    EXPECT_FALSE(d.finish());

    decoder ended(compression::gzip);
    EXPECT_EQ(ended.decode(bytes_of(data), 0, out.data(), out.size()).produced, 0U);
    EXPECT_FALSE(ended.finish());  // no member at all
    EXPECT_TRUE(ended.decode(bytes_of(data), data.size(), out.data(), out.size()).failed);
}

}  // namespace
