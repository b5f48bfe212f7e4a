#include "report.hpp"

#include "console.hpp"
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

}  // namespace

std::string console_error_text(const run_error& error, bool escape)
{
    const text::error_texts& texts = text::error_of(error.kind);
    return error_text(error, texts.console, texts.console_at_line, escape);
}

std::string quiet_error_text(const run_error& error, bool escape)
{
    const text::error_texts& texts = text::error_of(error.kind);
    std::string line = error_text(error, texts.quiet, texts.quiet_at_line, escape);
    if (!line.empty() && line.back() == '\n')
        line.pop_back();
    return line;
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
