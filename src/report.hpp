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

    // What the run asks of the form it renders in: whether it lists the
    // keys that signed the log (the run then tallies them), whether what
    // stops the run is said on standard error as well (its own output
    // keeps to the log's facts), and whether it shows how far the run has
    // got on a terminal without being asked.
    virtual bool lists_keys() const = 0;
    virtual bool says_run_errors_on_standard_error() const = 0;
    virtual bool shows_progress_on_a_terminal() const = 0;

    // Before anything is opened; what it prints shows at once, before a log
    // or a result log that is a FIFO can keep the tool waiting.
    virtual void start() = 0;
    // Once a checkpoint's history is taken up, before the first line: the
    // facts earlier runs left (their problems among them).
    virtual void resumed(const run_result& result) = 0;
    // Each settled line, in input order.
    virtual void line(const line_report& line) = 0;
    // While a run follows its log: a run of numbers known to be missing
    // (once the gap has stayed open a while); a rotation of the followed
    // file log, how ("moved" or "truncated") and, for one truncated, the
    // copy its rest was read from (empty for none found); and now and then
    // where the run stands (ledger::so_far).
    virtual void missing(const sequence_range& range) = 0;
    virtual void rotated(const std::string& log, const char* how, const std::string& copy) = 0;
    virtual void summary(const run_result& result) = 0;
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
