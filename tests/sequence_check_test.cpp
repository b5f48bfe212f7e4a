// Recording the sequence numbers of verified lines and finding the gaps.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sequence_check.hpp"

namespace {

using ranges = std::vector<std::pair<uint32_t, uint32_t>>;

ranges missing_of(const sequence_gaps& gaps)
{
    ranges found;
    for (const sequence_range& range : gaps.missing)
        found.emplace_back(range.first, range.last);
    return found;
}

// A data field of the given log whose sequence item is number.
std::string data_with(const std::string& number, log_mode mode)
{
    return mode == log_mode::event ? "EV/" + number + "/door open"
                                   : "T/20240101/120000/shop/till4/EUR/12.50/" + number + "/x";
}

class SequenceCheck : public ::testing::Test {
protected:
    // Records every number, as the data field of a verified line.
    void record_all(const std::vector<uint32_t>& numbers, log_mode mode = log_mode::transaction)
    {
        for (const uint32_t number : numbers) {
            const std::string data = data_with(std::to_string(number), mode);
            ASSERT_TRUE(seq_check_line(*tracker, data.c_str(), mode)) << number;
        }
    }

    std::unique_ptr<seq_tracker> tracker = std::make_unique<seq_tracker>();
};

TEST_F(SequenceCheck, OnlyNumbersFromOneToBelowTheLimitAreRecorded)
{
    EXPECT_FALSE(seq_has_numbers(*tracker));
    EXPECT_TRUE(seq_record(*tracker, 13));
    EXPECT_TRUE(seq_record(*tracker, 1));
    EXPECT_TRUE(seq_record(*tracker, 799999));
    // Anything else is refused without widening the range.
    for (const uint32_t number : {0U, 800000U, 800001U, UINT32_MAX})
        EXPECT_FALSE(seq_record(*tracker, number)) << number;
    EXPECT_EQ(tracker->seq_min, 1U);
    EXPECT_EQ(tracker->seq_max, 799999U);
    const sequence_gaps gaps = seq_scan_gaps(*tracker, 3);
    EXPECT_EQ(missing_of(gaps), (ranges{{2, 12}, {14, 799998}}));
}

TEST_F(SequenceCheck, LinesWithoutAUsableNumberAreRejected)
{
    const std::string numbers[] = {"0",  "800000", "800001", "4294967295",
                                   "-1", "abc",    "",       std::string(10000, '9')};
    for (const log_mode mode : {log_mode::transaction, log_mode::event}) {
        for (const std::string& number : numbers) {
            SCOPED_TRACE(::testing::PrintToString(number.substr(0, 30)));
            const std::string data = data_with(number, mode);
            EXPECT_FALSE(seq_check_line(*tracker, data.c_str(), mode));
        }
    }
    // Too few items to carry the number.
    EXPECT_FALSE(seq_check_line(*tracker, "T/1/2", log_mode::transaction));
    EXPECT_FALSE(seq_check_line(*tracker, "EV", log_mode::event));
    EXPECT_FALSE(seq_has_numbers(*tracker));

    // An event log's number is item 1, a transaction log's item 7.
    const std::string both = "0/11/2/3/4/5/6/77";
    EXPECT_TRUE(seq_check_line(*tracker, both.c_str(), log_mode::event));
    EXPECT_EQ(tracker->seq_max, 11U);
    EXPECT_TRUE(seq_check_line(*tracker, both.c_str(), log_mode::transaction));
    EXPECT_EQ(tracker->seq_min, 11U);
    EXPECT_EQ(tracker->seq_max, 77U);
    EXPECT_EQ(both, "0/11/2/3/4/5/6/77");
}

TEST_F(SequenceCheck, ResetEmptiesTheTrackerForTheNextRun)
{
    record_all({3, 6});
    seq_reset(*tracker);
    EXPECT_FALSE(seq_has_numbers(*tracker));
    // Neither the gap 4-5 nor a lack of progression is left over.
    record_all({10, 11});
    const sequence_gaps gaps = seq_scan_gaps(*tracker, 2);
    EXPECT_TRUE(gaps.missing.empty());
    EXPECT_FALSE(gaps.no_progression);
}

TEST_F(SequenceCheck, ScanFindsEveryMissingNumberOrALackOfProgression)
{
    const struct {
        const char* name;
        std::vector<uint32_t> numbers;
        uint64_t checked_lines;
        ranges missing;
        bool no_progression;
    } cases[] = {
        {"out of order without gaps", {3, 5, 4}, 3, {}, false},
        {"one gap of two numbers", {3, 6}, 2, {{4, 5}}, false},
        {"gaps ascend whatever the line order", {10, 5, 7}, 3, {{6, 6}, {8, 9}}, false},
        {"repeated numbers are no gaps", {7, 7, 9}, 3, {{8, 8}}, false},
        {"gaps of one next to each other", {1, 3, 5}, 3, {{2, 2}, {4, 4}}, false},
        {"gap just below the limit", {799997, 799999}, 2, {{799998, 799998}}, false},
        {"the whole range", {1, 799999}, 2, {{2, 799998}}, false},
        // Two or more verified lines must advance the number.
        {"no number after two lines", {}, 2, {}, true},
        {"same number twice", {5, 5}, 2, {}, true},
        {"same number thrice", {5, 5, 5}, 3, {}, true},
        {"one line, no number", {}, 1, {}, false},
        {"one line, one number", {8}, 1, {}, false},
        {"no line", {}, 0, {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        seq_reset(*tracker);
        record_all(c.numbers);
        const sequence_gaps gaps = seq_scan_gaps(*tracker, c.checked_lines);
        EXPECT_EQ(missing_of(gaps), c.missing);
        EXPECT_EQ(gaps.no_progression, c.no_progression);
    }
}

}  // namespace
