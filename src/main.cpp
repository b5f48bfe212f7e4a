// The process entry: sets up the process, then hands the command line to
// the run and its status to the shell.
#include <cstdio>

#include "command_line.hpp"
#include "run_types.hpp"

int main(int argc, char** argv)
{
    // Progress is flushed at intervals, not line by line.
    static char console_buffer[1 << 16];
    // Without the buffer the console is merely slower.
    (void)std::setvbuf(stdout, console_buffer, _IOFBF, sizeof console_buffer);
    return process_exit_code(run_command_line(argc, argv));
}
