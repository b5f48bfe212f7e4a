#include "report.hpp"

#include <chrono>
#include <cstdarg>

namespace {

using progress_clock = std::chrono::steady_clock;
progress_clock::time_point last_console_flush;

}  // namespace

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

void console_flush()
{
    // Console write errors are not reported (out.log's are).
    (void)std::fflush(stdout);
    last_console_flush = progress_clock::now();
}

void console_flush_if_due()
{
    if (progress_clock::now() - last_console_flush >=
        std::chrono::milliseconds(CONSOLE_FLUSH_INTERVAL_MS))
        console_flush();
}
