#include "diagnostics.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr std::string_view PROGRAM = "tamberlo_orvel_verify: ";
// Goes to the start of the line and erases it.
constexpr std::string_view ERASE_LINE = "\r\x1b[K";
// A terminal whose width cannot be told.
constexpr std::size_t DEFAULT_COLUMNS = 80;

std::size_t columns_of(int fd)
{
    winsize size{};
    if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return DEFAULT_COLUMNS;
}

}  // namespace

diagnostics::diagnostics(int fd, const char* journal_stream)
    : out_(fd), terminal_(isatty(fd) == 1), journal_(false)
{
    struct stat file {};
    journal_ = fstat(fd, &file) == 0 && is_journal_stream(file, journal_stream);
}

diagnostics::~diagnostics() { clear_status(); }

void diagnostics::message(message_priority priority, std::string_view text)
{
    clear_status();
    std::string line = journal_ ? priority_marker(priority) : std::string();
    line += PROGRAM;
    line += text;
    line += '\n';
    write_out(line);
}

void diagnostics::status(std::string_view text)
{
    if (!terminal_) {
        message(message_priority::info, text);
        return;
    }
    // A line longer than the terminal would wrap, and the next status
    // would erase only its last part.
    std::string line(ERASE_LINE);
    line += PROGRAM;
    const std::size_t room = columns_of(out_.fd()) - 1;
    line += text.substr(0, room > PROGRAM.size() ? room - PROGRAM.size() : 0);
    write_out(line);
    status_shown_ = true;
}

void diagnostics::clear_status()
{
    if (!status_shown_)
        return;
    status_shown_ = false;
    write_out(ERASE_LINE);
}
