// Reading a log piece by piece: physical lines and their numbers, lines
// longer than the line buffer, compressed logs, and reads that fail.
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "log_digest.hpp"
#include "log_reader.hpp"
#include "test_support.hpp"

namespace {

struct piece_read {
    std::string text;
    uint64_t line;
    bool starts_line;
    bool operator==(const piece_read&) const = default;
};

std::ostream& operator<<(std::ostream& out, const piece_read& piece)
{
    return out << ::testing::PrintToString(piece.text) << "@" << piece.line
               << (piece.starts_line ? "" : "+");
}

// Every piece of the file at path, read with a line buffer of
// line_buffer_size bytes and a slack that is filled on every piece.
std::vector<piece_read> pieces_of(const std::string& path, std::size_t line_buffer_size,
                                  log_reader::status* ended = nullptr)
{
    reader_settings settings;
    settings.line_buffer_size = line_buffer_size;
    settings.slack = 40;
    log_reader reader(settings, [] { return false; });
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    reader.start(fd);
    std::vector<piece_read> pieces;
    log_piece piece;
    log_reader::status status;
    while ((status = reader.next(piece)) == log_reader::status::piece) {
        EXPECT_EQ(std::strlen(piece.text), piece.size);
        // The slack is the caller's: writing it all must be safe.
        std::memset(piece.text + piece.size + 1, '#', settings.slack);
        pieces.push_back({piece.text, piece.line, piece.starts_line});
    }
    if (ended != nullptr)
        *ended = status;
    close(fd);
    return pieces;
}

std::string gzipped(const std::string& text)
{
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&stream, text.size()) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

TEST(LogReader, PiecesAreLinesWithTheirNumbers)
{
    const scratch_dir dir;
    const std::string text = "ab\r\ncd\n\nlast";
    dir.write("log.txt", text);
    dir.write("log.gz", gzipped(text));
    const std::vector<piece_read> expected = {
        {"ab\r\n", 1, true}, {"cd\n", 2, true}, {"\n", 3, true}, {"last", 4, true}};
    log_reader::status ended = log_reader::status::piece;
    EXPECT_EQ(pieces_of(dir.file("log.txt"), 1024, &ended), expected);
    EXPECT_EQ(ended, log_reader::status::end);
    EXPECT_EQ(pieces_of(dir.file("log.gz"), 1024), expected);
    dir.write("empty.txt", "");
    EXPECT_TRUE(pieces_of(dir.file("empty.txt"), 1024, &ended).empty());
    EXPECT_EQ(ended, log_reader::status::end);
}

TEST(LogReader, ALineLongerThanTheBufferComesInPieces)
{
    const scratch_dir dir;
    // A buffer of 5 bytes holds pieces of 4 and the NUL.
    const std::string text = "abcdefghij\nxyzw\nxyz\n";
    dir.write("log.txt", text);
    dir.write("log.gz", gzipped(text));
    const std::vector<piece_read> expected = {{"abcd", 1, true},  {"efgh", 1, false},
                                              {"ij\n", 1, false}, {"xyzw", 2, true},
                                              {"\n", 2, false},   {"xyz\n", 3, true}};
    EXPECT_EQ(pieces_of(dir.file("log.txt"), 5), expected);
    EXPECT_EQ(pieces_of(dir.file("log.gz"), 5), expected);
}

TEST(LogReader, ADigestSeesEveryPieceAndAnUnfinishedLastLineWaits)
{
    const scratch_dir dir;
    dir.write("log.txt", "abcdefg\nxy\nunfinished");
    for (const bool hold : {false, true}) {
        SCOPED_TRACE(hold);
        reader_settings settings;
        settings.line_buffer_size = 64;
        log_reader reader(settings, [] { return false; });
        const int fd = open(dir.file("log.txt").c_str(), O_RDONLY | O_CLOEXEC);
        reader.start(fd);
        log_digest digest;
        reader.keep_digest(&digest, hold);
        std::string read;
        log_piece piece;
        while (reader.next(piece) == log_reader::status::piece)
            read += piece.text;
        close(fd);
        EXPECT_EQ(read, hold ? "abcdefg\nxy\n" : "abcdefg\nxy\nunfinished");
        EXPECT_EQ(digest.size(), read.size());
        EXPECT_EQ(reader.last_line(), hold ? 2U : 3U);
        EXPECT_EQ(reader.at_line_start(), hold);
    }
    // Passing over verified bytes, then reading on from their line.
    reader_settings settings;
    log_reader reader(settings, [] { return false; });
    const int fd = open(dir.file("log.txt").c_str(), O_RDONLY | O_CLOEXEC);
    reader.start(fd);
    ASSERT_EQ(reader.pass(8, nullptr), log_reader::status::piece);
    reader.resume_at(1, true);
    log_piece piece;
    ASSERT_EQ(reader.next(piece), log_reader::status::piece);
    EXPECT_STREQ(piece.text, "xy\n");
    EXPECT_EQ(piece.line, 2U);
    EXPECT_EQ(reader.pass(100, nullptr), log_reader::status::piece);
    EXPECT_EQ(reader.next(piece), log_reader::status::end);
    close(fd);

    // Past the first block, plain text is passed over by seeking, and a
    // compressed log by decoding: both read on at the same line.
    std::string long_log;
    for (int n = 1; n <= 40000; ++n)
        long_log += "line " + std::to_string(n) + "\n";
    const std::size_t passed = long_log.find("line 30001\n");
    dir.write("long.txt", long_log);
    dir.write("long.gz", gzipped(long_log));
    for (const char* name : {"long.txt", "long.gz"}) {
        SCOPED_TRACE(name);
        log_reader long_reader(settings, [] { return false; });
        const int long_fd = open(dir.file(name).c_str(), O_RDONLY | O_CLOEXEC);
        long_reader.start(long_fd);
        ASSERT_EQ(long_reader.pass(passed, nullptr), log_reader::status::piece);
        long_reader.resume_at(30000, true);
        ASSERT_EQ(long_reader.next(piece), log_reader::status::piece);
        EXPECT_STREQ(piece.text, "line 30001\n");
        EXPECT_EQ(piece.line, 30001U);
        close(long_fd);
    }
    // A long pass asks the hook between blocks, so that a signal stops a
    // hash of a large log at once, not at its end.
    dir.write("large.txt", std::string(std::size_t{8} << 20, 'x'));
    int asked = 0;
    log_reader stopped(settings, [&asked] { return ++asked == 2; });
    const int large_fd = open(dir.file("large.txt").c_str(), O_RDONLY | O_CLOEXEC);
    stopped.start(large_fd);
    log_digest large;
    EXPECT_EQ(stopped.pass(std::size_t{8} << 20, &large), log_reader::status::interrupted);
    EXPECT_EQ(asked, 2);
    EXPECT_LT(large.size(), std::size_t{8} << 20);
    close(large_fd);
}

TEST(LogReader, ReadsThatFailSayWhy)
{
    const scratch_dir dir;
    log_reader::status ended = log_reader::status::piece;
    EXPECT_TRUE(pieces_of(dir.path(), 1024, &ended).empty());
    EXPECT_EQ(ended, log_reader::status::failed);

    // The lines decoded before a corrupt stream are read first.
    std::string cut = gzipped(key_error_lines(2000));
    cut.resize(cut.size() - 12);
    dir.write("cut.gz", cut);
    const std::vector<piece_read> pieces = pieces_of(dir.file("cut.gz"), 1024, &ended);
    EXPECT_EQ(ended, log_reader::status::failed);
    ASSERT_FALSE(pieces.empty());
    EXPECT_EQ(pieces.front().text, key_error_line(1));

    reader_settings settings;
    log_reader reader(settings, [] { return false; });
    const int fd = open(dir.file("cut.gz").c_str(), O_RDONLY | O_CLOEXEC);
    reader.start(fd);
    log_piece piece;
    while (reader.next(piece) == log_reader::status::piece) {
    }
    EXPECT_EQ(reader.error().rfind("gzip: ", 0), 0U) << reader.error();
    close(fd);
}

}  // namespace
