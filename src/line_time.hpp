// Times as lines and trusted keys write them: ISO 8601 in UTC, read into
// seconds since 1970-01-01T00:00:00Z.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

using unix_seconds = int64_t;

// "YYYY-MM-DDTHH:MM:SSZ", with an optional fraction of a second after the
// seconds (dropped): the time of a line. Nothing for any other text, a day
// or an hour that no calendar has included.
std::optional<unix_seconds> read_utc_time(std::string_view text);

// A time as above, or a date "YYYY-MM-DD": its first second, or with
// end_of_day its last, so that a bound of a date holds all that day.
std::optional<unix_seconds> read_utc_date_or_time(std::string_view text, bool end_of_day);

// A time as read_utc_time reads it, without a fraction.
std::string utc_text(unix_seconds time);

// The time of a line, where the run reads one (--time-field).
struct line_time {
    bool read = false;                  // the run reads lines' times
    std::optional<unix_seconds> value;  // nothing: not a time
};
