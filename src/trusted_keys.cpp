#include "trusted_keys.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "hex.hpp"
#include "signature_check.hpp"
#include "texts.hpp"

namespace {

constexpr std::string_view FINGERPRINT_PREFIX = "sha256:";
// A line of an entry's conditions, directly before its PEM block.
constexpr std::string_view CONDITIONS_PREFIX = "conditions:";
constexpr std::string_view PEM_ANY_BEGIN = "-----BEGIN ";
// A certificate's key is trusted, within the certificate's dates where
// lines carry their time; nothing else of the certificate counts.
constexpr std::string_view PEM_CERTIFICATE_BEGIN = "-----BEGIN CERTIFICATE-----";
constexpr std::string_view PEM_CERTIFICATE_END = "-----END CERTIFICATE-----";
// A file of trusted keys is small; anything larger is not one.
constexpr std::size_t MAX_TRUSTED_KEYS_FILE = std::size_t{16} * 1024 * 1024;

struct file_closer {
    void operator()(std::FILE* file) const { (void)std::fclose(file); }
};

bool is_blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string_view trimmed(std::string_view line)
{
    while (!line.empty() && is_blank(line.front()))
        line.remove_prefix(1);
    while (!line.empty() && is_blank(line.back()))
        line.remove_suffix(1);
    return line;
}

// Reads the whole file; false with the system's words when it cannot.
bool read_file(const std::string& path, std::string& content, std::string& problem)
{
    const std::unique_ptr<std::FILE, file_closer> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        problem = std::strerror(errno);
        return false;
    }
    char chunk[65536];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
        content.append(chunk, got);
        if (content.size() > MAX_TRUSTED_KEYS_FILE) {
            problem = "larger than 16 MiB";
            return false;
        }
    }
    if (std::ferror(file.get()) != 0) {
        problem = std::strerror(errno);
        return false;
    }
    return true;
}

// Reads the words of an entry's conditions; false with the problem.
class conditions_reader {
public:
    explicit conditions_reader(key_conditions& conditions) : conditions_(conditions) {}

    bool read(std::string_view words, std::string& problem)
    {
        while (!(words = trimmed(words)).empty()) {
            std::size_t end = 0;
            while (end < words.size() && !is_blank(words[end]))
                ++end;
            if (!read_word(words.substr(0, end), problem))
                return false;
            words.remove_prefix(end);
        }
        if (conditions_.not_before && conditions_.not_after &&
            conditions_.not_before->time > conditions_.not_after->time) {
            problem = "not-before is after not-after";
            return false;
        }
        return true;
    }

private:
    bool read_word(std::string_view word, std::string& problem)
    {
        const std::size_t equals = word.find('=');
        const std::string_view name = word.substr(0, equals);
        const std::string_view value =
            equals == std::string_view::npos ? std::string_view() : word.substr(equals + 1);
        // Appended piece by piece: gcc 12 at -O3 takes a literal joined
        // with a temporary string for an overlapping copy (-Wrestrict).
        std::string quoted = "\"";
        quoted.append(value).append("\"");
        if (equals == std::string_view::npos ||
            std::find(std::begin(NAMES), std::end(NAMES), name) == std::end(NAMES)) {
            problem = "unknown condition \"" + std::string(word) +
                      "\" (seq=, revoked-after=, not-before=, not-after=)";
            return false;
        }
        if (std::find(seen_.begin(), seen_.end(), name) != seen_.end()) {
            problem = std::string(name) + "= given twice";
            return false;
        }
        seen_.push_back(name);
        if (name == "seq")
            return read_range(value, problem);
        if (name == "revoked-after") {
            conditions_.revoked_after = number_of(value);
            if (!conditions_.revoked_after)
                problem = "revoked-after= wants a number, not " + quoted;
            return conditions_.revoked_after.has_value();
        }
        const bool before = name == "not-before";
        const std::optional<unix_seconds> time = read_utc_date_or_time(value, !before);
        if (!time) {
            problem =
                std::string(name) + "= wants an ISO 8601 UTC date or date-time, not " + quoted;
            return false;
        }
        (before ? conditions_.not_before : conditions_.not_after) =
            time_bound{*time, std::string(value)};
        return true;
    }

