#include "report.hpp"

#include "console.hpp"
#include "report_forms.hpp"
#include "texts.hpp"

namespace {

// The error's pattern filled in: the one that names the line to blame
// when there is one and the kind has such a pattern.
std::string error_text(const run_error& error, const char* pattern, const char* at_line,
                       bool escape)
{
    const terminal_safe path(error.path.c_str(), escape);
    const terminal_safe message(error.message.c_str(), escape);
    text::values values;
    values.path = path.c_str();
    values.message = message.c_str();
    values.line = error.line;
    return text::fill(error.line != 0 && at_line != nullptr ? at_line : pattern, values);
}

// The error once for each line it names, or as it is.
std::vector<run_error> each_line_of(const run_error& error)
{
    if (error.lines.empty())
        return {error};
    std::vector<run_error> lines;
    for (const named_line& named : error.lines)
        lines.emplace_back(error.kind, error.path, named.message, named.line);
    return lines;
}

}  // namespace

std::string console_error_text(const run_error& error, bool escape)
{
    const text::error_texts& texts = text::error_of(error.kind);
    std::string shown;
    for (const run_error& each : each_line_of(error))
        shown += error_text(each, texts.console, texts.console_at_line, escape);
    return shown;
}

std::vector<std::string> quiet_error_texts(const run_error& error, bool escape)
{
    const text::error_texts& texts = text::error_of(error.kind);
    std::vector<std::string> lines;
    for (const run_error& each : each_line_of(error)) {
        std::string line = error_text(each, texts.quiet, texts.quiet_at_line, escape);
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        lines.push_back(std::move(line));
    }
    return lines;
}

std::unique_ptr<report> make_report(const run_options& options, console_writer& console)
{
    switch (options.style) {
        case report_style::quiet:
            return make_quiet_report(options, console);
        case report_style::json:
            return make_json_report(options, console);
        case report_style::console:
            break;
    }
    return make_console_report(options, console);
}
