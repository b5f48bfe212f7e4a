// Cleaning a line, cutting it into fields and items, and turning the
// sequence item and the signature text into a number and bytes.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
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

// trim_whitespace

TEST(TrimWhitespace, RemovesLeadingAndTrailingBlanksAndTabs)
{
    EXPECT_EQ(trimmed("  \t key,data,sig \t  "), "key,data,sig");
    EXPECT_EQ(trimmed("\tx"), "x");
    EXPECT_EQ(trimmed("x "), "x");
}

TEST(TrimWhitespace, RemovesTheLineEnd)
{
    EXPECT_EQ(trimmed("key,data,sig\n"), "key,data,sig");
    EXPECT_EQ(trimmed("key,data,sig\r\n"), "key,data,sig");
}

TEST(TrimWhitespace, RemovesVerticalTabAndFormFeed)
{
    EXPECT_EQ(trimmed("\v\f\r\nabc\r\f\v"), "abc");
}

TEST(TrimWhitespace, KeepsWhitespaceInside)
{
    EXPECT_EQ(trimmed("  a b\t\tc  "), "a b\t\tc");
}

TEST(TrimWhitespace, WhitespaceOnlyBecomesEmpty)
{
    EXPECT_EQ(trimmed(" \t\r\n\v\f "), "");
    EXPECT_EQ(trimmed("\r\n"), "");
    EXPECT_EQ(trimmed(""), "");
}

TEST(TrimWhitespace, HighBytesAreNotWhitespace)
{
    for (int byte = 0x80; byte <= 0xFF; ++byte) {
        const char c = static_cast<char>(byte);
        const std::string alone(1, c);
        EXPECT_EQ(trimmed(alone), alone) << "byte 0x" << std::hex << byte;
        EXPECT_EQ(trimmed(" " + alone + "x" + alone + "\t"), alone + "x" + alone)
            << "byte 0x" << std::hex << byte;
    }
}

TEST(TrimWhitespace, MovesTheTextToTheStartOfTheBuffer)
{
    char buffer[] = "   abc  ";
    trim_whitespace(buffer);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(buffer[3], '\0');
}

TEST(TrimWhitespace, WorksOnATextInsideALargerBuffer)
{
    char buffer[] = "key,data,  sig  ";
    char* const field = buffer + 9;
    trim_whitespace(field);
    EXPECT_STREQ(field, "sig");
    EXPECT_EQ(std::string(buffer, 9), "key,data,");
}

// split_line

TEST(SplitLine, ReturnsTheThreeFields)
{
    char line[] = "key,data,sig";
    const line_fields fields = split_line(line);
    EXPECT_STREQ(fields.key, "key");
    EXPECT_STREQ(fields.data, "data");
    EXPECT_STREQ(fields.signature, "sig");
}

TEST(SplitLine, SkipsLeadingCommas)
{
    char line[] = ",,key,data,sig";
    const line_fields fields = split_line(line);
    EXPECT_STREQ(fields.key, "key");
    EXPECT_STREQ(fields.data, "data");
    EXPECT_STREQ(fields.signature, "sig");
}

TEST(SplitLine, ConsecutiveCommasSeparateLikeOne)
{
    char line[] = "key,,,data,,sig";
    const line_fields fields = split_line(line);
    EXPECT_STREQ(fields.key, "key");
    EXPECT_STREQ(fields.data, "data");
    EXPECT_STREQ(fields.signature, "sig");
}

TEST(SplitLine, IgnoresAFourthField)
{
    char line[] = "key,data,sig,extra,more";
    const line_fields fields = split_line(line);
    EXPECT_STREQ(fields.key, "key");
    EXPECT_STREQ(fields.data, "data");
    EXPECT_STREQ(fields.signature, "sig");
}

TEST(SplitLine, BlanksNextToCommasBelongToTheFields)
{
    char line[] = "key , data\t, sig";
    const line_fields fields = split_line(line);
    EXPECT_STREQ(fields.key, "key ");
    EXPECT_STREQ(fields.data, " data\t");
    EXPECT_STREQ(fields.signature, " sig");
}