    // A number of decimal digits that fits 32 bits.
    static std::optional<uint32_t> number_of(std::string_view digits)
    {
        constexpr std::size_t MOST_DIGITS = 10;
        if (digits.empty() || digits.size() > MOST_DIGITS)
            return std::nullopt;
        uint64_t value = 0;
        for (const char c : digits) {
            if (c < '0' || c > '9')
                return std::nullopt;
            value = value * 10 + static_cast<uint64_t>(c - '0');
        }
        if (value > UINT32_MAX)
            return std::nullopt;
        return static_cast<uint32_t>(value);
    }

    bool read_range(std::string_view value, std::string& problem)
    {
        const std::size_t dash = value.find('-');
        const std::string_view from = value.substr(0, dash);
        const std::string_view to =
            dash == std::string_view::npos ? std::string_view() : value.substr(dash + 1);
        if (dash == std::string_view::npos || (!from.empty() && !number_of(from)) ||
            (!to.empty() && !number_of(to))) {
            problem = "seq= wants A-B, A- or -B, not \"" + std::string(value) + "\"";
            return false;
        }
        if (from.empty() && to.empty()) {
            problem = "seq= is an empty range";
            return false;
        }
        if (!from.empty())
            conditions_.first = number_of(from);
        if (!to.empty())
            conditions_.last = number_of(to);
        if (conditions_.first && conditions_.last && *conditions_.first > *conditions_.last) {
            problem = "seq=" + std::string(value) + " is an empty range (reversed)";
            return false;
        }
        return true;
    }

    static constexpr std::string_view NAMES[] = {"seq", "revoked-after", "not-before", "not-after"};
    key_conditions& conditions_;
    std::vector<std::string_view> seen_;
};

using entries_of_keys = std::map<key_fingerprint, std::vector<key_conditions>>;

class trusted_keys_file {
public:
    trusted_keys_file(const std::string& path, entries_of_keys& entries, trusted_keys_error& error)
        : path_(path), entries_(entries), error_(error)
    {
    }

