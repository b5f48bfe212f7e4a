#include "console.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>

namespace {

using progress_clock = std::chrono::steady_clock;

progress_clock::time_point& last_console_flush()
{
    static progress_clock::time_point last;
    return last;
}

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
    return 0;
}

std::size_t skip_text(const unsigned char* text)
{
    const std::size_t sequence = utf8_sequence_length(text);
    return sequence > 0 ? sequence : 1;
}

}  // namespace

void console_print(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}

void console_flush()
{
    // Console write errors are not reported (the result log's are).
    (void)std::fflush(stdout);
    last_console_flush() = progress_clock::now();
}

void console_flush_if_due()
{
    if (progress_clock::now() - last_console_flush() >=
        std::chrono::milliseconds(CONSOLE_FLUSH_INTERVAL_MS))
        console_flush();
}

bool console_is_terminal() { return isatty(STDOUT_FILENO) == 1; }

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
