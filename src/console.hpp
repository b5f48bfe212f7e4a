// Standard output as the tool writes it: formatted, buffered, flushed at
// intervals so that progress shows, and safe to show on a terminal.
#pragma once

#include <sys/stat.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

// The journal's priorities (syslog's levels) of the lines the tool writes.
enum class message_priority { error = 3, warning = 4, info = 6 };

// A line's priority as the journal reads it at the line's start: "<N>".
std::string priority_marker(message_priority priority);

// True when JOURNAL_STREAM ("DEVICE:INODE", as the service manager sets
// it) names file: the journal reads it, and the lines then carry their
// priority as "<N>".
bool is_journal_stream(const struct stat& file, const char* journal_stream);

// Console output is buffered; it is flushed at the end of a run, before the
// tool waits for input, and while the run goes on at least every
// CONSOLE_FLUSH_INTERVAL_MS so that progress shows.
inline constexpr unsigned CONSOLE_FLUSH_INTERVAL_MS = 100;

// A descriptor that people read (standard output, standard error). Write
// errors are not reported: one that fails (a reader gone, a full disk) is
// given up and the run goes on. Once a signal has asked the run to stop,
// it is written only while it takes bytes without waiting, so that a full
// pipe or a paused terminal cannot hold the run: reopened without blocking
// (the open file it shares with the shell stays as it is), or where it
// cannot be, as far as poll says it takes bytes.
class output_descriptor {
public:
    explicit output_descriptor(int fd) : fd_(fd) {}
    ~output_descriptor();
    output_descriptor(const output_descriptor&) = delete;
    output_descriptor& operator=(const output_descriptor&) = delete;

    void write(const char* bytes, std::size_t size);
    int fd() const { return fd_; }

private:
    int stopping_fd();

    int fd_;
    // The descriptor opened anew without blocking, once stopping; -1 where
    // it cannot be, NOT_OPENED before.
    static constexpr int NOT_OPENED = -2;
    int stopping_fd_ = NOT_OPENED;
    bool given_up_ = false;
};

// Writes the console to a descriptor, buffered (see output_descriptor).
class console_writer {
public:
    // journal_stream: the environment's JOURNAL_STREAM, or nullptr.
    explicit console_writer(int fd, const char* journal_stream = nullptr);
    ~console_writer();
    console_writer(const console_writer&) = delete;
    console_writer& operator=(const console_writer&) = delete;

    __attribute__((format(printf, 2, 3))) void print(const char* format, ...);
    void write(std::string_view text);
    void flush();
    void flush_if_due();

    // True when the console is a terminal: texts from the log or the
    // command line are then shown escaped (see terminal_safe).
    bool is_terminal() const { return terminal_; }
    // True when the journal reads the console (see is_journal_stream).
    bool is_journal() const { return journal_; }

private:
    output_descriptor out_;
    bool terminal_;
    bool journal_;
    std::array<char, std::size_t{1} << 16> buffer_{};
    std::size_t used_ = 0;
    std::chrono::steady_clock::time_point last_flush_;
};

// A text from the log or the command line as the console may show it. On a
// terminal, every byte a terminal acts on (C0 controls but tab, DEL, C1
// controls as bytes or as UTF-8, and the bidirectional formatting
// characters) is written as \xHH, so that a log cannot move the cursor,
// clear the screen, hide what follows or show its text reordered; anywhere
// else the text stays as it is.
class terminal_safe {
public:
    // text must outlive the object.
    terminal_safe(const char* text, bool escape);
    const char* c_str() const { return escaped_ ? copy_.c_str() : text_; }

private:
    const char* text_;
    bool escaped_ = false;
    std::string copy_;
};
