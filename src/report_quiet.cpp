// The quiet report: one line per problem, as compilers and grep -n write
// them ("PATH:LINE: message"), then the whole-log facts ("PATH: message").
// Under the journal each line starts with its priority, and nothing from a
// path or a line can end a line early.
#include <string>

#include "console.hpp"
#include "report.hpp"
#include "report_forms.hpp"
#include "texts.hpp"

namespace {

using ull = unsigned long long;

// What an earlier run's problem adds to its line.
constexpr char FOUND_EARLIER[] = " (found in an earlier run)";

class quiet_report : public report {
public:
    quiet_report(const run_options& options, console_writer& console)
        : options_(options),
          console_(console),
          escape_(console.is_terminal() || console.is_journal())
    {
    }

    // Its output keeps to the log's facts, the keys among them.
    bool lists_keys() const override { return true; }
    bool says_run_errors_on_standard_error() const override { return true; }
    bool shows_progress_on_a_terminal() const override { return true; }

    void start() override { console_.flush(); }

    // The problems earlier runs found are still counted: each mail names
    // every problem open, those of earlier runs under the names their logs
    // had then.
    void resumed(const run_result& result) override
    {
        for (const earlier_problem& problem : result.earlier_problems) {
            const terminal_safe path(problem.path.c_str(), escape_);
            const terminal_safe detail(problem.detail.c_str(), escape_);
            const std::string key = problem.key ? fingerprint_hex(*problem.key) : "";
            text::values values;
            values.path = path.c_str();
            values.line = problem.line;
            values.code = problem.key_code;
            values.key = key;
            values.number = problem.number;
            values.detail = detail.c_str();
            std::string shown = text::fill(text::fate_of(problem.fate).quiet, values);
            shown.insert(shown.size() - 1, FOUND_EARLIER);
            emit(message_priority::warning, shown);
        }
    }

    void line(const line_report& line) override
    {
        const char* const pattern = text::fate_of(line.fate).quiet;
        if (pattern == nullptr)
            return;
        const terminal_safe path(options_.logs[line.where.log].c_str(), escape_);
        const std::string key = line.key != nullptr ? fingerprint_hex(line.key->sha256) : "";
        const std::string detail = text::detail_of(line, options_);
        const terminal_safe shown_detail(detail.c_str(), escape_);
        text::values values;
        values.path = path.c_str();
        values.line = line.where.line;
        values.code = line.key_code;
        values.key = key;
        values.number = line.number;
        values.detail = shown_detail.c_str();
        emit(message_priority::error, text::fill(pattern, values));
        // A followed log's problem is said at once.
        if (options_.follow)
            console_.flush();
    }

    // A gap is a problem as soon as it is known; the end lists every gap
    // again with the other facts.
    void missing(const sequence_range& range) override
    {
        const std::string name = options_.whole_log_name();
        say_missing(terminal_safe(name.c_str(), escape_), range);
        console_.flush();
    }
    void rotated(const std::string& /*log*/, const char* /*how*/,
                 const std::string& /*copy*/) override
    {
    }
    void summary(const run_result& /*result*/) override {}

    void end(const run_result& result) override
    {
        // A sound log prints nothing, as cron would mail anything; what
        // stopped or spoiled a run is said on standard error.
        if (!result.error && !result.log_is_sound())
            print_facts(result);
        console_.flush();
    }

private:
    // A line, after its priority where the journal reads the console.
    void emit(message_priority priority, const std::string& line)
    {
        begin_line(priority);
        console_.write(line);
    }

    // Where the journal reads the console, a line starts with its priority.
    void begin_line(message_priority priority)
    {
        if (console_.is_journal())
            console_.write(priority_marker(priority));
    }

    void say_missing(const terminal_safe& log, const sequence_range& range)
    {
        begin_line(message_priority::error);
        console_.print(text::quiet::missing, log.c_str(), range.first, range.last,
                       range.last - range.first + 1);
    }

    void print_facts(const run_result& result)
    {
        const std::string name = options_.whole_log_name();
        const terminal_safe log(name.c_str(), escape_);
        for (const sequence_range& range : result.missing)
            say_missing(log, range);
        if (result.no_progression) {
            begin_line(message_priority::error);
            console_.print(text::quiet::no_progression, log.c_str());
        }
        if (result.nothing_verified) {
            begin_line(message_priority::error);
            console_.print(text::quiet::nothing_verified, log.c_str());
        }
        const uint64_t errors = result.counted_errors();
        begin_line(message_priority::info);
        console_.print(text::quiet::summary, log.c_str(), static_cast<ull>(result.lines_checked),
                       static_cast<ull>(result.lines_of(line_fate::ok)), static_cast<ull>(errors),
                       errors == 1 ? "" : "s");
        for (const key_seen& seen : result.keys) {
            const char* const trust = !seen.trusted   ? ""
                                      : *seen.trusted ? text::quiet::key_trusted
                                                      : text::quiet::key_untrusted;
            begin_line(message_priority::info);
            console_.print(text::quiet::key, log.c_str(), fingerprint_hex(seen.key.sha256).c_str(),
                           seen.key.type.data(), static_cast<ull>(seen.lines), trust);
        }
        if (result.key_lines_omitted != 0) {
            begin_line(message_priority::info);
            console_.print(text::quiet::keys_omitted, log.c_str(),
                           static_cast<ull>(result.key_lines_omitted), static_cast<ull>(KEPT_KEYS));
        }
    }

    const run_options& options_;
    console_writer& console_;
    const bool escape_;
};

}  // namespace

std::unique_ptr<report> make_quiet_report(const run_options& options, console_writer& console)
{
    return std::make_unique<quiet_report>(options, console);
}
