#include "report.hpp"

#include "console.hpp"

void report_start(const report_target& target, const run_options& options)
{
    if (target.style == report_style::console)
        console_start(options);
    // What is printed so far shows before a log or a result log that is a
    // FIFO can keep the tool waiting.
    console_flush();
}

void report_line(const report_target& target, const run_options& options, const line_report& line)
{
    switch (target.style) {
        case report_style::console:
            console_line(line, target.escape);
            break;
        case report_style::quiet:
            quiet_line(options, line, target.escape);
            break;
        case report_style::json:
            break;
    }
}

void report_end(const report_target& target, const run_options& options, const run_result& result)
{
    switch (target.style) {
        case report_style::console:
            console_end(options, result, target.escape);
            break;
        case report_style::quiet:
            quiet_end(options, result, target.escape);
            break;
        case report_style::json:
            json_end(options, result);
            break;
    }
    console_flush();
}
