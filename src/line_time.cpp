#include "line_time.hpp"

#include <cstdio>

namespace {

constexpr unix_seconds SECONDS_PER_DAY = 86400;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The number of count digits at text[at]; nothing unless they are digits.
std::optional<int> digits_at(std::string_view text, std::size_t at, std::size_t count)
{
    if (text.size() < at + count)
        return std::nullopt;
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (!is_digit(text[i]))
            return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

bool is_leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int days_in_month(int year, int month)
{
    static constexpr int DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap(year) ? 29 : DAYS[month - 1];
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
unix_seconds days_from_civil(int year, int month, int day)
{
    const int y = month <= 2 ? year - 1 : year;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int year_of_era = y - era * 400;
    const int day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return unix_seconds{era} * 146097 + day_of_era - 719468;
}

// "YYYY-MM-DD" at the start of text, as days since 1970-01-01.
std::optional<unix_seconds> read_date(std::string_view text)
{
    const std::optional<int> year = digits_at(text, 0, 4);
    const std::optional<int> month = digits_at(text, 5, 2);
    const std::optional<int> day = digits_at(text, 8, 2);
    if (!year || !month || !day || text[4] != '-' || text[7] != '-' || *month < 1 || *month > 12 ||
        *day < 1 || *day > days_in_month(*year, *month))
        return std::nullopt;
    return days_from_civil(*year, *month, *day);
}

}  // namespace

std::optional<unix_seconds> read_utc_time(std::string_view text)
{
    constexpr std::size_t SECONDS_END = 19;  // "YYYY-MM-DDTHH:MM:SS"
    const std::optional<unix_seconds> days = read_date(text);
    if (!days || text.size() < SECONDS_END + 1 || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':')
        return std::nullopt;
    const std::optional<int> hour = digits_at(text, 11, 2);
    const std::optional<int> minute = digits_at(text, 14, 2);
    const std::optional<int> second = digits_at(text, 17, 2);
    if (!hour || !minute || !second || *hour > 23 || *minute > 59 || *second > 59)
        return std::nullopt;
    std::size_t at = SECONDS_END;
    if (text[at] == '.') {
        ++at;
        const std::size_t fraction = at;
        while (at < text.size() && is_digit(text[at]))
            ++at;
        if (at == fraction)
            return std::nullopt;
    }
    if (at + 1 != text.size() || text[at] != 'Z')
        return std::nullopt;
    return *days * SECONDS_PER_DAY + unix_seconds{*hour} * 3600 + unix_seconds{*minute} * 60 +
           *second;
}

std::optional<unix_seconds> read_utc_date_or_time(std::string_view text, bool end_of_day)
{
    constexpr std::size_t DATE_LENGTH = 10;  // "YYYY-MM-DD"
    if (text.size() != DATE_LENGTH)
        return read_utc_time(text);
    const std::optional<unix_seconds> days = read_date(text);
    if (!days)
        return std::nullopt;
    return *days * SECONDS_PER_DAY + (end_of_day ? SECONDS_PER_DAY - 1 : 0);
}

std::string utc_text(unix_seconds time)
{
    // The civil date of a day count, the inverse of days_from_civil.
    const unix_seconds days = (time >= 0 ? time : time - (SECONDS_PER_DAY - 1)) / SECONDS_PER_DAY;
    const unix_seconds second_of_day = time - days * SECONDS_PER_DAY;
    const unix_seconds z = days + 719468;
    const unix_seconds era = (z >= 0 ? z : z - 146096) / 146097;
    const unix_seconds day_of_era = z - era * 146097;
    const unix_seconds year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const unix_seconds day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const unix_seconds month_part = (5 * day_of_year + 2) / 153;
    const unix_seconds day = day_of_year - (153 * month_part + 2) / 5 + 1;
    const unix_seconds month = month_part < 10 ? month_part + 3 : month_part - 9;
    const unix_seconds year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
    // Room for any year an int64_t of seconds reaches.
    char text[96];
    (void)std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ",
                        static_cast<long long>(year), static_cast<long long>(month),
                        static_cast<long long>(day), static_cast<long long>(second_of_day / 3600),
                        static_cast<long long>(second_of_day / 60 % 60),
                        static_cast<long long>(second_of_day % 60));
    return text;
}
