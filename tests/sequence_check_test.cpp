// Recording the sequence numbers of verified lines and reporting the gaps.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "report.hpp"
#include "run_types.hpp"
#include "sequence_check.hpp"

namespace {

std::string contents_of(FILE* file)
{
    std::fflush(file);
    std::rewind(file);
    std::string text;
    char chunk[4096];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        text.append(chunk, got);
    return text;
}

// Runs action with standard output sent to a temporary file and returns
// what it printed.
template <typename Action>
std::string console_output_of(Action action)
{
    FILE* const sink = std::tmpfile();
    if (sink == nullptr) {
        ADD_FAILURE() << "no temporary file for the console output";
        return {};
    }
    std::fflush(stdout);
    const int saved_stdout = dup(fileno(stdout));
    if (saved_stdout < 0 || dup2(fileno(sink), fileno(stdout)) < 0) {
        ADD_FAILURE() << "could not redirect standard output";
        std::fclose(sink);
        return {};
    }
    action();
    std::fflush(stdout);
    dup2(saved_stdout, fileno(stdout));
    close(saved_stdout);
    std::string text = contents_of(sink);
    std::fclose(sink);
    return text;
}

std::string repeated(const std::string& text, int times)
{
    std::string result;
    for (int i = 0; i < times; ++i)
        result += text;
    return result;
}

class SequenceCheck : public ::testing::Test {
protected:
    void SetUp() override
    {
        seq_reset();
        state.result_log = std::tmpfile();
        ASSERT_NE(state.result_log, nullptr);
    }

    void TearDown() override
    {
        if (state.result_log != nullptr)
            std::fclose(state.result_log);
        seq_reset();
    }

    // Offers number, written as text, as the sequence item of a data field.
    bool check(const std::string& number)
    {
        std::string data = state.mode == log_mode::event
                               ? "EV/" + number + "/door open"
                               : "T/20240101/120000/shop/till4/EUR/12.50/" + number + "/x";
        return seq_check_line(data.data(), state.mode);
    }

    bool check(uint32_t number) { return check(std::to_string(number)); }

    void check_all(std::initializer_list<uint32_t> numbers)
    {
        for (const uint32_t number : numbers)
            ASSERT_TRUE(check(number)) << number;
    }

    // Scans for gaps and returns the console output.
    std::string scan()
    {
        return console_output_of([this] { seq_scan_gaps(state); });
    }

    std::string result_log() { return contents_of(state.result_log); }

