// The quiet report: one line per problem, as compilers and grep -n write
// them ("PATH:LINE: message"), then the whole-log facts ("PATH: message").
#include <string>

#include "console.hpp"
#include "report.hpp"
#include "texts.hpp"

namespace {

using ull = unsigned long long;

// The name of the whole log: its path, or the paths of all its parts.
std::string whole_log_name(const run_options& options)
{
    std::string name;
    for (const std::string& path : options.logs) {
        if (!name.empty())
            name += ", ";
        name += path;
    }
    return name;
}

class quiet_report : public report {
public:
    quiet_report(const run_options& options, console_writer& console)
        : options_(options), console_(console), escape_(console.is_terminal())
    {
    }

    void start() override { console_.flush(); }

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
        console_.write(text::fill(pattern, values));
    }

    void end(const run_result& result) override
    {
        // A clean run prints nothing, as cron would mail anything; what
        // stopped a run is said on standard error.
        if (!result.error && result.status != run_status::ok)
            print_facts(result);
        console_.flush();
    }

private:
    void print_facts(const run_result& result)
    {
        const std::string name = whole_log_name(options_);
        const terminal_safe log(name.c_str(), escape_);
        for (const sequence_range& range : result.missing) {
            console_.print(text::quiet::missing, log.c_str(), range.first, range.last,
                           range.last - range.first + 1);
        }
        if (result.no_progression)
            console_.print(text::quiet::no_progression, log.c_str());
        if (result.nothing_verified)
            console_.print(text::quiet::nothing_verified, log.c_str());
        console_.print(text::quiet::summary, log.c_str(), static_cast<ull>(result.lines_checked),
                       static_cast<ull>(result.lines_ok),
                       static_cast<ull>(result.counted_errors()));
        for (const key_seen& seen : result.keys) {
            const char* const trust = !seen.trusted   ? ""
                                      : *seen.trusted ? text::quiet::key_trusted
                                                      : text::quiet::key_untrusted;
            console_.print(text::quiet::key, log.c_str(), fingerprint_hex(seen.key.sha256).c_str(),
                           seen.key.type.data(), static_cast<ull>(seen.lines), trust);
        }
        if (result.key_lines_omitted != 0) {
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
