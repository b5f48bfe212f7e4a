// When a trusted key may sign a line: the conditions of an entry of a
// trusted-keys file, and why an entry does not allow a line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "line_time.hpp"

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
