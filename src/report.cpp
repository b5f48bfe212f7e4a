#include "report.hpp"

#include <cstdarg>

void console_print(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}

void result_log_print(run_state& state, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    if (std::vfprintf(state.result_log, format, args) < 0)
        state.result_log_failed = true;
    va_end(args);
}