    bool load()
    {
        std::string content;
        std::string problem;
        if (!read_file(path_, content, problem))
            return fail(0, problem);
        std::string_view rest(content);
        while (!rest.empty()) {
            const std::size_t end = rest.find('\n');
            const std::string_view line = trimmed(rest.substr(0, end));
            rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
            ++number_;
            if (!take_line(line))
                return false;
        }
        if (pending_)
            return fail(pending_->line, "conditions without a PEM block after them");
        if (pem_line_ != 0)
            return fail(pem_line_, "PEM block without its END line");
        if (added_ == 0)
            return fail(0, "no key or fingerprint in it");
        return true;
    }

private:
    // One line of the file, trimmed; false once it is a bad entry.
    bool take_line(std::string_view line)
    {
        if (line.find('\0') != std::string_view::npos)
            return fail(number_, "a NUL byte in the line");
        if (pem_line_ != 0) {
            if (line != (pem_is_certificate_ ? PEM_CERTIFICATE_END : PEM_PUBLIC_KEY_END)) {
                pem_body_.append(line);
                return true;
            }
            const uint64_t begin = pem_line_;
            pem_line_ = 0;
            return pem_is_certificate_ ? add_certificate_key(begin)
                                       : add_key(pem_body_, begin, pem_conditions_);
        }
        // Conditions stand directly before the BEGIN line of their block.
        std::optional<key_conditions> conditions = std::exchange(pending_, std::nullopt);
        const bool begins = line == PEM_PUBLIC_KEY_BEGIN || line == PEM_CERTIFICATE_BEGIN;
        if (conditions && !begins)
            return fail(conditions->line, "conditions without a PEM block after them");
        if (line.empty() || line.front() == '#')
            return true;
        if (begins) {
            pem_line_ = number_;
            pem_is_certificate_ = line == PEM_CERTIFICATE_BEGIN;
            pem_body_.clear();
            pem_conditions_ = conditions ? *conditions : conditions_here();
            return true;
        }
        if (line.starts_with(CONDITIONS_PREFIX)) {
            pending_ = conditions_here();
            return read_conditions(line.substr(CONDITIONS_PREFIX.size()), *pending_);
        }
        if (line.starts_with(PEM_ANY_BEGIN))
            return fail(number_, "not a PEM PUBLIC KEY or CERTIFICATE block");
        // A fingerprint or a key line, and the words of its conditions.
        std::size_t end = 0;
        while (end < line.size() && !is_blank(line[end]))
            ++end;
        const std::string_view entry = line.substr(0, end);
        key_conditions entry_conditions = conditions_here();
        if (!read_conditions(line.substr(end), entry_conditions))
            return false;
        if (entry.starts_with(FINGERPRINT_PREFIX)) {
            key_fingerprint fingerprint{};
            if (!bytes_of_hex(entry.substr(FINGERPRINT_PREFIX.size()), fingerprint))
                return fail(number_, "not a fingerprint (sha256: and 64 hex digits)");
            add(fingerprint, std::move(entry_conditions));
            return true;
        }
        return add_key(std::string(entry), number_, entry_conditions);
    }

    key_conditions conditions_here() const
    {
        key_conditions conditions;
        conditions.path = path_;
        conditions.line = number_;
        return conditions;
    }

    bool read_conditions(std::string_view words, key_conditions& conditions)
    {
        std::string problem;
        if (!conditions_reader(conditions).read(words, problem))
            return fail(number_, problem);
        return true;
    }

    void add(const key_fingerprint& key, key_conditions conditions)
    {
        entries_[key].push_back(std::move(conditions));
        ++added_;
    }

    bool add_key(const std::string& key_field, uint64_t line, const key_conditions& conditions)
    {
        const key_parse parsed = identify_key(key_field);
        if (parsed.code != 0) {
            char problem[64];
            (void)std::snprintf(problem, sizeof problem, text::trusted_key_does_not_parse,
                                text::negated_code(parsed.code));
            return fail(line, problem);
        }
        add(parsed.identity.sha256, conditions);
        return true;
    }

    bool add_certificate_key(uint64_t line)
    {
        const certificate_key_parse parsed = identify_certificate_key(pem_body_);
        char problem[64];
        if (parsed.certificate_code != 0) {
            (void)std::snprintf(problem, sizeof problem, text::trusted_certificate_does_not_parse,
                                text::negated_code(parsed.certificate_code));
            return fail(line, problem);
        }
        if (parsed.key.code != 0) {
            (void)std::snprintf(problem, sizeof problem,
                                text::trusted_certificate_key_does_not_parse,
                                text::negated_code(parsed.key.code));
            return fail(line, problem);
        }
        key_conditions conditions = pem_conditions_;
        // A date the X.509 parser read is one this reader reads; one it
        // does not is no bound.
        if (const std::optional<unix_seconds> from = read_utc_time(parsed.valid_from))
            conditions.certificate_not_before = time_bound{*from, parsed.valid_from};
        if (const std::optional<unix_seconds> to = read_utc_time(parsed.valid_to))
            conditions.certificate_not_after = time_bound{*to, parsed.valid_to};
        add(parsed.key.identity.sha256, std::move(conditions));
        return true;
    }

    bool fail(uint64_t line, const std::string& message)
    {
        error_ = {path_, line, message};
        return false;
    }

