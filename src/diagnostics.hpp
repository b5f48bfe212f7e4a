// Standard error as the tool writes it: one line per message, with the
// journal's priority marker when standard error is the journal, and on a
// terminal one status line that the next status replaces and a message
// erases first.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

#include "console.hpp"

class diagnostics {
public:
    // Writes to fd; journal_stream is the environment's JOURNAL_STREAM or
    // nullptr.
    diagnostics(int fd, const char* journal_stream);
    ~diagnostics();
    diagnostics(const diagnostics&) = delete;
    diagnostics& operator=(const diagnostics&) = delete;

    // "tamberlo_orvel_verify: TEXT" on a line of its own.
    void message(message_priority priority, std::string_view text);
    // Shows text as the status line of a terminal (cut to its width);
    // anywhere else, as a message of information.
    void status(std::string_view text);
    // Erases the status line, if one shows.
    void clear_status();

    bool is_terminal() const { return terminal_; }
    bool is_journal() const { return journal_; }

private:
    void write_out(std::string_view bytes) { out_.write(bytes.data(), bytes.size()); }

    output_descriptor out_;
    bool terminal_;
    bool journal_;
    bool status_shown_ = false;
};
