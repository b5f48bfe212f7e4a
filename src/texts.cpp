#include "texts.hpp"

#include <cstdio>
#include <utility>

namespace text {

namespace {

struct placeholder {
    std::string_view name;
    void (*append)(std::string& text, const values& values);
};

// Numbers take at most 20 digits and a sign.
using number_text = char[32];

void append_number(std::string& text, const number_text& shown, int length)
{
    if (length > 0)
        text.append(shown, static_cast<std::size_t>(length));
}

constexpr placeholder PLACEHOLDERS[] = {
    {"{path}", [](std::string& text, const values& v) { text += v.path; }},
    {"{line}",
     [](std::string& text, const values& v) {
         number_text shown;
         append_number(text, shown,
                       std::snprintf(shown, sizeof shown, "%llu",
                                     static_cast<unsigned long long>(v.line)));
     }},
    {"{counter}",
     [](std::string& text, const values& v) {
         // As the console has always shown it: the 32-bit counter as an int.
         number_text shown;
         append_number(text, shown,
                       std::snprintf(shown, sizeof shown, "%d", static_cast<int>(v.counter)));
     }},
    {"{code}",
     [](std::string& text, const values& v) {
         number_text shown;
         append_number(text, shown,
                       std::snprintf(shown, sizeof shown, library_code, negated_code(v.code)));
     }},
    {"{message}", [](std::string& text, const values& v) { text += v.message; }},
    {"{key}", [](std::string& text, const values& v) { text += v.key; }},
    {"{number}", [](std::string& text, const values& v) { text += std::to_string(v.number); }},
    {"{detail}", [](std::string& text, const values& v) { text += v.detail; }},
};

}  // namespace

std::string fill(std::string_view pattern, const values& values)
{
    std::string text;
    while (!pattern.empty()) {
        const std::size_t brace = pattern.find('{');
        text += pattern.substr(0, brace);
        if (brace == std::string_view::npos)
            break;
        pattern.remove_prefix(brace);
        const placeholder* found = nullptr;
        for (const placeholder& candidate : PLACEHOLDERS) {
            if (pattern.starts_with(candidate.name))
                found = &candidate;
        }
        if (found == nullptr) {
            text += '{';
            pattern.remove_prefix(1);
            continue;
        }
        found->append(text, values);
        pattern.remove_prefix(found->name.size());
    }
    return text;
}

namespace {

// Why a trusted key's conditions did not allow a line.
std::string refusal_text(const line_refusal& refusal)
{
    const key_conditions* const entry = refusal.entry;
    if (entry == nullptr)
        return "";
    const std::string time = refusal.time ? utc_text(*refusal.time) : "";
    switch (refusal.miss) {
        case condition_miss::below_first:
        case condition_miss::above_last:
            if (entry->first && entry->last) {
                return "valid " + std::to_string(*entry->first) + " to " +
                       std::to_string(*entry->last);
            }
            return entry->first ? "valid from " + std::to_string(*entry->first)
                                : "valid to " + std::to_string(entry->last.value_or(0));
        case condition_miss::revoked:
            return "revoked after " + std::to_string(entry->revoked_after.value_or(0));
        case condition_miss::no_time:
            return "no time to hold to its dates";
        case condition_miss::before:
            return "time " + time + " before " + entry->not_before->text;
        case condition_miss::after:
            return "time " + time + " after " + entry->not_after->text;
        case condition_miss::before_certificate:
            return "time " + time + " before its certificate's " +
                   entry->certificate_not_before->text;
        case condition_miss::after_certificate:
            return "time " + time + " after its certificate's " +
                   entry->certificate_not_after->text;
        case condition_miss::none:
            break;
    }
    return "";
}

std::string detail_of(line_fate fate, std::string_view first_path, uint64_t first_line,
                      uint32_t largest_before, const line_refusal& refusal,
                      const run_options& asked)
{
    switch (fate_of(fate).detail) {
        case fate_detail::first_seen:
            if (first_path.empty())
                return "first in an earlier run";
            return "first at " + std::string(first_path) + ":" + std::to_string(first_line);
        case fate_detail::largest_before:
            return std::to_string(largest_before);
        case fate_detail::expected_range:
            if (asked.expect_first && asked.expect_last) {
                return std::to_string(*asked.expect_first) + " to " +
                       std::to_string(*asked.expect_last);
            }
            if (asked.expect_first)
                return "from " + std::to_string(*asked.expect_first);
            return "to " + std::to_string(asked.expect_last.value_or(0));
        case fate_detail::key_conditions:
            return refusal_text(refusal);
        case fate_detail::time_held:
            return utc_text(refusal.time.value_or(0)) +
                   (fate == line_fate::time_backwards ? " before " : " after ") +
                   utc_text(refusal.held_to);
        case fate_detail::none:
            break;
    }
    return "";
}

}  // namespace

std::string detail_of(const line_report& line, const run_options& asked)
{
    return detail_of(line.fate, line.first_path, line.first_line, line.largest_before, line.refusal,
                     asked);
}

std::string detail_of(const line_problem& problem, const run_options& asked)
{
    return detail_of(problem.fate, problem.first_path, problem.first_line, problem.largest_before,
                     problem.refusal, asked);
}

std::string fate_words(line_fate fate, const values& values)
{
    constexpr std::string_view PLACE = "{path}:{line}: ";
    std::string_view pattern = fate_of(fate).quiet != nullptr ? fate_of(fate).quiet : "";
    if (pattern.starts_with(PLACE))
        pattern.remove_prefix(PLACE.size());
    if (pattern.ends_with('\n'))
        pattern.remove_suffix(1);
    return fill(pattern, values);
}

run_error run_error_of(run_error_kind kind, const std::string& path, std::string message,
                       uint64_t line)
{
    const char* const own_words = error_of(kind).message;
    return {kind, path, own_words != nullptr ? own_words : std::move(message), line};
}

std::string result_log_record(const run_error& error)
{
    const char* const pattern = error_of(error.kind).record;
    if (pattern == nullptr)
        return "";
    const auto without_separators = [](std::string text) {
        for (char& c : text) {
            if (c == ',')
                c = ';';
            if (c == '\n' || c == '\r')
                c = ' ';
        }
        return text;
    };
    const std::string path = without_separators(error.path);
    const std::string message = without_separators(error.message);
    values values;
    values.path = path;
    values.message = message;
    values.line = error.line;
    return fill(pattern, values);
}

}  // namespace text
