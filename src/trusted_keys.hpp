// The keys that may sign a log, read from files of PEM PUBLIC KEY blocks,
// PEM CERTIFICATE blocks (whose key is trusted; neither issuers nor
// signatures are checked), bare base64 key lines (like a log's key field)
// and fingerprints "sha256:" followed by 64 hex digits. Blank lines and
// lines that start with "#" are ignored.
//
// An entry may bound the lines its key may sign, with words after a
// fingerprint or a key line, or on a line "conditions: WORDS" directly
// before a PEM block's BEGIN line: seq=A-B (inclusive, either side open),
// revoked-after=N, not-before=T and not-after=T (ISO 8601 UTC dates or
// date-times, inclusive, against the line's time). A certificate's own
// validity dates bound its key too, where lines carry their time. A key of
// several entries may sign a line that any of them allows.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "key_identity.hpp"
#include "line_time.hpp"

struct trusted_keys_error {
    std::string path;
    uint64_t line = 0;  // 0 when no one line is to blame
    std::string message;
};

// A bound in time, with its text as written.
struct time_bound {
    unix_seconds time = 0;
    std::string text;
};

// When an entry's key may sign a line; every bound is optional.
struct key_conditions {
    std::optional<uint32_t> first;          // seq=A-
    std::optional<uint32_t> last;           // seq=-B
    std::optional<uint32_t> revoked_after;  // revoked-after=N
    std::optional<time_bound> not_before;
    std::optional<time_bound> not_after;
    // The certificate the key came in: its validity, which counts only
    // where lines carry their time.
    std::optional<time_bound> certificate_not_before;
    std::optional<time_bound> certificate_not_after;
    // Where the entry stands.
    std::string path;
    uint64_t line = 0;

    // Whether any word bounds the entry (a certificate's dates aside).
    bool bounded() const { return first || last || revoked_after || not_before || not_after; }
    // Whether a word bounds it in time.
    bool dated() const { return not_before || not_after; }
};

struct trust_list {
    trusted_fingerprints keys;  // sorted, without repeats
    // Every entry of each key that some entry bounds (a certificate's dates
    // included); a key not here may sign every line.
    std::map<key_fingerprint, std::vector<key_conditions>> conditions;
};

// Reads every file into trust. Returns false, with the first problem in
// error, when a file cannot be read, holds no key or fingerprint, or holds
// an entry that is neither, or a condition that is none.
bool load_trusted_keys(const std::vector<std::string>& paths, trust_list& trust,
                       trusted_keys_error& error);

// Why an entry does not allow a line, if it does not.
enum class condition_miss {
    none,
    below_first,  // its number is below seq=A-
    above_last,   // its number is above seq=-B
    revoked,      // its number is above revoked-after=N
    no_time,      // a bound in time, and the line has no time to hold it to
    before,       // its time is before not-before
    after,        // its time is after not-after
    before_certificate,
    after_certificate,
};

// Whether the entry allows a line of number (0 for none: the number's own
// bounds then do not count) and time.
condition_miss condition_miss_of(const key_conditions& conditions, uint32_t number,
                                 const line_time& time);

// An entry among those of key that does not allow the line, and why, when
// none does; nothing when one does (or the key has no conditions).
struct key_refusal {
    const key_conditions* entry = nullptr;
    condition_miss miss = condition_miss::none;
};
key_refusal key_refusal_of(const trust_list& trust, const key_fingerprint& key, uint32_t number,
                           const line_time& time);

// The conditions of every entry as one text, the same for the same
// conditions: what a checkpoint compares.
std::string conditions_text(const trust_list& trust);