    run_state state;
};

// Accepting and rejecting lines

TEST_F(SequenceCheck, ResetEmptiesTheTracker)
{
    seq_record(3);
    seq_record(6);
    seq_reset();
    const seq_tracker& tracker = seq_state();
    EXPECT_EQ(tracker.seq_min, UINT32_MAX);
    EXPECT_EQ(tracker.seq_max, 0U);
    for (std::size_t i = 0; i < SEQ_BITMAP_BYTES; ++i)
        ASSERT_EQ(tracker.seq_bitmap[i], 0) << "byte " << i;
}

TEST_F(SequenceCheck, AcceptedNumbersMoveMinAndMax)
{
    EXPECT_TRUE(check(5U));
    EXPECT_EQ(seq_state().seq_min, 5U);
    EXPECT_EQ(seq_state().seq_max, 5U);
    EXPECT_TRUE(check(9U));
    EXPECT_TRUE(check(2U));
    EXPECT_TRUE(check(7U));
    EXPECT_EQ(seq_state().seq_min, 2U);
    EXPECT_EQ(seq_state().seq_max, 9U);
}

TEST_F(SequenceCheck, RecordSetsThePresenceBitOfTheNumber)
{
    seq_record(13);
    EXPECT_EQ(seq_state().seq_bitmap[1], 1U << 5);
    seq_record(1);
    EXPECT_EQ(seq_state().seq_bitmap[0], 1U << 1);
}

TEST_F(SequenceCheck, EventLogTakesItemOneTransactionLogItemSeven)
{
    std::string event_line = "0/11/2/3/4/5/6/77";
    std::string transaction_line = event_line;
    EXPECT_TRUE(seq_check_line(event_line.data(), log_mode::event));
    EXPECT_EQ(seq_state().seq_max, 11U);
    EXPECT_TRUE(seq_check_line(transaction_line.data(), log_mode::transaction));
    EXPECT_EQ(seq_state().seq_min, 11U);
    EXPECT_EQ(seq_state().seq_max, 77U);
}

TEST_F(SequenceCheck, LargestTrackedNumberIsAccepted)
{
    EXPECT_TRUE(check(799999U));
    EXPECT_EQ(seq_state().seq_min, 799999U);
    EXPECT_EQ(seq_state().seq_max, 799999U);
}

TEST_F(SequenceCheck, ZeroAndNumbersFromTheLimitUpAreRejected)
{
    for (const log_mode mode : {log_mode::transaction, log_mode::event}) {
        state.mode = mode;
        for (const char* number : {"0", "800000", "800001", "4294967295", "-1", "abc", ""}) {
            seq_reset();
            EXPECT_FALSE(check(number)) << '"' << number << '"';
            EXPECT_EQ(seq_state().seq_min, UINT32_MAX) << '"' << number << '"';
            EXPECT_EQ(seq_state().seq_max, 0U) << '"' << number << '"';
        }
    }
    EXPECT_FALSE(check(std::string(10000, '9')));
}

TEST_F(SequenceCheck, MissingItemIsRejected)
{
    std::string short_transaction = "T/1/2";
    std::string short_event = "EV";
    EXPECT_FALSE(seq_check_line(short_transaction.data(), log_mode::transaction));
    EXPECT_FALSE(seq_check_line(short_event.data(), log_mode::event));
    EXPECT_EQ(seq_state().seq_max, 0U);
}

TEST_F(SequenceCheck, RejectedNumbersLeaveTheRangeAlone)
{
    check_all({10, 12});
    for (const char* number : {"0", "800000", "800001", "4294967295"})
        EXPECT_FALSE(check(number)) << number;
    EXPECT_EQ(seq_state().seq_min, 10U);
    EXPECT_EQ(seq_state().seq_max, 12U);

    // Only 11 lies between the recorded numbers.
    state.line_counter = 7;
    EXPECT_EQ(scan(), "\nsequence2 error at line 7");
    EXPECT_EQ(result_log(), "//11//////,MISSING SEQUENCE\n");
    EXPECT_EQ(state.error_count, 1U);
}

// Gap scan

TEST_F(SequenceCheck, NumbersOutOfOrderWithoutGapsAreClean)
{
    check_all({3, 5, 4});
    state.line_counter = 4;
    state.error_count = 2;
    EXPECT_EQ(scan(), "");
    EXPECT_EQ(result_log(), "");
    EXPECT_EQ(state.error_count, 2U);
}

TEST_F(SequenceCheck, TransactionGapsAreReportedInAscendingOrder)
{
    check_all({3, 6});
    state.line_counter = 3;
    state.error_count = 1;
    EXPECT_EQ(scan(), repeated("\nsequence2 error at line 3", 2));
    EXPECT_EQ(result_log(),
              "//4//////,MISSING SEQUENCE\n"
              "//5//////,MISSING SEQUENCE\n");
    EXPECT_EQ(state.error_count, 3U);
    EXPECT_FALSE(state.result_log_failed);
}

TEST_F(SequenceCheck, EventGapsUseTheEventTexts)
{
    state.mode = log_mode::event;
    check_all({3, 6});
    state.line_counter = 3;
    EXPECT_EQ(scan(), repeated("\nsequence1 error at line 3", 2));
    EXPECT_EQ(result_log(),
              "/4//,MISSING SEQUENCE\n"
              "/5//,MISSING SEQUENCE\n");
    EXPECT_EQ(state.error_count, 2U);
}

TEST_F(SequenceCheck, GapsAscendWhateverTheOrderOfTheLines)
{
    check_all({10, 5, 7});
    state.line_counter = 4;
    EXPECT_EQ(scan(), repeated("\nsequence2 error at line 4", 3));
    EXPECT_EQ(result_log(),
              "//6//////,MISSING SEQUENCE\n"
              "//8//////,MISSING SEQUENCE\n"
              "//9//////,MISSING SEQUENCE\n");
    EXPECT_EQ(state.error_count, 3U);
}

TEST_F(SequenceCheck, EveryGapNamesTheFinalLineCounter)
{
    check_all({1, 4});
    state.line_counter = 42;
    EXPECT_EQ(scan(), repeated("\nsequence2 error at line 42", 2));
}

TEST_F(SequenceCheck, RepeatedNumbersAreNotGaps)
{
    check_all({7, 7, 9});
    state.line_counter = 4;
    EXPECT_EQ(scan(), "\nsequence2 error at line 4");
    EXPECT_EQ(result_log(), "//8//////,MISSING SEQUENCE\n");
    EXPECT_EQ(state.error_count, 1U);
}

TEST_F(SequenceCheck, GapJustBelowTheLimit)
{
    check_all({799997, 799999});
    state.line_counter = 3;
    EXPECT_EQ(scan(), "\nsequence2 error at line 3");
    EXPECT_EQ(result_log(), "//799998//////,MISSING SEQUENCE\n");
    EXPECT_EQ(state.error_count, 1U);
}

TEST_F(SequenceCheck, NoNumberAfterTwoLinesIsANoProgressionError)
{
    state.line_counter = 3;
    state.error_count = 2;
    EXPECT_EQ(scan(), "\nsequence3 error at line 3");
    EXPECT_EQ(result_log(), "");
    EXPECT_EQ(state.error_count, 3U);
}

TEST_F(SequenceCheck, SameNumberTwiceIsANoProgressionError)
{
    check_all({5, 5});
    state.line_counter = 3;
    EXPECT_EQ(scan(), "\nsequence3 error at line 3");
    EXPECT_EQ(result_log(), "");
    EXPECT_EQ(state.error_count, 1U);
}

TEST_F(SequenceCheck, NoProgressionIsReportedInEventLogsToo)
{
    state.mode = log_mode::event;
    check_all({5, 5, 5});
    state.line_counter = 4;
    EXPECT_EQ(scan(), "\nsequence3 error at line 4");
    EXPECT_EQ(result_log(), "");
    EXPECT_EQ(state.error_count, 1U);
}

TEST_F(SequenceCheck, AtMostOneLineNeedsNoProgression)
{
    for (const uint32_t line_counter : {1U, 2U}) {
        seq_reset();
        state.line_counter = line_counter;
        state.error_count = 0;
        EXPECT_EQ(scan(), "") << "line counter " << line_counter;
        EXPECT_EQ(state.error_count, 0U) << "line counter " << line_counter;

        check_all({8});
        EXPECT_EQ(scan(), "") << "line counter " << line_counter;
        EXPECT_EQ(state.error_count, 0U) << "line counter " << line_counter;
    }
    EXPECT_EQ(result_log(), "");
}

TEST_F(SequenceCheck, ResetForgetsRecordedNumbersBeforeTheScan)
{
    check_all({3, 6});
    seq_reset();
    state.line_counter = 2;
    EXPECT_EQ(scan(), "");
    EXPECT_EQ(result_log(), "");
    EXPECT_EQ(state.error_count, 0U);
}

TEST_F(SequenceCheck, ResetStartsANewRangeForTheNextRun)
{
    check_all({3, 6});
    seq_reset();
    check_all({10, 11});
    state.line_counter = 3;
    EXPECT_EQ(scan(), "");
    EXPECT_EQ(result_log(), "");
    EXPECT_EQ(state.error_count, 0U);
}

TEST_F(SequenceCheck, FailedGapRecordMarksTheRun)
{
    std::fclose(state.result_log);
    state.result_log = std::fopen("/dev/null", "r");
    ASSERT_NE(state.result_log, nullptr);
    check_all({1, 3});
    state.line_counter = 3;
    EXPECT_EQ(scan(), "\nsequence2 error at line 3");
    EXPECT_EQ(state.error_count, 1U);
    EXPECT_TRUE(state.result_log_failed);
}

}  // namespace
