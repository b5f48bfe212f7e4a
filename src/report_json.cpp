// The JSON report: one document on standard output, for every run past the
// command line, and nothing else.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>

#include "console.hpp"
#include "report.hpp"
#include "texts.hpp"
#include "trusted_keys.hpp"

namespace {

using json = nlohmann::ordered_json;

const char* fate_name(line_fate fate)
{
    switch (fate) {
        case line_fate::key_error:
            return "key";
        case line_fate::bad_signature:
            return "signature";
        case line_fate::untrusted_key:
            return "untrusted_key";
        case line_fate::no_sequence_number:
            return "sequence_number";
        case line_fate::ok:
            break;
    }
    return "ok";
}

const char* error_kind_name(run_error_kind kind)
{
    switch (kind) {
        case run_error_kind::trusted_keys:
            return "trusted_keys";
        case run_error_kind::open_log:
            return "open_log";
        case run_error_kind::read_log:
            return "read_log";
        case run_error_kind::open_result_log:
            return "open_result_log";
        case run_error_kind::result_log_is_log:
            return "result_log_is_log";
        case run_error_kind::result_log_is_output:
            return "result_log_is_output";
        case run_error_kind::result_log_locked:
            return "result_log_locked";
        case run_error_kind::out_of_memory:
            return "out_of_memory";
        case run_error_kind::interrupted:
            return "interrupted";
        case run_error_kind::write_result_log:
            return "write_result_log";
    }
    return "unknown";
}

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
             {"kind", fate_name(problem.fate)},
             {"code", problem.fate == line_fate::key_error ? json(code_text(problem.key_code))
                                                           : json(nullptr)}});
    }
    return problems;
}

json error_of(const run_result& result)
{
    const std::optional<run_error>& error = result.error ? result.error : result.write_error;
    if (!error)
        return nullptr;
    json object = {{"kind", error_kind_name(error->kind)},
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

}  // namespace

void json_end(const run_options& options, const run_result& result)
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
    document["problems"] = problems_of(options, result);
    document["problems_omitted"] = result.problems_omitted;
    // An interrupted run has no status: the process ends by the signal.
    document["status"] = result.status == run_status::interrupted
                             ? json(nullptr)
                             : json(static_cast<int32_t>(result.status));
    document["exit_code"] = process_exit_code(result.status);
    document["error"] = error_of(result);
    console_print("%s", document_text(document).c_str());
}
