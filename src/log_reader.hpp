// Reads a log piece by piece: a physical line at a time, or a part of a
// line too long for the line buffer. A log compressed with gzip, xz, zstd
// or bzip2 (told by its first bytes) is decoded as it is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "decompress.hpp"

class log_digest;

// One physical line at most this long (including its NUL) is read at once;
// a longer one arrives in several pieces, each handled as a line.
inline constexpr std::size_t LINE_BUFFER_SIZE = 104857600;

struct reader_settings {
    // The longest piece, with its NUL.
    std::size_t line_buffer_size = LINE_BUFFER_SIZE;
    // Spare bytes after each piece's NUL, for the caller's own use.
    std::size_t slack = 0;
    // How often the wait hook is called while input is slow to come.
    unsigned poll_interval_ms = 100;
};

// One piece of a log: a whole physical line with its line end, or, for a
// line longer than line_buffer_size - 1 bytes, a part of it.
struct log_piece {
    // NUL-terminated; a NUL byte inside the line hides what follows it from
    // the line rules. Writable, with the settings' slack of spare bytes
    // after the terminating NUL.
    char* text = nullptr;
    std::size_t size = 0;  // bytes read, NUL bytes included
    // The physical line it belongs to (1-based, blank lines counted).
    uint64_t line = 0;
    // True for the first piece of a physical line.
    bool starts_line = false;
};

class log_reader {
public:
    // Called while the reader waits for input that has not arrived yet,
    // about every poll_interval_ms, when a signal interrupts the wait, and
    // every few blocks of a pass; the reader stops once it returns true.
    using wait_hook = std::function<bool()>;

    log_reader(const reader_settings& settings, wait_hook while_waiting);
    ~log_reader();
    log_reader(const log_reader&) = delete;
    log_reader& operator=(const log_reader&) = delete;

    // Starts reading the log open on fd (which the caller keeps), from line
    // 1. A log's last line ends at its end, with or without a line end.
    void start(int fd);

    // Following a file as it grows: at its end, the hook is asked (with the
    // bytes read of it so far, and the last of them where the reader still
    // holds them: a plain log's last block) whether more may be read (it
    // waits for them first), whether the file is finished (rotated: a last
    // line without its end is read as it stands) or the run stops (such a
    // line is left, as its writer may be in the middle of it).
    enum class follow_step { more, finished, stopped };
    using follow_hook = std::function<follow_step(uint64_t bytes_read, std::string_view last_read)>;
    void follow(follow_hook at_end);

    // From now on, every piece read is added to digest, with its line;
    // with hold_unfinished_line, a last line without its line end is not
    // read at all (its writer may be in the middle of it).
    void keep_digest(log_digest* digest, bool hold_unfinished_line);

    enum class status { piece, end, failed, out_of_memory, interrupted };
    // Reads the next piece into the line buffer.
    status next(log_piece& piece);

    // Reads past the next bytes of the log without handing them out as
    // pieces, adding them to digest when one is given (the digest kept for
    // the pieces is left alone). Ends early, with end, at the log's end;
    // bytes_passed() then tells how far it came.
    status pass(uint64_t bytes, log_digest* digest);
    // Bytes of the log read so far (handed out or passed).
    uint64_t bytes_passed() const { return position_; }
    // After a pass: the line the bytes passed ended in, and whether they
    // ended it.
    void resume_at(uint64_t line, bool at_line_start);

    // Why reading failed: the system's words, or the decoder's after the
    // format's name.
    const std::string& error() const { return error_; }
    // Bytes of the log taken so far, as stored (compressed bytes of a
    // compressed log, as the decoder took them), for showing progress.
    uint64_t bytes_consumed() const
    {
        const std::size_t pending =
            !detected_ || decoder_ ? raw_end_ - raw_begin_ : block_end_ - block_begin_;
        return bytes_read_ - pending;
    }
    // Bytes of text handed over in pieces so far (a line held back for its
    // end not included).
    uint64_t position() const { return position_; }
    // The physical line the next piece belongs to.
    uint64_t line_being_read() const { return at_line_start_ ? line_number_ + 1 : line_number_; }
    // The physical line of the last piece read, and whether that piece ended
    // its line.
    uint64_t last_line() const { return line_number_; }
    bool at_line_start() const { return at_line_start_; }

    // The line buffer, for moving a piece's fields within it.
    char* buffer() { return line_; }
    const char* buffer_end() const { return line_ + capacity_; }

private:
    enum class fill { block, end, failed, out_of_memory, interrupted };
    // Refills the block buffer with the log's text.
    fill fill_block();
    fill read_raw(std::size_t& got);
    fill detect_compression();
    fill decode_block();
    fill read_plain_block();
    bool reserve(std::size_t size);
    bool take_from_block(std::size_t& size, bool& piece_done);
    static status status_of(fill filled);
    bool wait_until_readable();
    bool should_stop();
    fill fail(int error_number);
    fill decoding_failed();

    const reader_settings settings_;
    wait_hook while_waiting_;
    int fd_ = -1;
    bool waits_ = false;  // the log is not a regular file: input may be slow
    bool detected_ = false;
    bool input_ended_ = false;
    bool interrupted_ = false;
    // Once the log has ended or failed, it stays so.
    fill final_ = fill::block;
    std::string error_;

    // Bytes as read: the text itself, or compressed bytes for the decoder.
    std::unique_ptr<unsigned char[]> raw_;
    std::size_t raw_begin_ = 0;
    std::size_t raw_end_ = 0;
    compression format_ = compression::none;
    std::unique_ptr<decoder> decoder_;
    bool decoder_pending_ = false;  // the last decode filled its output

    // The text, a block at a time.
    std::unique_ptr<unsigned char[]> block_;
    std::size_t block_begin_ = 0;
    std::size_t block_end_ = 0;

    uint64_t bytes_read_ = 0;

    char* line_ = nullptr;
    std::size_t capacity_ = 0;
    uint64_t line_number_ = 0;
    bool at_line_start_ = true;
    uint64_t position_ = 0;
    log_digest* digest_ = nullptr;
    bool hold_unfinished_line_ = false;
    follow_hook at_end_;
};
