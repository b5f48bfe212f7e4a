#include "log_reader.hpp"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "log_digest.hpp"

namespace {

constexpr std::size_t BLOCK_SIZE = std::size_t{1} << 18;
// The line buffer starts small and grows with the longest line, up to the
// largest piece and the slack after it.
constexpr std::size_t FIRST_LINE_CAPACITY = std::size_t{1} << 16;
// How often a pass asks the wait hook: every 2 MiB, some 10 ms of hashing.
constexpr unsigned BLOCKS_BETWEEN_HOOKS = 8;

}  // namespace

log_reader::log_reader(const reader_settings& settings, wait_hook while_waiting)
    : settings_(settings), while_waiting_(std::move(while_waiting))
{
}

log_reader::~log_reader() { std::free(line_); }

void log_reader::start(int fd)
{
    fd_ = fd;
    struct stat file {};
    waits_ = fstat(fd, &file) != 0 || !S_ISREG(file.st_mode);
    detected_ = false;
    input_ended_ = false;
    interrupted_ = false;
    final_ = fill::block;
    error_.clear();
    raw_begin_ = raw_end_ = 0;
    format_ = compression::none;
    decoder_.reset();
    decoder_pending_ = false;
    block_begin_ = block_end_ = 0;
    line_number_ = 0;
    at_line_start_ = true;
    position_ = 0;
    bytes_read_ = 0;
    digest_ = nullptr;
    hold_unfinished_line_ = false;
    at_end_ = nullptr;
}

void log_reader::follow(follow_hook at_end) { at_end_ = std::move(at_end); }

void log_reader::keep_digest(log_digest* digest, bool hold_unfinished_line)
{
    digest_ = digest;
    hold_unfinished_line_ = hold_unfinished_line;
}

void log_reader::resume_at(uint64_t line, bool at_line_start)
{
    line_number_ = line;
    at_line_start_ = at_line_start;
}

bool log_reader::reserve(std::size_t size)
{
    if (size <= capacity_)
        return true;
    std::size_t capacity = std::max(capacity_ * 2, FIRST_LINE_CAPACITY);
    while (capacity < size)
        capacity *= 2;
    capacity = std::min(capacity, settings_.line_buffer_size + settings_.slack);
    // The buffer is not zeroed: only what a line fills is ever touched.
    void* const grown = std::realloc(line_, capacity);
    if (grown == nullptr)
        return false;
    line_ = static_cast<char*>(grown);
    capacity_ = capacity;
    return true;
}

bool log_reader::should_stop()
{
    if (while_waiting_ && while_waiting_())
        interrupted_ = true;
    return interrupted_;
}

bool log_reader::wait_until_readable()
{
    for (;;) {
        pollfd input{fd_, POLLIN, 0};
        const int ready = poll(&input, 1, static_cast<int>(settings_.poll_interval_ms));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR) {
            // Let the read itself tell what is wrong.
            return true;
        }
        if (should_stop())
            return false;
    }
}

log_reader::fill log_reader::fail(int error_number)
{
    error_ = std::strerror(error_number);
    return error_number == ENOMEM ? fill::out_of_memory : fill::failed;
}

// A compressed stream that is corrupt or cut short, in the decoder's words.
log_reader::fill log_reader::decoding_failed()
{
    error_ = std::string(compression_name(format_)) + ": " + decoder_->error();
    return fill::failed;
}

// Reads what the log has next into the raw buffer, after what it holds.
log_reader::fill log_reader::read_raw(std::size_t& got)
{
    got = 0;
    for (;;) {
        if (waits_ && !wait_until_readable())
            return fill::interrupted;
        const ssize_t n = read(fd_, raw_.get() + raw_end_, BLOCK_SIZE - raw_end_);
        // A followed file's end may be its present end only.
        if (n == 0 && at_end_) {
            // A plain log's last block is still in the buffer read into.
            std::string_view last_read;
            if (detected_ && !decoder_ && raw_end_ == 0)
                last_read = {reinterpret_cast<const char*>(raw_.get()), block_end_};
            const follow_step step = at_end_(bytes_read_, last_read);
            if (step == follow_step::more)
                continue;
            if (step == follow_step::finished)
                hold_unfinished_line_ = false;
        }
        if (n >= 0) {
            got = static_cast<std::size_t>(n);
            raw_end_ += got;
            bytes_read_ += got;
            return fill::block;
        }
        if (errno == EINTR && should_stop())
            return fill::interrupted;
        if (errno != EINTR && errno != EAGAIN)
            return fail(errno);
    }
}

// Reads the log's first bytes and tells whether it is compressed. A plain
// log's bytes become its first block.
log_reader::fill log_reader::detect_compression()
{
    if (!raw_ || !block_) {
        raw_.reset(new (std::nothrow) unsigned char[BLOCK_SIZE]);
        block_.reset(new (std::nothrow) unsigned char[BLOCK_SIZE]);
        if (!raw_ || !block_)
            return fail(ENOMEM);
    }
    while (raw_end_ < COMPRESSION_MAGIC_BYTES) {
        std::size_t got = 0;
        const fill read = read_raw(got);
        if (read != fill::block)
            return read;
        if (got == 0) {
            input_ended_ = true;
            break;
        }
    }
    detected_ = true;
    format_ = compression_of(raw_.get(), raw_end_);
    if (format_ == compression::none) {
        std::swap(raw_, block_);
        block_begin_ = 0;
        block_end_ = raw_end_;
        raw_begin_ = raw_end_ = 0;
        return block_end_ > 0 ? fill::block : fill::end;
    }
    decoder_ = std::make_unique<decoder>(format_);
    if (!decoder_->ok())
        return fail(ENOMEM);
    return decode_block();
}