// Each field points into the line, so the caller can trim it in place.
void expect_inside(const char* field, const char* line, std::size_t length)
{
    EXPECT_GE(field, line);
    EXPECT_LE(field, line + length);
}

TEST(SplitLine, CommasOnlyGiveThreeEmptyFieldsInsideTheLine)
{
    char line[] = ",,,";
    const line_fields fields = split_line(line);
    EXPECT_STREQ(fields.key, "");
    EXPECT_STREQ(fields.data, "");
    EXPECT_STREQ(fields.signature, "");
    expect_inside(fields.key, line, 3);
    expect_inside(fields.data, line, 3);
    expect_inside(fields.signature, line, 3);
}

TEST(SplitLine, EmptyLineGivesThreeEmptyFields)
{
    char line[] = "";
    const line_fields fields = split_line(line);
    EXPECT_STREQ(fields.key, "");
    EXPECT_STREQ(fields.data, "");
    EXPECT_STREQ(fields.signature, "");
    expect_inside(fields.signature, line, 0);
}

TEST(SplitLine, OneFieldLeavesDataAndSignatureEmpty)
{
    char line[] = "key";
    const line_fields fields = split_line(line);
    EXPECT_STREQ(fields.key, "key");
    EXPECT_STREQ(fields.data, "");
    EXPECT_STREQ(fields.signature, "");
    expect_inside(fields.data, line, 3);
    expect_inside(fields.signature, line, 3);
}

TEST(SplitLine, TwoFieldsLeaveTheSignatureEmpty)
{
    char line[] = "key,data";
    const line_fields fields = split_line(line);
    EXPECT_STREQ(fields.key, "key");
    EXPECT_STREQ(fields.data, "data");
    EXPECT_STREQ(fields.signature, "");
    expect_inside(fields.signature, line, 8);
}

TEST(SplitLine, TrailingCommaLeavesTheSignatureEmpty)
{
    char line[] = "key,data,";
    const line_fields fields = split_line(line);
    EXPECT_STREQ(fields.data, "data");
    EXPECT_STREQ(fields.signature, "");
    expect_inside(fields.signature, line, 9);
}

TEST(SplitLine, AbsentFieldsCanBeTrimmedSafely)
{
    for (const char* text : {",,,", "", "key", "key,data", "key,data,"}) {
        std::vector<char> line = buffer_of(text);
        const line_fields fields = split_line(line.data());
        trim_whitespace(fields.signature);
        trim_whitespace(fields.data);
        trim_whitespace(fields.key);
        EXPECT_STREQ(fields.signature, "") << '"' << text << '"';
        // Trimming an absent field leaves the present ones alone.
        if (std::strcmp(text, "key,data") == 0) {
            EXPECT_STREQ(fields.key, "key");
            EXPECT_STREQ(fields.data, "data");
        }
    }
}

// next_field

class NextField : public ::testing::Test {
protected:
    void SetUp() override { reset_next_field(); }
    void TearDown() override { reset_next_field(); }
};

// All items of text, collected by next_field.
std::vector<std::string> items_of(const std::string& text, const char* delimiters = "/")
{
    std::vector<char> buffer = buffer_of(text);
    std::vector<std::string> items;
    for (char* item = next_field(buffer.data(), delimiters); item != nullptr;
         item = next_field(nullptr, delimiters))
        items.emplace_back(item);
    reset_next_field();
    return items;
}

using items = std::vector<std::string>;

TEST_F(NextField, SplitsAtEachDelimiter)
{
    EXPECT_EQ(items_of("a/b/c"), (items{"a", "b", "c"}));
    EXPECT_EQ(items_of("abc"), (items{"abc"}));
}

TEST_F(NextField, KeepsEmptyItemsBetweenDelimiters)
{
    EXPECT_EQ(items_of("a//b"), (items{"a", "", "b"}));
    EXPECT_EQ(items_of("a///b"), (items{"a", "", "", "b"}));
}

TEST_F(NextField, LeadingDelimiterGivesAnEmptyFirstItem)
{
    EXPECT_EQ(items_of("/a"), (items{"", "a"}));
    EXPECT_EQ(items_of("//a"), (items{"", "", "a"}));
}

