#include "console.hpp"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "interrupt.hpp"

namespace {

bool is_c1_control(unsigned char c) { return c >= 0x80 && c <= 0x9F; }

// Length of the well-formed UTF-8 sequence at text, or 0.
std::size_t utf8_sequence_length(const unsigned char* text)
{
    const unsigned char lead = text[0];
    std::size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
    } else {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((text[i] & 0xC0) != 0x80)
            return 0;
    }
    // Overlong forms, surrogates and code points beyond U+10FFFF.
    if ((lead == 0xE0 && text[1] < 0xA0) || (lead == 0xED && text[1] > 0x9F) ||
        (lead == 0xF0 && text[1] < 0x90) || (lead == 0xF4 && text[1] > 0x8F))
        return 0;
    return length;
}

// U+061C, U+200E, U+200F, U+202A to U+202E and U+2066 to U+2069: they
// reorder what a terminal shows, so that "\u202eRUE 05.21" reads as
// "12.50 EUR".
bool is_bidi_control(const unsigned char* text, std::size_t sequence)
{
    if (sequence == 2)
        return text[0] == 0xD8 && text[1] == 0x9C;
    if (sequence != 3 || text[0] != 0xE2)
        return false;
    const unsigned char second = text[1];
    const unsigned char third = text[2];
    return (second == 0x80 &&
            (third == 0x8E || third == 0x8F || (third >= 0xAA && third <= 0xAE))) ||
           (second == 0x81 && third >= 0xA6 && third <= 0xA9);
}

// How many bytes at text a terminal acts on as one control, or 0.
std::size_t control_length(const unsigned char* text)
{
    const unsigned char c = text[0];
    if ((c < 0x20 && c != '\t') || c == 0x7F)
        return 1;
    const std::size_t sequence = utf8_sequence_length(text);
    // U+0080 to U+009F, the C1 controls, in UTF-8.
    if (sequence == 2 && c == 0xC2 && is_c1_control(text[1]))
        return 2;
    if (sequence == 0 && is_c1_control(c))
        return 1;
    if (is_bidi_control(text, sequence))
        return sequence;
    return 0;
}

// Reads text as a decimal number; false unless it is one, whole.
bool read_number(std::string_view text, uintmax_t& number)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::size_t skip_text(const unsigned char* text)
{
    const std::size_t sequence = utf8_sequence_length(text);
    return sequence > 0 ? sequence : 1;
}

}  // namespace

console_writer::console_writer(int fd, const char* journal_stream)
    : out_(fd),
      terminal_(isatty(fd) == 1),
      journal_(false),
      last_flush_(std::chrono::steady_clock::now())
{
    struct stat file {};
    journal_ = fstat(fd, &file) == 0 && is_journal_stream(file, journal_stream);
}

std::string priority_marker(message_priority priority)
{
    std::string marker(1, '<');
    marker += std::to_string(static_cast<int>(priority));
    marker += '>';
    return marker;
}

bool is_journal_stream(const struct stat& file, const char* journal_stream)
{
    if (journal_stream == nullptr)
        return false;
    const std::string_view text = journal_stream;
    const std::size_t colon = text.find(':');
    uintmax_t device = 0;
    uintmax_t inode = 0;
    return colon != std::string_view::npos && read_number(text.substr(0, colon), device) &&
           read_number(text.substr(colon + 1), inode) && device == file.st_dev &&
           inode == file.st_ino;
}

console_writer::~console_writer() { flush(); }

output_descriptor::~output_descriptor()
{
    if (stopping_fd_ >= 0)
        (void)::close(stopping_fd_);
}

int output_descriptor::stopping_fd()
{
    if (stopping_fd_ != NOT_OPENED)
        return stopping_fd_;
    stopping_fd_ = -1;
    // A regular file never keeps a writer waiting, and opened anew it
    // would be written from its start.
    struct stat console {};
    if (fstat(fd_, &console) != 0 || S_ISREG(console.st_mode))
        return stopping_fd_;
    std::string path = "/proc/self/fd/";
    path += std::to_string(fd_);
    stopping_fd_ = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    return stopping_fd_;
}

void console_writer::print(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const std::size_t room = buffer_.size() - used_;
    const int length = std::vsnprintf(buffer_.data() + used_, room, format, args);
    va_end(args);
    if (length >= 0 && static_cast<std::size_t>(length) < room) {
        used_ += static_cast<std::size_t>(length);
    } else if (length >= 0) {
        // Too long for what is left: formatted again on its own.
        std::string text(static_cast<std::size_t>(length), '\0');
        (void)std::vsnprintf(text.data(), text.size() + 1, format, again);
        write(text);
    }
    va_end(again);
}

void console_writer::write(std::string_view text)
{
    if (text.size() > buffer_.size() - used_)
        flush();
    if (text.size() >= buffer_.size()) {
        out_.write(text.data(), text.size());
        return;
    }
    std::memcpy(buffer_.data() + used_, text.data(), text.size());
    used_ += text.size();
}

void console_writer::flush()
{
    out_.write(buffer_.data(), used_);
    used_ = 0;
    last_flush_ = std::chrono::steady_clock::now();
}

void console_writer::flush_if_due()
{
    if (std::chrono::steady_clock::now() - last_flush_ >=
        std::chrono::milliseconds(CONSOLE_FLUSH_INTERVAL_MS))
        flush();
}

void output_descriptor::write(const char* bytes, std::size_t size)
{
    while (size > 0 && !given_up_) {
        std::size_t chunk = size;
        int fd = fd_;
        if (interrupting_signal() != 0) {
            // Stopping: only what the console takes at once.
            fd = stopping_fd();
            if (fd < 0) {
                // A pipe that polls writable takes PIPE_BUF bytes without
                // blocking.
                fd = fd_;
                pollfd console{fd, POLLOUT, 0};
                if (poll(&console, 1, 0) != 1 || (console.revents & POLLOUT) == 0) {
                    given_up_ = true;
                    return;
                }
                chunk = std::min<std::size_t>(size, PIPE_BUF);
            }
        }
        const ssize_t written = ::write(fd, bytes, chunk);
        if (written > 0) {
            bytes += written;
            size -= static_cast<std::size_t>(written);
        } else if (written < 0 && errno == EAGAIN && fd == fd_) {
            // A console left non-blocking by whoever shares it.
            pollfd console{fd_, POLLOUT, 0};
            (void)poll(&console, 1, static_cast<int>(CONSOLE_FLUSH_INTERVAL_MS));
        } else if (written == 0 || errno != EINTR) {
            // A console that fails, or that takes no more without waiting
            // once stopping, is given up.
            given_up_ = true;
        }
    }
}

terminal_safe::terminal_safe(const char* text, bool escape) : text_(text)
{
    if (!escape)
        return;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    std::size_t clean = 0;
    while (p[clean] != '\0' && control_length(p + clean) == 0)
        clean += skip_text(p + clean);
    if (p[clean] == '\0')
        return;

    escaped_ = true;
    copy_.assign(text, clean);
    for (const unsigned char* at = p + clean; *at != '\0';) {
        const std::size_t control = control_length(at);
        if (control == 0) {
            const std::size_t length = skip_text(at);
            copy_.append(reinterpret_cast<const char*>(at), length);
            at += length;
            continue;
        }
        for (std::size_t i = 0; i < control; ++i, ++at) {
            char escaped[5];
            (void)std::snprintf(escaped, sizeof escaped, "\\x%02x", *at);
            copy_ += escaped;
        }
    }
}
