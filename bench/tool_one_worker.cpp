// The tool with a single worker thread beside the driver: the same run as
// tamberlo_orvel_verify, for measuring what the driver costs.
#include <cstdio>

#include "command_line.hpp"

int main(int argc, char** argv)
{
    static char console_buffer[1 << 16];
    (void)std::setvbuf(stdout, console_buffer, _IOFBF, sizeof console_buffer);
    return run_command_line(argc, argv, 1) == run_status::ok ? 0 : 1;
}
