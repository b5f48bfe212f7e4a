// The JSON report: one document on standard output, for every run past the
// command line, and nothing else. The document is written as it goes,
// without a tree of it in memory: a run that ran out of memory, or whose
// ranges of missing numbers are many, still gets its document whole.
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>

#include "console.hpp"
#include "hex.hpp"
#include "report.hpp"
#include "report_forms.hpp"
#include "texts.hpp"

namespace {

constexpr uint32_t REPLACEMENT_CHARACTER = 0xFFFD;

// How many bytes at text, up to end, form one UTF-8 character, and its code
// point; for bytes that do not, U+FFFD for the longest start of a sequence
// that could still have been one (at least one byte), as Unicode
// recommends and as earlier versions of the tool wrote such bytes.
std::size_t decode_utf8(const unsigned char* text, const unsigned char* end, uint32_t& code_point)
{
    const unsigned char lead = text[0];
    std::size_t size = 0;
    unsigned char second_low = 0x80;
    unsigned char second_high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        size = 2;
        code_point = lead & 0x1FU;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        size = 3;
        code_point = lead & 0x0FU;
        // No overlong forms and no surrogates.
        second_low = lead == 0xE0 ? 0xA0 : 0x80;
        second_high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        size = 4;
        code_point = lead & 0x07U;
        // No overlong forms and nothing beyond U+10FFFF.
        second_low = lead == 0xF0 ? 0x90 : 0x80;
        second_high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        code_point = REPLACEMENT_CHARACTER;
        return 1;
    }
    for (std::size_t i = 1; i < size; ++i) {
        const unsigned char low = i == 1 ? second_low : 0x80;
        const unsigned char high = i == 1 ? second_high : 0xBF;
        if (text + i == end || text[i] < low || text[i] > high) {
            code_point = REPLACEMENT_CHARACTER;
            return i;
        }
        code_point = code_point << 6 | (text[i] & 0x3FU);
    }
    return size;
}

// Writes the document piece by piece to the console. Nothing here
// allocates: numbers and escapes are formatted into the console's buffer.
class document_writer {
public:
    explicit document_writer(console_writer& console) : console_(console) {}

    void write(const run_options& options, const run_result& result)
    {
        // A followed log's document is the last of its events.
        put(options.follow ? "{\"event\":\"end\",\"version\":1,\"logs\":["
                           : "{\"version\":1,\"logs\":[");
        for (std::size_t i = 0; i < options.logs.size(); ++i) {
            put(i == 0 ? "" : ",");
            string(options.logs[i]);
        }
        put("],\"mode\":");
        put(options.mode == log_mode::event ? "\"event\"" : "\"transaction\"");
        put(",\"result_log\":");
        string(options.result_log);
        put(",");
        counts(result);
        put(",\"keys\":");
        keys(result);
        put(",\"key_lines_omitted\":");
        number(result.key_lines_omitted);
        put(",\"problems\":");
        problems(options, result);
        put(",\"problems_omitted\":");
        number(result.problems_omitted);
        // An interrupted run has no status: the process ends by the signal.
        put(",\"status\":");
        if (result.status == run_status::interrupted) {
            put("null");
        } else {
            signed_number(static_cast<int32_t>(result.status));
        }
        put(",\"exit_code\":");
        signed_number(result.exit_code());
        put(",\"error\":");
        error(result.error ? result.error : result.write_error);
        if (result.checkpoint)
            checkpoint(*result.checkpoint);
        put("}\n");
    }

    // The events of a followed log, each an object on a line of its own.
    void problem_event(const std::string& log, const line_report& line)
    {
        put("{\"event\":\"problem\",");
        problem_fields(log, line.where.line, line.fate, line.key_code);
        put("}\n");
    }

    void missing_event(const sequence_range& range)
    {
        put("{\"event\":\"missing\",\"first\":");
        number(range.first);
        put(",\"last\":");
        number(range.last);
        put("}\n");
    }

    void rotation_event(const std::string& log, const char* how, const std::string& copy)
    {
        put("{\"event\":\"rotation\",\"log\":");
        string(log);
        put(",\"how\":\"");
        put(how);
        put("\",\"copy\":");
        if (copy.empty()) {
            put("null");
        } else {
            string(copy);
        }
        put("}\n");
    }

    void summary_event(const run_result& result)
    {
        put("{\"event\":\"summary\",");
        counts(result);
        put("}\n");
    }

private:
    // The lines, errors and sequence members, of the document and of a
    // summary event alike.
    void counts(const run_result& result)
    {
        put("\"lines\":{\"read\":");
        number(result.lines_read);
        put(",\"blank\":");
        number(result.lines_blank);
        put(",\"checked\":");
        number(result.lines_checked);
        put(",\"ok\":");
        number(result.lines_of(line_fate::ok));
        put("},\"errors\":");
        errors(result);
        put(",\"sequence\":");
        sequence(result);
    }