TEST_F(NextField, TrailingDelimiterGivesNoEmptyLastItem)
{
    EXPECT_EQ(items_of("a/"), (items{"a"}));
    EXPECT_EQ(items_of("a//"), (items{"a", ""}));
    EXPECT_EQ(items_of("/"), (items{""}));
}

TEST_F(NextField, EmptyTextGivesNoItem)
{
    char text[] = "";
    EXPECT_EQ(next_field(text, "/"), nullptr);
    EXPECT_EQ(next_field(nullptr, "/"), nullptr);
}

TEST_F(NextField, AnyOfSeveralDelimitersCuts)
{
    EXPECT_EQ(items_of("a/b;c", "/;"), (items{"a", "b", "c"}));
}

TEST_F(NextField, NullContinuesWhereThePreviousCallStopped)
{
    char text[] = "first/second/third";
    char* const first = next_field(text, "/");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, text);
    EXPECT_STREQ(first, "first");

    char* const second = next_field(nullptr, "/");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second, text + 6);
    EXPECT_STREQ(second, "second");

    char* const third = next_field(nullptr, "/");
    ASSERT_NE(third, nullptr);
    EXPECT_STREQ(third, "third");
}

TEST_F(NextField, CutsTheTextInPlace)
{
    char text[] = "a/b";
    ASSERT_NE(next_field(text, "/"), nullptr);
    EXPECT_EQ(text[1], '\0');
    EXPECT_EQ(text[2], 'b');
}

TEST_F(NextField, KeepsReturningNullAfterTheEnd)
{
    char text[] = "a/b";
    ASSERT_NE(next_field(text, "/"), nullptr);
    ASSERT_NE(next_field(nullptr, "/"), nullptr);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(next_field(nullptr, "/"), nullptr) << "call " << i;
}

TEST_F(NextField, NullWithoutAPreviousTextGivesNoItem)
{
    EXPECT_EQ(next_field(nullptr, "/"), nullptr);
}

TEST_F(NextField, ResetForgetsThePosition)
{
    char text[] = "a/b/c";
    ASSERT_NE(next_field(text, "/"), nullptr);
    reset_next_field();
    EXPECT_EQ(next_field(nullptr, "/"), nullptr);
}

TEST_F(NextField, ANewTextRestarts)
{
    char old_text[] = "a/b/c";
    char new_text[] = "x/y";
    ASSERT_NE(next_field(old_text, "/"), nullptr);
    char* const item = next_field(new_text, "/");
    ASSERT_NE(item, nullptr);
    EXPECT_STREQ(item, "x");
    char* const next = next_field(nullptr, "/");
    ASSERT_NE(next, nullptr);
    EXPECT_STREQ(next, "y");
}

// extract_sequence

uint32_t sequence_of(const std::string& data_field, log_mode mode)
{
    std::vector<char> buffer = buffer_of(data_field);
    return extract_sequence(buffer.data(), mode);
}

// A transaction data field whose item 7 is number.
std::string transaction_data(const std::string& number)
{
    return "T/20240101/120000/shop/till4/EUR/12.50/" + number;
}

// An event data field whose item 1 is number.
std::string event_data(const std::string& number) { return "EV/" + number + "/door open"; }

TEST(ExtractSequence, TransactionLogReadsItemSeven)
{
    EXPECT_EQ(sequence_of("0/1/2/3/4/5/6/7/8/9", log_mode::transaction), 7U);
    EXPECT_EQ(sequence_of(transaction_data("42") + "/trailer", log_mode::transaction), 42U);
}

TEST(ExtractSequence, EventLogReadsItemOne)
{
    EXPECT_EQ(sequence_of("0/1/2/3/4/5/6/7/8/9", log_mode::event), 1U);
    EXPECT_EQ(sequence_of(event_data("42"), log_mode::event), 42U);
    EXPECT_EQ(sequence_of("EV/42", log_mode::event), 42U);
}

TEST(ExtractSequence, ExactlyEightItemsTakeTheLastOne)
{
    EXPECT_EQ(sequence_of("a/b/c/d/e/f/g/123", log_mode::transaction), 123U);
}

TEST(ExtractSequence, TrailingSlashAfterSevenItemsGivesZero)
{
    EXPECT_EQ(sequence_of("a/b/c/d/e/f/g/", log_mode::transaction), 0U);
}

