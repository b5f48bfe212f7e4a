#include "line_format.hpp"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

bool is_blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// strtoul in base 10 with a 32-bit result: a magnitude beyond 32 bits
// saturates, with or without a sign; otherwise a minus sign negates modulo
// 2^32. The conversion stops at the first non-digit, so an item need not be
// cut out of its data field first.
uint32_t decimal_to_u32(const char* item)
{
    const char* p = item;
    while (is_blank(*p))
        ++p;
    const bool negative = *p == '-';

    errno = 0;
    const unsigned long value = std::strtoul(item, nullptr, 10);
    if (errno == ERANGE)
        return UINT32_MAX;
    const unsigned long magnitude = negative ? 0UL - value : value;
    if (magnitude > UINT32_MAX)
        return UINT32_MAX;
    const auto low = static_cast<uint32_t>(magnitude);
    return negative ? 0U - low : low;
}

// The byte that every pair of characters decodes to: the low 8 bits of
// strtoul in base 16 over the pair, worked out once for all 65,536 pairs so
// that a signature costs a table look-up per byte.
std::unique_ptr<unsigned char[]> make_pair_values()
{
    auto values = std::make_unique<unsigned char[]>(std::size_t{256} * 256);
    for (unsigned first = 1; first < 256; ++first) {
        for (unsigned second = 1; second < 256; ++second) {
            const char pair[3] = {static_cast<char>(first), static_cast<char>(second), '\0'};
            values[first << 8 | second] =
                static_cast<unsigned char>(std::strtoul(pair, nullptr, 16) & 0xFF);
        }
    }
    return values;
}

// The next comma-separated token at rest, ended by a NUL written over the
// comma after it; rest moves past that comma. end (the line's NUL) when no
// token is left.
char* next_token(char*& rest, char* end)
{
    while (rest != end && *rest == ',')
        ++rest;
    if (rest == end)
        return end;
    char* const token = rest;
    char* const comma =
        static_cast<char*>(std::memchr(token, ',', static_cast<std::size_t>(end - token)));
    if (comma == nullptr) {
        rest = end;
    } else {
        *comma = '\0';
        rest = comma + 1;
    }
    return token;
}

}  // namespace

void trim_whitespace(char* text)
{
    std::size_t length = std::strlen(text);
    while (length > 0 && is_blank(text[length - 1]))
        text[--length] = '\0';

    std::size_t start = 0;
    while (start < length && is_blank(text[start]))
        ++start;
    if (start > 0)
        std::memmove(text, text + start, length - start + 1);
}

line_fields split_line(char* line)
{
    char* const end = line + std::strlen(line);
    char* rest = line;
    char* const key = next_token(rest, end);
    char* const data = key != end ? next_token(rest, end) : end;
    char* const signature = data != end ? next_token(rest, end) : end;
    return {key, data, signature};
}

split_fields split_line(char* line, log_mode mode, std::optional<uint32_t> time_field)
{
    const line_fields fields = split_line(line);
    split_fields split{fields, {extract_sequence(fields.data, mode), {}}};
    if (time_field) {
        split.place.time.read = true;
        if (const std::optional<std::string_view> item = data_item(fields.data, *time_field - 1))
            split.place.time.value = read_utc_time(*item);
    }
    return split;
}

std::optional<std::string_view> data_item(const char* data_field, std::size_t index)
{
    field_cursor cursor{data_field};
    std::optional<std::string_view> item = next_field(cursor, "/");
    for (std::size_t i = 0; i < index && item; ++i)
        item = next_field(cursor, "/");
    return item;
}

std::optional<std::string_view> next_field(field_cursor& cursor, const char* delimiters)
{
    const char* const item = cursor.next;
    if (*item == '\0')
        return std::nullopt;
    const std::size_t length = std::strcspn(item, delimiters);
    cursor.next = item[length] != '\0' ? item + length + 1 : item + length;
    return std::string_view(item, length);
}

uint32_t extract_sequence(const char* data_field, log_mode mode)
{
    const int wanted_item = mode == log_mode::event ? 1 : 7;
    field_cursor cursor{data_field};
    std::optional<std::string_view> item = next_field(cursor, "/");
    for (int i = 0; i < wanted_item && item; ++i)
        item = next_field(cursor, "/");
    return item ? decimal_to_u32(item->data()) : 0;
}

uint32_t decode_signature_hex(const char* signature, unsigned char* bytes)
{
    static const std::unique_ptr<unsigned char[]> pair_values = make_pair_values();
    const auto count = static_cast<uint32_t>(std::strlen(signature) / 2);
    for (std::size_t i = 0; i < count; ++i) {
        const auto first = static_cast<unsigned char>(signature[2 * i]);
        const auto second = static_cast<unsigned char>(signature[2 * i + 1]);
        bytes[i] = pair_values[first << 8 | second];
    }
    return count;
}
