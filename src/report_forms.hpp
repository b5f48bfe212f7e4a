// The three forms behind make_report, each in a file of its own; nothing
// but the reports includes this.
#pragma once

#include <memory>

class console_writer;
class report;
struct run_options;

std::unique_ptr<report> make_console_report(const run_options& options, console_writer& console);
std::unique_ptr<report> make_quiet_report(const run_options& options, console_writer& console);
std::unique_ptr<report> make_json_report(const run_options& options, console_writer& console);
