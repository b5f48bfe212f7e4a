// The JSON report: one document on standard output, for every run past the
// command line, and nothing else.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>

#include "console.hpp"
#include "report.hpp"
#include "texts.hpp"

namespace {

using json = nlohmann::ordered_json;

std::string code_text(int32_t code)
{
    char shown[16];
    (void)std::snprintf(shown, sizeof shown, text::library_code, text::negated_code(code));
    return shown;
}

json optional_number(const std::optional<uint32_t>& number)
{
    return number ? json(*number) : json(nullptr);
}

json sequence_of(const run_result& result)
{
    json missing = json::array();
    for (const sequence_range& range : result.missing)
        missing.push_back(json::array({range.first, range.last}));
    return {{"first", optional_number(result.first_number)},
            {"last", optional_number(result.last_number)},
            {"missing", std::move(missing)}};
}

json keys_of(const run_result& result)
{
    json keys = json::array();
    for (const key_seen& seen : result.keys) {
        keys.push_back({{"sha256", fingerprint_hex(seen.key.sha256)},
                        {"type", seen.key.type.data()},
                        {"lines", seen.lines},
                        {"trusted", seen.trusted ? json(*seen.trusted) : json(nullptr)}});
    }
    return keys;
}

json problems_of(const run_options& options, const run_result& result)
{
    json problems = json::array();
    for (const line_problem& problem : result.problems) {
        problems.push_back(
            {{"log", options.logs[problem.where.log]},
             {"line", problem.where.line},
             {"kind", text::fate_of(problem.fate).json_kind},
             {"code", problem.fate == line_fate::key_error ? json(code_text(problem.key_code))
                                                           : json(nullptr)}});
    }
    return problems;
}

json error_object(const run_result& result)
{
    const std::optional<run_error>& error = result.error ? result.error : result.write_error;
    if (!error)
        return nullptr;
    json object = {{"kind", text::error_of(error->kind).json_kind},
                   {"path", error->path},
                   {"message", error->message}};
    if (error->line != 0)
        object["line"] = error->line;
    return object;
}

// The document on one line, in ASCII: every other character as a \u
// escape, bytes that are not UTF-8 as U+FFFD, and DEL escaped too, so that
// no byte of it is one a terminal acts on.
std::string document_text(const json& document)
{
    const std::string dumped = document.dump(-1, ' ', true, json::error_handler_t::replace);
    std::string text;
    text.reserve(dumped.size() + 1);
    for (const char c : dumped) {
        if (c == '\x7f') {
            text += "\\u007f";
        } else {
            text += c;
        }
    }
    text += '\n';
    return text;
}

json document_of(const run_options& options, const run_result& result)
{
    json document;
    document["version"] = 1;
    document["logs"] = options.logs;
    document["mode"] = options.mode == log_mode::event ? "event" : "transaction";
    document["result_log"] = options.result_log;
    document["lines"] = {{"read", result.lines_read},
                         {"blank", result.lines_blank},
                         {"checked", result.lines_checked},
                         {"ok", result.lines_ok}};
    document["errors"] = {{"key", result.key_errors},
                          {"signature", result.signature_errors},
                          {"untrusted_key", result.untrusted_key_errors},
                          {"sequence_number", result.sequence_number_errors},
                          {"missing_sequence", result.missing_numbers},
                          {"no_progression", result.no_progression ? 1 : 0}};
    document["sequence"] = sequence_of(result);
    document["keys"] = keys_of(result);
    document["key_lines_omitted"] = result.key_lines_omitted;
    document["problems"] = problems_of(options, result);
    document["problems_omitted"] = result.problems_omitted;
    // An interrupted run has no status: the process ends by the signal.
    document["status"] = result.status == run_status::interrupted
                             ? json(nullptr)
                             : json(static_cast<int32_t>(result.status));
    document["exit_code"] = result.exit_code();
    document["error"] = error_object(result);
    return document;
}

class json_report : public report {
public:
    json_report(const run_options& options, console_writer& console)
        : options_(options), console_(console)
    {
    }

    void start() override { console_.flush(); }
    void line(const line_report& /*line*/) override {}

    void end(const run_result& result) override
    {
        console_.write(document_text(document_of(options_, result)));
        console_.flush();
    }

private:
    const run_options& options_;
    console_writer& console_;
};

}  // namespace

std::unique_ptr<report> make_json_report(const run_options& options, console_writer& console)
{
    return std::make_unique<json_report>(options, console);
}
