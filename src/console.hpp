// Standard output as the tool writes it: formatted, buffered, flushed at
// intervals so that progress shows, and safe to show on a terminal.
#pragma once

#include <string>

// Formatted text to standard output. Console write errors are not reported.
__attribute__((format(printf, 1, 2))) void console_print(const char* format, ...);

// Console output is buffered; it is flushed at the end of a run, before the
// tool waits for input, and while the run goes on at least every
// CONSOLE_FLUSH_INTERVAL_MS so that progress shows.
inline constexpr unsigned CONSOLE_FLUSH_INTERVAL_MS = 100;
void console_flush();
void console_flush_if_due();

// True when standard output is a terminal: texts from the log or the
// command line are then shown escaped (see terminal_safe).
bool console_is_terminal();

// A text from the log or the command line as the console may show it. On a
// terminal, every byte a terminal acts on (C0 controls but tab, DEL, C1
// controls as bytes or as UTF-8) is written as \xHH, so that a log cannot
// move the cursor, clear the screen or hide what follows; anywhere else the
// text stays as it is.
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
