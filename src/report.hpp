// The report of a run on the console, in one of three styles: the console
// of every line, the quiet list of problems, or one JSON document. The run
// calls it at three points; a report only reads what the run found out.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "run_record.hpp"

class console_writer;

class report {
public:
    virtual ~report() = default;
    // Before anything is opened; what it prints shows at once, before a log
    // or a result log that is a FIFO can keep the tool waiting.
    virtual void start() = 0;
    // Once a checkpoint's history is taken up, before the first line: the
    // facts earlier runs left (their problems among them).
    virtual void resumed(const run_result& result) = 0;
    // Each settled line, in input order.
    virtual void line(const line_report& line) = 0;
    // After the run, or after what stopped it.
    virtual void end(const run_result& result) = 0;
};

// The report that options.style asks for, printing to console. Both must
// outlive it.
std::unique_ptr<report> make_report(const run_options& options, console_writer& console);

// A run error in the words of the console form, or of the quiet form
// (one text per line it names, without a line end: what the quiet and JSON
// forms say of it on standard error). escape: as a terminal may show it.
std::string console_error_text(const run_error& error, bool escape);
std::vector<std::string> quiet_error_texts(const run_error& error, bool escape);

// The three styles behind it.
std::unique_ptr<report> make_console_report(const run_options& options, console_writer& console);
std::unique_ptr<report> make_quiet_report(const run_options& options, console_writer& console);
std::unique_ptr<report> make_json_report(const run_options& options, console_writer& console);