    const std::string& path_;
    entries_of_keys& entries_;
    trusted_keys_error& error_;
    uint64_t number_ = 0;
    std::size_t added_ = 0;
    // The line of the PEM block being read, 0 outside one, and its
    // conditions.
    uint64_t pem_line_ = 0;
    bool pem_is_certificate_ = false;
    std::string pem_body_;
    key_conditions pem_conditions_;
    // A "conditions:" line, until the BEGIN line after it.
    std::optional<key_conditions> pending_;
};

bool has_bounds(const key_conditions& conditions)
{
    return conditions.bounded() || conditions.certificate_not_before ||
           conditions.certificate_not_after;
}

std::string time_words(const char* name, const std::optional<time_bound>& bound)
{
    return bound ? std::string(" ") + name + "=" + std::to_string(bound->time) : "";
}

}  // namespace

bool load_trusted_keys(const std::vector<std::string>& paths, trust_list& trust,
                       trusted_keys_error& error)
{
    entries_of_keys entries;
    for (const std::string& path : paths) {
        if (!trusted_keys_file(path, entries, error).load())
            return false;
    }
    trust.keys.clear();
    trust.conditions.clear();
    for (auto& [key, of_key] : entries) {
        trust.keys.push_back(key);
        // An entry without bounds lets its key sign every line.
        if (std::all_of(of_key.begin(), of_key.end(), has_bounds))
            trust.conditions.emplace(key, std::move(of_key));
    }
    return true;
}

condition_miss condition_miss_of(const key_conditions& conditions, uint32_t number,
                                 const line_time& time)
{
    if (number != 0) {
        if (conditions.first && number < *conditions.first)
            return condition_miss::below_first;
        if (conditions.last && number > *conditions.last)
            return condition_miss::above_last;
        if (conditions.revoked_after && number > *conditions.revoked_after)
            return condition_miss::revoked;
    }
    // A certificate's own dates count where lines carry their time.
    const bool certified =
        time.read && (conditions.certificate_not_before || conditions.certificate_not_after);
    if (!conditions.dated() && !certified)
        return condition_miss::none;
    if (!time.value)
        return condition_miss::no_time;
    const unix_seconds at = *time.value;
    if (conditions.not_before && at < conditions.not_before->time)
        return condition_miss::before;
    if (conditions.not_after && at > conditions.not_after->time)
        return condition_miss::after;
    if (certified && conditions.certificate_not_before &&
        at < conditions.certificate_not_before->time)
        return condition_miss::before_certificate;
    if (certified && conditions.certificate_not_after &&
        at > conditions.certificate_not_after->time)
        return condition_miss::after_certificate;
    return condition_miss::none;
}

key_refusal key_refusal_of(const trust_list& trust, const key_fingerprint& key, uint32_t number,
                           const line_time& time)
{
    const auto found = trust.conditions.find(key);
    if (found == trust.conditions.end())
        return {};
    key_refusal refusal;
    for (const key_conditions& entry : found->second) {
        const condition_miss miss = condition_miss_of(entry, number, time);
        if (miss == condition_miss::none)
            return {};
        if (refusal.entry == nullptr)
            refusal = {&entry, miss};
    }
    return refusal;
}

std::string conditions_text(const trust_list& trust)
{
    std::string text;
    const auto number_words = [](const char* name, const std::optional<uint32_t>& number) {
        return number ? std::string(" ") + name + "=" + std::to_string(*number) : "";
    };
    for (const auto& [key, entries] : trust.conditions) {
        text += hex_of(key);
        for (const key_conditions& entry : entries) {
            text += number_words(" first", entry.first) + number_words("last", entry.last) +
                    number_words("revoked-after", entry.revoked_after) +
                    time_words("not-before", entry.not_before) +
                    time_words("not-after", entry.not_after) +
                    time_words("certificate-not-before", entry.certificate_not_before) +
                    time_words("certificate-not-after", entry.certificate_not_after) + ";";
        }
        text += '\n';
    }
    return text;
}