TEST(ExtractSequence, TooFewItemsGiveZero)
{
    EXPECT_EQ(sequence_of("a/b/c/d/e/f/g", log_mode::transaction), 0U);
    EXPECT_EQ(sequence_of("1/2/3", log_mode::transaction), 0U);
    EXPECT_EQ(sequence_of("", log_mode::transaction), 0U);
    EXPECT_EQ(sequence_of("", log_mode::event), 0U);
}

TEST(ExtractSequence, EventWithoutSlashGivesZero)
{
    EXPECT_EQ(sequence_of("17", log_mode::event), 0U);
    EXPECT_EQ(sequence_of("17/", log_mode::event), 0U);
}

TEST(ExtractSequence, EmptyItemGivesZero)
{
    EXPECT_EQ(sequence_of("EV//5", log_mode::event), 0U);
    EXPECT_EQ(sequence_of("a/b/c/d/e/f/g//9", log_mode::transaction), 0U);
}

TEST(ExtractSequence, ReadsDigitsUpToTheFirstNonDigit)
{
    for (const log_mode mode : {log_mode::transaction, log_mode::event}) {
        const auto data = [mode](const std::string& number) {
            return mode == log_mode::event ? event_data(number) : transaction_data(number);
        };
        EXPECT_EQ(sequence_of(data("0012"), mode), 12U);
        EXPECT_EQ(sequence_of(data(" 12"), mode), 12U);
        EXPECT_EQ(sequence_of(data("12abc"), mode), 12U);
        EXPECT_EQ(sequence_of(data("12 34"), mode), 12U);
        EXPECT_EQ(sequence_of(data("abc"), mode), 0U);
        EXPECT_EQ(sequence_of(data("0x10"), mode), 0U);
    }
}

TEST(ExtractSequence, SkipsLeadingWhitespace)
{
    EXPECT_EQ(sequence_of(event_data("\t9"), log_mode::event), 9U);
    EXPECT_EQ(sequence_of(event_data(" \t 9"), log_mode::event), 9U);
    EXPECT_EQ(sequence_of(event_data("\v\f\r9"), log_mode::event), 9U);
    EXPECT_EQ(sequence_of(event_data("\t-1"), log_mode::event), 4294967295U);
}

TEST(ExtractSequence, LargestThirtyTwoBitNumberIsKept)
{
    EXPECT_EQ(sequence_of(event_data("4294967295"), log_mode::event), 4294967295U);
    EXPECT_EQ(sequence_of(event_data("4294967294"), log_mode::event), 4294967294U);
}

TEST(ExtractSequence, NumbersBeyondThirtyTwoBitsSaturate)
{
    const std::string huge(10000, '7');
    for (const std::string& number :
         {std::string("4294967296"), std::string("4294967297"), std::string("8589934593"),
          std::string("18446744073709551615"), std::string("18446744073709551616"), huge}) {
        EXPECT_EQ(sequence_of(event_data(number), log_mode::event), 4294967295U)
            << number.substr(0, 30);
        EXPECT_EQ(sequence_of(event_data("-" + number), log_mode::event), 4294967295U)
            << "-" << number.substr(0, 30);
        EXPECT_EQ(sequence_of(transaction_data(number), log_mode::transaction), 4294967295U)
            << number.substr(0, 30);
    }
}

TEST(ExtractSequence, MinusSignNegatesModuloTwoToTheThirtyTwo)
{
    EXPECT_EQ(sequence_of(event_data("-1"), log_mode::event), 4294967295U);
    EXPECT_EQ(sequence_of(event_data("-5"), log_mode::event), 4294967291U);
    EXPECT_EQ(sequence_of(event_data("-0"), log_mode::event), 0U);
    EXPECT_EQ(sequence_of(event_data("-4294967295"), log_mode::event), 1U);
    EXPECT_EQ(sequence_of(event_data(" -5"), log_mode::event), 4294967291U);
}

TEST(ExtractSequence, PlusSignIsAccepted)
{
    EXPECT_EQ(sequence_of(event_data("+7"), log_mode::event), 7U);
}

