// The tool with a single worker thread beside the driver: the same run as
// tamberlo_orvel_verify, for measuring what the driver costs.
#include <unistd.h>

#include "command_line.hpp"
#include "console.hpp"
#include "run.hpp"

int main(int argc, char** argv)
{
    console_writer console(STDOUT_FILENO);
    command_line line = parse_command_line(argc, argv);
    if (line.what != command_line::action::run)
        return 2;
    line.options.workers = 1;
    return run_verification(line.options, console) == run_status::ok ? 0 : 1;
}
