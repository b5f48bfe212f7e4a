// The reports of a run on standard output, one small renderer per style:
// the console of every line, the quiet list of problems, or one JSON
// document. All of them are made from what the run found out.
#pragma once

#include "run.hpp"

struct report_target {
    report_style style = report_style::console;
    // Standard output is a terminal: texts from the log or the command line
    // are shown escaped.
    bool escape = false;
};

// Before anything is opened.
void report_start(const report_target& target, const run_options& options);
// Each non-blank line, in input order.
void report_line(const report_target& target, const run_options& options, const line_report& line);
// After the run, or after what stopped it.
void report_end(const report_target& target, const run_options& options, const run_result& result);

// The renderers behind them.
void console_start(const run_options& options);
void console_line(const line_report& line, bool escape);
void console_end(const run_options& options, const run_result& result, bool escape);
void quiet_line(const run_options& options, const line_report& line, bool escape);
void quiet_end(const run_options& options, const run_result& result, bool escape);
void json_end(const run_options& options, const run_result& result);