// Decodes the next block of text, reading compressed bytes as needed.
log_reader::fill log_reader::decode_block()
{
    for (;;) {
        if (raw_begin_ < raw_end_ || decoder_pending_ || input_ended_) {
            const decode_step step =
                decoder_->decode(raw_.get() + raw_begin_, raw_end_ - raw_begin_, block_.get(),
                                 BLOCK_SIZE);
            raw_begin_ += step.consumed;
            if (step.failed && step.produced == 0)
                return decoding_failed();
            // Text decoded before a failure (a whole member followed by
            // bytes that are none) is handed over first; the decoder
            // repeats the failure on the next call, made without reading.
            decoder_pending_ = step.failed || step.produced == BLOCK_SIZE;
            if (step.produced > 0) {
                block_begin_ = 0;
                block_end_ = step.produced;
                return fill::block;
            }
            if (input_ended_) {
                if (decoder_->finish())
                    return fill::end;
                return decoding_failed();
            }
        }
        raw_begin_ = raw_end_ = 0;
        std::size_t got = 0;
        const fill read = read_raw(got);
        if (read != fill::block)
            return read;
        input_ended_ = got == 0;
    }
}

log_reader::fill log_reader::fill_block()
{
    if (final_ != fill::block)
        return final_;
    fill filled = fill::block;
    if (!detected_) {
        filled = detect_compression();
    } else if (decoder_) {
        filled = decode_block();
    } else {
        filled = read_plain_block();
    }
    // An interrupted read can go on; an end or a failure is final.
    if (filled != fill::block && filled != fill::interrupted)
        final_ = filled;
    return filled;
}

log_reader::fill log_reader::read_plain_block()
{
    if (input_ended_)
        return fill::end;
    std::swap(raw_, block_);
    raw_begin_ = raw_end_ = 0;
    std::size_t got = 0;
    const fill read = read_raw(got);
    std::swap(raw_, block_);
    block_begin_ = 0;
    block_end_ = got;
    if (read != fill::block)
        return read;
    if (got == 0) {
        input_ended_ = true;
        return fill::end;
    }
    return fill::block;
}

// Moves the block's bytes up to the next line end (or as many as the line
// buffer takes) to the piece of size bytes so far; false when the line
// buffer cannot grow.
bool log_reader::take_from_block(std::size_t& size, bool& piece_done)
{
    const unsigned char* const available = block_.get() + block_begin_;
    const std::size_t longest = settings_.line_buffer_size - 1;
    std::size_t take = std::min(block_end_ - block_begin_, longest - size);
    const auto* const newline =
        static_cast<const unsigned char*>(std::memchr(available, '\n', take));
    if (newline != nullptr)
        take = static_cast<std::size_t>(newline - available) + 1;
    if (!reserve(size + take + 1 + settings_.slack))
        return false;
    std::memcpy(line_ + size, available, take);
    size += take;
    block_begin_ += take;
    piece_done = newline != nullptr || size == longest;
    return true;
}

log_reader::status log_reader::status_of(fill filled)
{
    switch (filled) {
        case fill::block:
            break;
        case fill::end:
            return status::end;
        case fill::failed:
            return status::failed;
        case fill::out_of_memory:
            return status::out_of_memory;
        case fill::interrupted:
            return status::interrupted;
    }
    return status::piece;
}

log_reader::status log_reader::next(log_piece& piece)
{
    std::size_t size = 0;
    for (bool piece_done = false; !piece_done;) {
        if (block_begin_ == block_end_) {
            const fill filled = fill_block();
            if (filled == fill::end && size > 0) {
                // A line that is not finished yet is left for a later run.
                if (hold_unfinished_line_ && at_line_start_)
                    return status::end;
                break;
            }
            if (filled != fill::block)
                return status_of(filled);
        }
        if (!take_from_block(size, piece_done))
            return status::out_of_memory;
    }
    line_[size] = '\0';
    piece.text = line_;
    piece.size = size;
    piece.starts_line = at_line_start_;
    if (at_line_start_)
        ++line_number_;
    piece.line = line_number_;
    at_line_start_ = line_[size - 1] == '\n';
    position_ += size;
    if (digest_ != nullptr)
        digest_->add(reinterpret_cast<const unsigned char*>(line_), size, line_number_);
    return status::piece;
}

log_reader::status log_reader::pass(uint64_t bytes, log_digest* digest)
{
    const uint64_t target = position_ + bytes;
    unsigned blocks = 0;
    while (position_ < target) {
        if (block_begin_ == block_end_) {
            // A long pass over a file never waits for input, so the hook is
            // asked between blocks: a signal is acted on at once.
            if (++blocks % BLOCKS_BETWEEN_HOOKS == 0 && should_stop())
                return status::interrupted;
            if (detected_ && !decoder_ && digest == nullptr && !waits_) {
                // Plain text in a file: its bytes are where the text says.
                if (lseek(fd_, static_cast<off_t>(target), SEEK_SET) < 0)
                    return status_of(fail(errno));
                position_ = target;
                bytes_read_ = target;
                break;
            }
            const fill filled = fill_block();
            if (filled != fill::block)
                return status_of(filled);
        }
        const std::size_t take = static_cast<std::size_t>(
            std::min<uint64_t>(block_end_ - block_begin_, target - position_));
        if (digest != nullptr)
            digest->add(block_.get() + block_begin_, take, 0);
        block_begin_ += take;
        position_ += take;
    }
    return status::piece;
}
