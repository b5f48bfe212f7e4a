// The console of every line: the banner, each line's fields and verdict,
// the sequence messages and the summary.
#include "console.hpp"
#include "report.hpp"
#include "texts.hpp"

namespace {

void print_error(const run_error& error, bool escape)
{
    const terminal_safe path(error.path.c_str(), escape);
    switch (error.kind) {
        case run_error_kind::trusted_keys: {
            const terminal_safe message(error.message.c_str(), escape);
            if (error.line != 0) {
                console_print(text::could_not_use_trusted_key_line, path.c_str(),
                              static_cast<unsigned long long>(error.line), message.c_str());
            } else {
                console_print(text::could_not_use_trusted_keys, path.c_str(), message.c_str());
            }
            break;
        }
        case run_error_kind::open_log:
        case run_error_kind::open_result_log:
            console_print(text::could_not_open, path.c_str());
            break;
        case run_error_kind::result_log_is_log:
            console_print(text::result_log_is_the_log, path.c_str());
            break;
        case run_error_kind::result_log_is_output:
            console_print(text::result_log_is_the_output, path.c_str());
            break;
        case run_error_kind::result_log_locked:
            console_print(text::result_log_locked, path.c_str());
            break;
        case run_error_kind::out_of_memory:
            console_print(text::out_of_memory, static_cast<unsigned long long>(error.line),
                          path.c_str());
            break;
        case run_error_kind::interrupted:
            console_print(text::interrupted, error.message.c_str(),
                          static_cast<unsigned long long>(error.line), path.c_str());
            break;
        case run_error_kind::read_log:
            console_print(text::could_not_read, path.c_str());
            break;
        case run_error_kind::write_result_log:
            console_print(text::could_not_write, path.c_str());
            break;
    }
}

// Every missing number is reported on its own, each with the line counter
// after the last line.
void print_sequence_errors(const run_options& options, const run_result& result)
{
    const int line = static_cast<int>(result.line_counter());
    const bool event = options.mode == log_mode::event;
    for (const sequence_range& range : result.missing) {
        for (uint32_t number = range.first;; ++number) {
            console_print(event ? text::event_gap : text::transaction_gap, line);
            if (number == range.last)
                break;
        }
    }
    if (result.no_progression)
        console_print(text::no_progression, line);
}

void print_summary(const run_result& result)
{
    const int line = static_cast<int>(result.line_counter());
    if (result.last_result_code != 0) {
        console_print(text::summary_last_key_error, line,
                      text::negated_code(result.last_result_code),
                      text::summary_last_key_error_tag);
    } else if (result.counted_errors() != 0) {
        console_print(text::summary_error_count, static_cast<int>(result.counted_errors()));
    } else if (result.lines_checked > 0) {
        console_print(text::summary_clean, line - 1);
    }
}

}  // namespace

void console_start(const run_options& options)
{
    console_print("%s", text::banner);
    if (options.mode == log_mode::event)
        console_print("%s", text::event_mode);
}

void console_line(const line_report& line, bool escape)
{
    const int counter = static_cast<int>(line.counter);
    if (line.fate == line_fate::key_error) {
        console_print(text::key_parse_error, counter, text::negated_code(line.key_code));
        return;
    }
    console_print(text::line_fields, terminal_safe(line.data, escape).c_str(),
                  terminal_safe(line.signature, escape).c_str());
    switch (line.fate) {
        case line_fate::bad_signature:
            console_print(text::verify_error, counter);
            break;
        case line_fate::untrusted_key:
            console_print(text::untrusted_key, counter);
            break;
        case line_fate::no_sequence_number:
            console_print(text::sequence_number_error, counter);
            break;
        case line_fate::key_error:
        case line_fate::ok:
            break;
    }
}

void console_end(const run_options& options, const run_result& result, bool escape)
{
    if (result.error) {
        print_error(*result.error, escape);
    } else {
        print_sequence_errors(options, result);
        print_summary(result);
    }
    if (result.write_error)
        print_error(*result.write_error, escape);
}
