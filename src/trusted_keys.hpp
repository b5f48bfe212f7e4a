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

#include "key_conditions.hpp"
#include "key_identity.hpp"
#include "line_time.hpp"

struct trusted_keys_error {
    std::string path;
    uint64_t line = 0;  // 0 when no one line is to blame
    std::string message;
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
