#include "report.hpp"

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