    void put(std::string_view text) { console_.write(text); }
    void number(uint64_t value) { console_.print("%llu", static_cast<unsigned long long>(value)); }
    void signed_number(int64_t value) { console_.print("%lld", static_cast<long long>(value)); }
    void optional_number(const std::optional<uint32_t>& value)
    {
        if (value) {
            number(*value);
        } else {
            put("null");
        }
    }

    // The count of each kind of error, their sum the summary's error count:
    // the lines of every fate but ok, in the fates' order, the whole run's
    // missing numbers and lack of progression after the lines without a
    // usable number, and a run in which nothing was verified last.
    void errors(const run_result& result)
    {
        put("{");
        const char* separator = "\"";
        for (const text::fate_texts& row : text::FATES) {
            if (row.fate == line_fate::ok)
                continue;
            put(separator);
            separator = ",\"";
            put(row.json_kind);
            put("\":");
            number(result.lines_of(row.fate));
            if (row.fate == line_fate::no_sequence_number) {
                put(",\"missing_sequence\":");
                number(result.missing_numbers);
                put(",\"no_progression\":");
                number(result.no_progression ? 1 : 0);
            }
        }
        put(",\"nothing_verified\":");
        number(result.nothing_verified ? 1 : 0);
        put("}");
    }

    void sequence(const run_result& result)
    {
        put("{\"first\":");
        optional_number(result.first_number);
        put(",\"last\":");
        optional_number(result.last_number);
        put(",\"missing\":[");
        for (std::size_t i = 0; i < result.missing.size(); ++i) {
            put(i == 0 ? "[" : ",[");
            number(result.missing[i].first);
            put(",");
            number(result.missing[i].last);
            put("]");
        }
        put("],\"repeated\":");
        number(result.repeated_numbers);
        put(",\"out_of_order\":");
        number(result.out_of_order_numbers);
        put("}");
    }

    void checkpoint(const checkpoint_report& checkpoint)
    {
        put(",\"checkpoint\":{\"path\":");
        string(checkpoint.path);
        put(",\"verified_lines\":");
        number(checkpoint.verified_lines);
        put(",\"resumed_lines\":");
        number(checkpoint.resumed_lines);
        put(",\"retired_logs\":[");
        for (std::size_t i = 0; i < checkpoint.retired_logs.size(); ++i) {
            put(i == 0 ? "" : ",");
            string(checkpoint.retired_logs[i]);
        }
        put("],\"written\":");
        put(checkpoint.written ? "true" : "false");
        put("}");
    }

    void keys(const run_result& result)
    {
        put("[");
        for (std::size_t i = 0; i < result.keys.size(); ++i) {
            const key_seen& seen = result.keys[i];
            put(i == 0 ? "{\"sha256\":\"" : ",{\"sha256\":\"");
            put(hex_of(seen.key.sha256));
            put("\",\"type\":");
            string(seen.key.type.data());
            put(",\"lines\":");
            number(seen.lines);
            put(",\"trusted\":");
            put(!seen.trusted ? "null" : *seen.trusted ? "true" : "false");
            put(",\"conditions\":");
            conditions(seen.conditions);
            put("}");
        }
        put("]");
    }

    // A trusted key's entries, each with its bounds (null where it has
    // none), or null for a key that may sign any line.
    void conditions(const std::vector<key_conditions>* entries)
    {
        if (entries == nullptr) {
            put("null");
            return;
        }
        put("[");
        for (std::size_t i = 0; i < entries->size(); ++i) {
            const key_conditions& entry = (*entries)[i];
            put(i == 0 ? "{\"entry\":" : ",{\"entry\":");
            string(entry.path + ":" + std::to_string(entry.line));
            put(",\"seq\":");
            if (entry.first || entry.last) {
                put("[");
                optional_number(entry.first);
                put(",");
                optional_number(entry.last);
                put("]");
            } else {
                put("null");
            }
            put(",\"revoked_after\":");
            optional_number(entry.revoked_after);
            for (const auto& [name, bound] :
                 {std::pair{",\"not_before\":", &entry.not_before},
                  std::pair{",\"not_after\":", &entry.not_after},
                  std::pair{",\"certificate_not_before\":", &entry.certificate_not_before},
                  std::pair{",\"certificate_not_after\":", &entry.certificate_not_after}}) {
                put(name);
                if (*bound) {
                    string((*bound)->text);
                } else {
                    put("null");
                }
            }
            put("}");
        }
        put("]");
    }

