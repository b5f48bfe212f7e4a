#include "log_reader.hpp"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "console.hpp"
#include "line_format.hpp"
#include "signature_check.hpp"

namespace {

constexpr std::size_t BLOCK_SIZE = std::size_t{1} << 18;
// The line buffer starts small and grows with the longest line, up to
// LINE_BUFFER_SIZE and the spare bytes a line to check needs.
constexpr std::size_t FIRST_LINE_CAPACITY = std::size_t{1} << 16;
constexpr std::size_t LARGEST_LINE_CAPACITY = LINE_BUFFER_SIZE + LINE_TO_CHECK_SLACK;

}  // namespace

log_reader::log_reader(wait_hook while_waiting) : while_waiting_(std::move(while_waiting)) {}

log_reader::~log_reader() { std::free(line_); }

void log_reader::start(int fd)
{
    fd_ = fd;
    struct stat file {};
    waits_ = fstat(fd, &file) != 0 || !S_ISREG(file.st_mode);
    ended_ = false;
    interrupted_ = false;
    error_number_ = 0;
    block_begin_ = block_end_ = 0;
    line_number_ = 0;
    at_line_start_ = true;
}

bool log_reader::reserve(std::size_t size)
{
    if (size <= capacity_)
        return true;
    std::size_t capacity = std::max(capacity_ * 2, FIRST_LINE_CAPACITY);
    while (capacity < size)
        capacity *= 2;
    capacity = std::min(capacity, LARGEST_LINE_CAPACITY);
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
        const int ready = poll(&input, 1, static_cast<int>(CONSOLE_FLUSH_INTERVAL_MS));
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

bool log_reader::fill_block()
{
    if (ended_)
        return false;
    if (!block_) {
        block_.reset(new (std::nothrow) char[BLOCK_SIZE]);
        if (!block_) {
            error_number_ = ENOMEM;
            return false;
        }
    }
    for (;;) {
        if (waits_ && !wait_until_readable())
            return false;
        const ssize_t got = read(fd_, block_.get(), BLOCK_SIZE);
        if (got > 0) {
            block_begin_ = 0;
            block_end_ = static_cast<std::size_t>(got);
            return true;
        }
        if (got == 0) {
            ended_ = true;
            return false;
        }
        if (errno != EINTR && errno != EAGAIN) {
            error_number_ = errno;
            ended_ = true;
            return false;
        }
        if (errno == EINTR && should_stop())
            return false;
    }
}

log_reader::status log_reader::next(log_piece& piece)
{
    std::size_t size = 0;
    for (;;) {
        if (block_begin_ == block_end_ && !fill_block()) {
            if (interrupted_)
                return status::interrupted;
            if (error_number_ == ENOMEM)
                return status::out_of_memory;
            if (error_number_ != 0)
                return status::failed;
            if (size == 0)
                return status::end;
            break;
        }
        const char* const available = block_.get() + block_begin_;
        std::size_t take = std::min(block_end_ - block_begin_, LINE_BUFFER_SIZE - 1 - size);
        const void* const newline = std::memchr(available, '\n', take);
        if (newline != nullptr)
            take = static_cast<std::size_t>(static_cast<const char*>(newline) - available) + 1;
        if (!reserve(size + take + 1 + LINE_TO_CHECK_SLACK))
            return status::out_of_memory;
        std::memcpy(line_ + size, available, take);
        size += take;
        block_begin_ += take;
        if (newline != nullptr || size == LINE_BUFFER_SIZE - 1)
            break;
    }
    line_[size] = '\0';
    piece.text = line_;
    piece.size = size;
    piece.starts_line = at_line_start_;
    if (at_line_start_)
        ++line_number_;
    piece.line = line_number_;
    at_line_start_ = line_[size - 1] == '\n';
    return status::piece;
}
