// The quiet report: one line per problem, as compilers and grep -n write
// them ("PATH:LINE: message"), then the whole-log facts ("PATH: message").
#include <string>

#include "console.hpp"
#include "report.hpp"
#include "texts.hpp"
#include "trusted_keys.hpp"

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

void print_error(const run_error& error, bool escape)
{
    const terminal_safe path(error.path.c_str(), escape);
    const terminal_safe message(error.message.c_str(), escape);
    switch (error.kind) {
        case run_error_kind::trusted_keys:
            if (error.line != 0) {
                console_print(text::quiet::trusted_key_line, path.c_str(),
                              static_cast<ull>(error.line), message.c_str());
            } else {
                console_print(text::quiet::trusted_keys, path.c_str(), message.c_str());
            }
            break;
        case run_error_kind::open_log:
        case run_error_kind::open_result_log:
        case run_error_kind::result_log_is_log:
        case run_error_kind::result_log_is_output:
        case run_error_kind::result_log_locked:
            console_print(text::quiet::could_not_open, path.c_str(), message.c_str());
            break;
        case run_error_kind::out_of_memory:
            console_print(text::quiet::out_of_memory, path.c_str(), static_cast<ull>(error.line));
            break;
        case run_error_kind::interrupted:
            console_print(text::quiet::interrupted, path.c_str(), static_cast<ull>(error.line),
                          message.c_str());
            break;
        case run_error_kind::read_log:
            console_print(text::quiet::could_not_read, path.c_str(), message.c_str());
            break;
        case run_error_kind::write_result_log:
            console_print(text::quiet::could_not_write, path.c_str(), message.c_str());
            break;
    }
}

void print_keys(const run_result& result, const char* log)
{
    for (const key_seen& seen : result.keys) {
        const char* const trust = !seen.trusted   ? ""
                                  : *seen.trusted ? text::quiet::key_trusted
                                                  : text::quiet::key_untrusted;
        console_print(text::quiet::key, log, fingerprint_hex(seen.key.sha256).c_str(),
                      seen.key.type.data(), static_cast<ull>(seen.lines), trust);
    }
}

}  // namespace

void quiet_line(const run_options& options, const line_report& line, bool escape)
{
    const terminal_safe path(options.logs[line.where.log].c_str(), escape);
    const auto number = static_cast<ull>(line.where.line);
    switch (line.fate) {
        case line_fate::key_error:
            console_print(text::quiet::key_error, path.c_str(), number,
                          text::negated_code(line.key_code));
            break;
        case line_fate::bad_signature:
            console_print(text::quiet::bad_signature, path.c_str(), number);
            break;
        case line_fate::untrusted_key:
            console_print(text::quiet::untrusted_key, path.c_str(), number,
                          fingerprint_hex(line.key->sha256).c_str());
            break;
        case line_fate::no_sequence_number:
            console_print(text::quiet::no_sequence_number, path.c_str(), number);
            break;
        case line_fate::ok:
            break;
    }
}

void quiet_end(const run_options& options, const run_result& result, bool escape)
{
    if (result.error) {
        print_error(*result.error, escape);
    } else {
        const std::string name = whole_log_name(options);
        const terminal_safe log(name.c_str(), escape);
        for (const sequence_range& range : result.missing) {
            console_print(text::quiet::missing, log.c_str(), range.first, range.last,
                          range.last - range.first + 1);
        }
        if (result.no_progression)
            console_print(text::quiet::no_progression, log.c_str());
        console_print(text::quiet::summary, log.c_str(), static_cast<ull>(result.lines_checked),
                      static_cast<ull>(result.lines_ok), static_cast<ull>(result.counted_errors()));
        print_keys(result, log.c_str());
    }
    if (result.write_error)
        print_error(*result.write_error, escape);
}