TEST(ExtractSequence, SignWithoutDigitsGivesZero)
{
    EXPECT_EQ(sequence_of(event_data("-"), log_mode::event), 0U);
    EXPECT_EQ(sequence_of(event_data("+"), log_mode::event), 0U);
    EXPECT_EQ(sequence_of(event_data("--5"), log_mode::event), 0U);
    EXPECT_EQ(sequence_of(event_data("- 5"), log_mode::event), 0U);
}

// decode_signature_hex

constexpr unsigned char SENTINEL = 0xA5;

struct decoded {
    uint32_t count;
    std::array<unsigned char, 16> bytes;
};

decoded decode(const char* signature)
{
    decoded result{};
    result.bytes.fill(SENTINEL);
    result.count = decode_signature_hex(signature, result.bytes.data());
    return result;
}

TEST(DecodeSignatureHex, DecodesPairsIntoBytes)
{
    const decoded result = decode("00017f80ff");
    ASSERT_EQ(result.count, 5U);
    EXPECT_EQ(result.bytes[0], 0x00);
    EXPECT_EQ(result.bytes[1], 0x01);
    EXPECT_EQ(result.bytes[2], 0x7F);
    EXPECT_EQ(result.bytes[3], 0x80);
    EXPECT_EQ(result.bytes[4], 0xFF);
}

TEST(DecodeSignatureHex, LetterCaseDoesNotMatter)
{
    const decoded lower = decode("abcdef0a");
    const decoded upper = decode("ABCDEF0A");
    const decoded mixed = decode("aBcDeF0A");
    ASSERT_EQ(lower.count, 4U);
    EXPECT_EQ(lower.bytes, upper.bytes);
    EXPECT_EQ(lower.bytes, mixed.bytes);
    EXPECT_EQ(lower.bytes[0], 0xAB);
    EXPECT_EQ(lower.bytes[1], 0xCD);
    EXPECT_EQ(lower.bytes[2], 0xEF);
    EXPECT_EQ(lower.bytes[3], 0x0A);
}

TEST(DecodeSignatureHex, OddLastCharacterIsIgnored)
{
    const decoded result = decode("abc");
    ASSERT_EQ(result.count, 1U);
    EXPECT_EQ(result.bytes[0], 0xAB);
    EXPECT_EQ(result.bytes[1], SENTINEL);

    EXPECT_EQ(decode("a").count, 0U);
    EXPECT_EQ(decode("a").bytes[0], SENTINEL);
}

TEST(DecodeSignatureHex, EmptyTextGivesNoBytes)
{
    const decoded result = decode("");
    EXPECT_EQ(result.count, 0U);
    EXPECT_EQ(result.bytes[0], SENTINEL);
}

TEST(DecodeSignatureHex, MalformedPairsGiveTheirLeadingValidPart)
{
    const decoded result = decode("g11g 5-5+fxx");
    ASSERT_EQ(result.count, 6U);
    EXPECT_EQ(result.bytes[0], 0x00);  // g1
    EXPECT_EQ(result.bytes[1], 0x01);  // 1g
    EXPECT_EQ(result.bytes[2], 0x05);  // " 5"
    EXPECT_EQ(result.bytes[3], 251);   // -5
    EXPECT_EQ(result.bytes[4], 0x0F);  // +f
    EXPECT_EQ(result.bytes[5], 0x00);  // xx
}

TEST(DecodeSignatureHex, EachPairIsDecodedOnItsOwn)
{
    // A pair never borrows digits from its neighbour.
    const decoded result = decode("-1ff");
    ASSERT_EQ(result.count, 2U);
    EXPECT_EQ(result.bytes[0], 0xFF);
    EXPECT_EQ(result.bytes[1], 0xFF);
}

TEST(DecodeSignatureHex, WritesExactlyCountBytes)
{
    for (const char* signature : {"", "0", "00", "000", "0102030405", "01020304050"}) {
        const decoded result = decode(signature);
        const std::size_t count = std::strlen(signature) / 2;
        ASSERT_EQ(result.count, count) << signature;
        for (std::size_t i = count; i < result.bytes.size(); ++i)
            EXPECT_EQ(result.bytes[i], SENTINEL) << signature << " byte " << i;
    }
}

}  // namespace
