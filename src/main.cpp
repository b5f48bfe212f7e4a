// The process entry: sets up the process, then hands the command line to
// the run and its status to the shell.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "command_line.hpp"
#include "console.hpp"
#include "interrupt.hpp"
#include "run_status.hpp"

namespace {

// A standard descriptor that is closed would be the next file the tool
// opens, and console text would land in it: open it on /dev/null first.
void open_closed_standard_descriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0)
            continue;
        const int null = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            (void)dup2(null, fd);
            (void)close(null);
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    open_closed_standard_descriptors();
    // A console that goes away is no reason to stop, and a result log that
    // cannot take more is a failed write: both are errors, not signals.
    (void)std::signal(SIGPIPE, SIG_IGN);
    (void)std::signal(SIGXFSZ, SIG_IGN);
    watch_interrupts();

    run_status status = run_status::ok;
    {
        console_writer console(STDOUT_FILENO, std::getenv("JOURNAL_STREAM"));
        status = run_command_line(argc, argv, console);
    }
    if (status == run_status::interrupted)
        end_by_signal(interrupting_signal());
    return process_exit_code(status, interrupting_signal());
}
