#include "trusted_keys.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "hex.hpp"
#include "signature_check.hpp"
#include "texts.hpp"

namespace {

constexpr std::string_view FINGERPRINT_PREFIX = "sha256:";
constexpr std::string_view PEM_ANY_BEGIN = "-----BEGIN ";
// A certificate's key is trusted; nothing else of the certificate counts.
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

class trusted_keys_file {
public:
    trusted_keys_file(const std::string& path, trusted_fingerprints& keys,
                      trusted_keys_error& error)
        : path_(path), keys_(keys), error_(error)
    {
    }

    bool load()
    {
        std::string content;
        std::string problem;
        if (!read_file(path_, content, problem))
            return fail(0, problem);
        const std::size_t keys_before = keys_.size();
        std::string_view rest(content);
        while (!rest.empty()) {
            const std::size_t end = rest.find('\n');
            const std::string_view line = trimmed(rest.substr(0, end));
            rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
            ++number_;
            if (!take_line(line))
                return false;
        }
        if (pem_line_ != 0)
            return fail(pem_line_, "PEM block without its END line");
        if (keys_.size() == keys_before)
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
            return pem_is_certificate_ ? add_certificate_key(begin) : add_key(pem_body_, begin);
        }
        if (line.empty() || line.front() == '#')
            return true;
        if (line == PEM_PUBLIC_KEY_BEGIN || line == PEM_CERTIFICATE_BEGIN) {
            pem_line_ = number_;
            pem_is_certificate_ = line == PEM_CERTIFICATE_BEGIN;
            pem_body_.clear();
            return true;
        }
        if (line.starts_with(PEM_ANY_BEGIN))
            return fail(number_, "not a PEM PUBLIC KEY or CERTIFICATE block");
        if (line.starts_with(FINGERPRINT_PREFIX)) {
            key_fingerprint fingerprint{};
            if (!bytes_of_hex(line.substr(FINGERPRINT_PREFIX.size()), fingerprint))
                return fail(number_, "not a fingerprint (sha256: and 64 hex digits)");
            keys_.push_back(fingerprint);
            return true;
        }
        return add_key(std::string(line), number_);
    }

    bool add_key(const std::string& key_field, uint64_t line)
    {
        const key_parse parsed = identify_key(key_field);
        if (parsed.code != 0) {
            char problem[64];
            (void)std::snprintf(problem, sizeof problem, text::trusted_key_does_not_parse,
                                text::negated_code(parsed.code));
            return fail(line, problem);
        }
        keys_.push_back(parsed.identity.sha256);
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
        keys_.push_back(parsed.key.identity.sha256);
        return true;
    }

    bool fail(uint64_t line, const std::string& message)
    {
        error_ = {path_, line, message};
        return false;
    }

    const std::string& path_;
    trusted_fingerprints& keys_;
    trusted_keys_error& error_;
    uint64_t number_ = 0;
    // The line of the PEM block being read, 0 outside one.
    uint64_t pem_line_ = 0;
    bool pem_is_certificate_ = false;
    std::string pem_body_;
};

}  // namespace

bool load_trusted_keys(const std::vector<std::string>& paths, trusted_fingerprints& keys,
                       trusted_keys_error& error)
{
    for (const std::string& path : paths) {
        if (!trusted_keys_file(path, keys, error).load())
            return false;
    }
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return true;
}
