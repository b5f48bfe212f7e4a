// Cleaning a line, cutting it into fields and items, and turning the
// sequence item and the signature text into a number and bytes.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "line_format.hpp"

namespace {

// A writable, NUL-terminated copy of text that the routines may cut up.
std::vector<char> buffer_of(const std::string& text)
{
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    return buffer;
}

std::string trimmed(const std::string& text)
{
    std::vector<char> buffer = buffer_of(text);
    trim_whitespace(buffer.data());
    return buffer.data();
}

// Quoted, with control characters escaped, and cut short for long texts.
std::string shown(const std::string& text) { return ::testing::PrintToString(text.substr(0, 30)); }

TEST(TrimWhitespace, RemovesOnlyOuterWhitespace)
{
    const struct {
        const char* text;
        const char* expected;
    } cases[] = {
        {"  \t key,data,sig \t  ", "key,data,sig"},
        {"\tx", "x"},
        {"x ", "x"},
        {"key,data,sig\n", "key,data,sig"},
        {"key,data,sig\r\n", "key,data,sig"},
        {"\v\f\r\nabc\r\f\v", "abc"},
        {"  a b\t\tc  ", "a b\t\tc"},
        {" \t\r\n\v\f ", ""},
        {"\r\n", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(shown(c.text));
        EXPECT_EQ(trimmed(c.text), c.expected);
    }
}

TEST(TrimWhitespace, HighBytesAreNotWhitespace)
{
    for (int byte = 0x80; byte <= 0xFF; ++byte) {
        SCOPED_TRACE(byte);
        const std::string alone(1, static_cast<char>(byte));
        EXPECT_EQ(trimmed(alone), alone);
        EXPECT_EQ(trimmed(" " + alone + "x" + alone + "\t"), alone + "x" + alone);
    }
}

TEST(TrimWhitespace, WorksInPlace)
{
    // The text moves to the start of its buffer.
    char buffer[] = "   abc  ";
    trim_whitespace(buffer);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(buffer[3], '\0');

    // A field inside a larger line is trimmed without touching what precedes it.
    char line[] = "key,data,  sig  ";
    trim_whitespace(line + 9);
    EXPECT_STREQ(line + 9, "sig");
    EXPECT_EQ(std::string(line, 9), "key,data,");
}

TEST(SplitLine, CutsTheLineIntoThreeFields)
{
    const struct {
        const char* line;
        const char* key;
        const char* data;
        const char* signature;
    } cases[] = {
        {"key,data,sig", "key", "data", "sig"},
        {",,key,data,sig", "key", "data", "sig"},           // leading commas skipped
        {"key,,,data,,sig", "key", "data", "sig"},          // a run of commas cuts once
        {"key,data,sig,extra,more", "key", "data", "sig"},  // a fourth field is ignored
        {"key , data\t, sig", "key ", " data\t", " sig"},   // blanks belong to the fields
        // Absent fields are empty.
        {",,,", "", "", ""},
        {"", "", "", ""},
        {"key", "key", "", ""},
        {"key,data", "key", "data", ""},
        {"key,data,", "key", "data", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(shown(c.line));
        std::vector<char> line = buffer_of(c.line);
        const char* const begin = line.data();
        const char* const end = begin + std::strlen(c.line);
        const line_fields fields = split_line(line.data());
        EXPECT_STREQ(fields.key, c.key);
        EXPECT_STREQ(fields.data, c.data);
        EXPECT_STREQ(fields.signature, c.signature);

        // Every field, absent ones included, points into the line, so the
        // caller can trim each in place without disturbing the others.
        for (const char* field : {fields.key, fields.data, fields.signature}) {
            EXPECT_GE(field, begin);
            EXPECT_LE(field, end);
        }
        trim_whitespace(fields.signature);
        trim_whitespace(fields.data);
        trim_whitespace(fields.key);
        EXPECT_EQ(fields.key, trimmed(c.key));
        EXPECT_EQ(fields.data, trimmed(c.data));
        EXPECT_EQ(fields.signature, trimmed(c.signature));
    }
}

using items = std::vector<std::string>;

// All items of text as next_field hands them out; once it has run out it
// must stay out.
items items_of(const std::string& text, const char* delimiters)
{
    items found;
    field_cursor cursor{text.c_str()};
    while (const std::optional<std::string_view> item = next_field(cursor, delimiters))
        found.emplace_back(*item);
    for (int call = 1; call <= 4; ++call)
        EXPECT_FALSE(next_field(cursor, delimiters)) << "extra call " << call;
    return found;
}

TEST(NextField, SplitsAtEachDelimiterKeepingEmptyItems)
{
    const struct {
        const char* text;
        const char* delimiters;
        items expected;
    } cases[] = {
        {"a/b/c", "/", {"a", "b", "c"}},
        {"a/b", "/", {"a", "b"}},
        {"abc", "/", {"abc"}},
        {"a//b", "/", {"a", "", "b"}},
        {"a///b", "/", {"a", "", "", "b"}},
        {"/a", "/", {"", "a"}},
        {"//a", "/", {"", "", "a"}},
        // A trailing delimiter ends the text without an empty last item.
        {"a/", "/", {"a"}},
        {"a//", "/", {"a", ""}},
        {"/", "/", {""}},
        {"", "/", {}},
        {"a/b;c", "/;", {"a", "b", "c"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(shown(c.text) + " at " + shown(c.delimiters));
        EXPECT_EQ(items_of(c.text, c.delimiters), c.expected);
    }
}

// The data field is read, never cut: it must come back unchanged.
uint32_t sequence_of(const std::string& data_field, log_mode mode)
{
    std::vector<char> buffer = buffer_of(data_field);
    const uint32_t number = extract_sequence(buffer.data(), mode);
    EXPECT_EQ(std::string(buffer.data()), data_field);
    return number;
}

// A data field of the given log whose sequence item is number.
std::string data_with(const std::string& number, log_mode mode)
{
    return mode == log_mode::event ? "EV/" + number + "/door open"
                                   : "T/20240101/120000/shop/till4/EUR/12.50/" + number;
}

constexpr uint32_t MAX32 = 4294967295U;

TEST(ExtractSequence, TakesTheItemOfTheLogMode)
{
    const log_mode T = log_mode::transaction;
    const log_mode E = log_mode::event;
    const struct {
        std::string data;
        log_mode mode;
        uint32_t expected;
    } cases[] = {
        {"0/1/2/3/4/5/6/7/8/9", T, 7},
        {data_with("42", T) + "/trailer", T, 42},
        {"a/b/c/d/e/f/g/123", T, 123},
        {"0/1/2/3/4/5/6/7/8/9", E, 1},
        {data_with("42", E), E, 42},
        {"EV/42", E, 42},
        // A missing or empty item holds no number.
        {"a/b/c/d/e/f/g/", T, 0},
        {"a/b/c/d/e/f/g", T, 0},
        {"1/2/3", T, 0},
        {"", T, 0},
        {"a/b/c/d/e/f/g//9", T, 0},
        {"", E, 0},
        {"17", E, 0},
        {"17/", E, 0},
        {"EV//5", E, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(shown(c.data) + (c.mode == log_mode::event ? " event" : " transaction"));
        EXPECT_EQ(sequence_of(c.data, c.mode), c.expected);
    }
}

TEST(ExtractSequence, ConvertsTheItemLikeStrtoulIntoThirtyTwoBits)
{
    struct number_case {
        std::string text;
        uint32_t expected;
    };
    std::vector<number_case> cases = {
        // Digits are read up to the first non-digit, after leading whitespace.
        {"0012", 12},
        {" 12", 12},
        {"12abc", 12},
        {"12 34", 12},
        {"abc", 0},
        {"0x10", 0},
        {"\t9", 9},
        {" \t 9", 9},
        {"\v\f\r9", 9},
        {"4294967295", MAX32},
        {"4294967294", 4294967294U},
        // A sign is accepted; minus negates modulo 2^32.
        {"+7", 7},
        {"-1", MAX32},
        {"\t-1", MAX32},
        {"-5", 4294967291U},
        {" -5", 4294967291U},
        {"-0", 0},
        {"-4294967295", 1},
        {"-", 0},
        {"+", 0},
        {"--5", 0},
        {"- 5", 0},
    };
    // Beyond 32 bits the value saturates, whatever the sign.
    for (const char* number : {"4294967296", "4294967297", "8589934593", "18446744073709551615",
                               "18446744073709551616"}) {
        cases.push_back({number, MAX32});
        cases.push_back({std::string("-") + number, MAX32});
    }
    cases.push_back({std::string(10000, '7'), MAX32});
    cases.push_back({"-" + std::string(10000, '7'), MAX32});

    for (const log_mode mode : {log_mode::transaction, log_mode::event}) {
        for (const number_case& c : cases) {
            SCOPED_TRACE(shown(c.text) + (mode == log_mode::event ? " event" : " transaction"));
            EXPECT_EQ(sequence_of(data_with(c.text, mode), mode), c.expected);
        }
    }
}

TEST(DecodeSignatureHex, DecodesEachPairOnItsOwnAndWritesNothingMore)
{
    constexpr unsigned char SENTINEL = 0xA5;
    const struct {
        const char* signature;
        std::vector<unsigned char> expected;
    } cases[] = {
        {"00017f80ff", {0x00, 0x01, 0x7F, 0x80, 0xFF}},
        {"abcdef0a", {0xAB, 0xCD, 0xEF, 0x0A}},
        {"ABCDEF0A", {0xAB, 0xCD, 0xEF, 0x0A}},
        {"aBcDeF0A", {0xAB, 0xCD, 0xEF, 0x0A}},
        // An odd last character is ignored.
        {"abc", {0xAB}},
        {"a", {}},
        {"", {}},
        {"0", {}},
        {"00", {0x00}},
        {"000", {0x00}},
        {"0102030405", {1, 2, 3, 4, 5}},
        {"01020304050", {1, 2, 3, 4, 5}},
        // A malformed pair gives its leading valid part: g1, 1g, " 5", -5, +f, xx.
        {"g11g 5-5+fxx", {0x00, 0x01, 0x05, 251, 0x0F, 0x00}},
        // A pair never borrows digits from its neighbour.
        {"-1ff", {0xFF, 0xFF}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(shown(c.signature));
        std::array<unsigned char, 16> bytes;
        bytes.fill(SENTINEL);
        const uint32_t count = decode_signature_hex(c.signature, bytes.data());
        EXPECT_EQ(count, c.expected.size());

        std::vector<unsigned char> expected_bytes = c.expected;
        expected_bytes.resize(bytes.size(), SENTINEL);
        EXPECT_EQ(std::vector<unsigned char>(bytes.begin(), bytes.end()), expected_bytes);
    }
}

}  // namespace
