// The console of every line: the banner, each line's fields and verdict,
// the sequence messages and the summary.
#include "console.hpp"
#include "report.hpp"
#include "report_forms.hpp"
#include "texts.hpp"

namespace {

class console_report : public report {
public:
    console_report(const run_options& options, console_writer& console)
        : options_(options), console_(console), escape_(console.is_terminal())
    {
    }

    // The console is the plain form's: nothing but the lines, their messages
    // and the summary, and nothing on standard error.
    bool lists_keys() const override { return false; }
    bool says_run_errors_on_standard_error() const override { return false; }
    bool shows_progress_on_a_terminal() const override { return false; }

    void start() override
    {
        console_.print("%s", text::banner);
        if (options_.mode == log_mode::event)
            console_.print("%s", text::event_mode);
        console_.flush();
    }

    // The console shows this run's lines only, and the missing numbers at
    // the end, as it always has.
    void resumed(const run_result& /*result*/) override {}
    void missing(const sequence_range& /*range*/) override {}
    void rotated(const std::string& /*log*/, const char* /*how*/,
                 const std::string& /*copy*/) override
    {
    }
    void summary(const run_result& /*result*/) override {}

    void line(const line_report& line) override
    {
        const text::fate_texts& texts = text::fate_of(line.fate);
        if (texts.console_shows_fields)
            print_fields(line);
        if (texts.console != nullptr) {
            text::values values;
            values.counter = line.counter;
            values.code = line.key_code;
            console_.write(text::fill(texts.console, values));
        }
    }

    void end(const run_result& result) override
    {
        if (result.error) {
            print_error(*result.error);
        } else {
            print_sequence_errors(result);
            print_summary(result);
        }
        if (result.write_error)
            print_error(*result.write_error);
        console_.flush();
    }

private:
    void print_fields(const line_report& line)
    {
        console_.write(text::fields_begin);
        console_.write(terminal_safe(line.data, escape_).c_str());
        console_.write(text::fields_between);
        console_.write(terminal_safe(line.signature, escape_).c_str());
        console_.write(text::fields_end);
    }

    void print_error(const run_error& error) { console_.write(console_error_text(error, escape_)); }

    // Every missing number is reported on its own, each with the line
    // counter after the last line.
    void print_sequence_errors(const run_result& result)
    {
        const int line = static_cast<int>(result.line_counter());
        const bool event = options_.mode == log_mode::event;
        for (const sequence_range& range : result.missing) {
            for (uint32_t number = range.first;; ++number) {
                console_.print(event ? text::event_gap : text::transaction_gap, line);
                if (number == range.last)
                    break;
            }
        }
        if (result.no_progression)
            console_.print(text::no_progression, line);
        if (result.nothing_verified)
            console_.print(text::nothing_verified, line);
    }

    void print_summary(const run_result& result)
    {
        const int line = static_cast<int>(result.line_counter());
        if (result.last_result_code != 0) {
            console_.print(text::summary_last_key_error, line,
                           text::negated_code(result.last_result_code),
                           text::summary_last_key_error_tag);
        } else if (result.counted_errors() != 0) {
            console_.print(text::summary_error_count, static_cast<int>(result.counted_errors()));
        } else if (result.lines_checked > 0) {
            console_.print(text::summary_clean, line - 1);
        }
    }

    const run_options& options_;
    console_writer& console_;
    const bool escape_;
};

}  // namespace

std::unique_ptr<report> make_console_report(const run_options& options, console_writer& console)
{
    return std::make_unique<console_report>(options, console);
}