    // Earlier runs' problems first, marked as such, then this run's.
    void problems(const run_options& options, const run_result& result)
    {
        put("[");
        bool first = true;
        for (const earlier_problem& problem : result.earlier_problems) {
            put(first ? "" : ",");
            first = false;
            problem_object(problem.path, problem.line, problem.fate, problem.key_code, true);
        }
        for (const line_problem& problem : result.problems) {
            put(first ? "" : ",");
            first = false;
            problem_object(options.logs[problem.where.log], problem.where.line, problem.fate,
                           problem.key_code, false);
        }
        put("]");
    }

    void problem_object(const std::string& log, uint64_t line, line_fate fate, int32_t key_code,
                        bool earlier)
    {
        put("{");
        problem_fields(log, line, fate, key_code);
        if (earlier)
            put(",\"earlier\":true");
        put("}");
    }

    void problem_fields(const std::string& log, uint64_t line, line_fate fate, int32_t key_code)
    {
        put("\"log\":");
        string(log);
        put(",\"line\":");
        number(line);
        put(",\"kind\":\"");
        put(text::fate_of(fate).json_kind);
        put("\",\"code\":");
        if (fate == line_fate::key_error) {
            put("\"");
            console_.print(text::library_code, text::negated_code(key_code));
            put("\"");
        } else {
            put("null");
        }
    }

    void error(const std::optional<run_error>& error)
    {
        if (!error) {
            put("null");
            return;
        }
        put("{\"kind\":\"");
        put(text::error_of(error->kind).json_kind);
        put("\",\"path\":");
        string(error->path);
        put(",\"message\":");
        string(error->message);
        if (error->line != 0) {
            put(",\"line\":");
            number(error->line);
        }
        if (!error->lines.empty()) {
            put(",\"lines\":[");
            for (std::size_t i = 0; i < error->lines.size(); ++i) {
                put(i == 0 ? "{\"line\":" : ",{\"line\":");
                number(error->lines[i].line);
                put(",\"message\":");
                string(error->lines[i].message);
                put("}");
            }
            put("]");
        }
        put("}");
    }

    // A JSON string in ASCII: every other character as a \u escape, bytes
    // that are not UTF-8 as U+FFFD, and DEL escaped too, so that no byte of
    // the document is one a terminal acts on.
    void string(std::string_view text)
    {
        put("\"");
        const auto* at = reinterpret_cast<const unsigned char*>(text.data());
        const auto* const end = at + text.size();
        while (at < end) {
            const unsigned char c = *at;
            if (c >= 0x80) {
                uint32_t code_point = 0;
                at += decode_utf8(at, end, code_point);
                escape(code_point);
                continue;
            }
            ++at;
            if (c == '"' || c == '\\') {
                const char escaped[] = {'\\', static_cast<char>(c)};
                put({escaped, sizeof escaped});
            } else if (c >= 0x20 && c < 0x7F) {
                const char plain = static_cast<char>(c);
                put({&plain, 1});
            } else {
                escape(c);
            }
        }
        put("\"");
    }

    void escape(uint32_t code_point)
    {
        switch (code_point) {
            case '\b':
                put("\\b");
                return;
            case '\f':
                put("\\f");
                return;
            case '\n':
                put("\\n");
                return;
            case '\r':
                put("\\r");
                return;
            case '\t':
                put("\\t");
                return;
            default:
                break;
        }
        if (code_point >= 0x10000) {
            const uint32_t value = code_point - 0x10000;
            console_.print("\\u%04x\\u%04x", 0xD800 + (value >> 10), 0xDC00 + (value & 0x3FF));
        } else {
            console_.print("\\u%04x", code_point);
        }
    }

    console_writer& console_;
};

class json_report : public report {
public:
    json_report(const run_options& options, console_writer& console)
        : options_(options), console_(console)
    {
    }

    // The document is the only output; it lists the keys.
    bool lists_keys() const override { return true; }
    bool says_run_errors_on_standard_error() const override { return true; }
    bool shows_progress_on_a_terminal() const override { return true; }

    void start() override { console_.flush(); }
    void resumed(const run_result& /*result*/) override {}

    // A followed log's problems, gaps, rotations and summaries are events,
    // one object a line, each written at once; otherwise the document comes
    // whole at the end.
    void line(const line_report& line) override
    {
        if (!options_.follow || line.fate == line_fate::ok)
            return;
        document_writer(console_).problem_event(options_.logs[line.where.log], line);
        console_.flush();
    }
    void missing(const sequence_range& range) override
    {
        document_writer(console_).missing_event(range);
        console_.flush();
    }
    void rotated(const std::string& log, const char* how, const std::string& copy) override
    {
        document_writer(console_).rotation_event(log, how, copy);
        console_.flush();
    }
    void summary(const run_result& result) override
    {
        document_writer(console_).summary_event(result);
        console_.flush();
    }

    void end(const run_result& result) override
    {
        document_writer(console_).write(options_, result);
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
