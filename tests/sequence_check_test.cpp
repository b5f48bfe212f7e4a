// Recording the sequence numbers of verified lines and reporting the gaps.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
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
    std::fflush(stdout);
    const int saved_stdout = dup(fileno(stdout));
    if (sink == nullptr || saved_stdout < 0 || dup2(fileno(sink), fileno(stdout)) < 0) {
        ADD_FAILURE() << "could not redirect standard output";
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

void expect_empty_tracker()
{
    const seq_tracker& tracker = seq_state();
    EXPECT_EQ(tracker.seq_min, UINT32_MAX);
    EXPECT_EQ(tracker.seq_max, 0U);
    EXPECT_TRUE(std::all_of(std::begin(tracker.seq_bitmap), std::end(tracker.seq_bitmap),
                            [](unsigned char byte) { return byte == 0; }));
}

class SequenceCheck : public ::testing::Test {
protected:
    void SetUp() override { start_run(log_mode::transaction); }

    void TearDown() override
    {
        if (state.result_log != nullptr)
            std::fclose(state.result_log);
        seq_reset();
    }

    // A fresh run of the given log with an empty tracker and result log.
    void start_run(log_mode mode)
    {
        seq_reset();
        if (state.result_log != nullptr)
            std::fclose(state.result_log);
        state = run_state{};
        state.mode = mode;
        state.result_log = std::tmpfile();
        ASSERT_NE(state.result_log, nullptr);
    }

    // Offers number, written as text, as the sequence item of a data field.
    bool check(const std::string& number)
    {
        std::string data = state.mode == log_mode::event
                               ? "EV/" + number + "/door open"
                               : "T/20240101/120000/shop/till4/EUR/12.50/" + number + "/x";
        return seq_check_line(data.data(), state.mode);
    }

    void check_all(const std::vector<uint32_t>& numbers)
    {
        for (const uint32_t number : numbers)
            ASSERT_TRUE(check(std::to_string(number))) << number;
    }

    // Scans for gaps and returns the console output.
    std::string scan()
    {
        return console_output_of([this] { seq_scan_gaps(state); });
    }

    std::string result_log() { return contents_of(state.result_log); }

    run_state state;
};

// Recording

TEST_F(SequenceCheck, RecordTakesOnlyNumbersFromOneToBelowTheLimit)
{
    const seq_tracker& tracker = seq_state();
    EXPECT_TRUE(seq_record(13));
    EXPECT_EQ(tracker.seq_bitmap[1], 1U << 5);
    EXPECT_TRUE(seq_record(1));
    EXPECT_EQ(tracker.seq_bitmap[0], 1U << 1);
    EXPECT_TRUE(seq_record(799999));
    EXPECT_EQ(tracker.seq_bitmap[99999], 1U << 7);
    EXPECT_EQ(tracker.seq_min, 1U);
    EXPECT_EQ(tracker.seq_max, 799999U);

    // Anything else is refused without widening the range or setting a bit.
    const std::vector<unsigned char> bits(std::begin(tracker.seq_bitmap),
                                          std::end(tracker.seq_bitmap));
    for (const uint32_t number : {0U, 800000U, UINT32_MAX}) {
        SCOPED_TRACE(number);
        EXPECT_FALSE(seq_record(number));
        EXPECT_EQ(tracker.seq_min, 1U);
        EXPECT_EQ(tracker.seq_max, 799999U);
        EXPECT_TRUE(std::equal(bits.begin(), bits.end(), std::begin(tracker.seq_bitmap)));
    }
}

TEST_F(SequenceCheck, AcceptedLinesWidenTheRange)
{
    EXPECT_TRUE(check("5"));
    EXPECT_EQ(seq_state().seq_min, 5U);
    EXPECT_EQ(seq_state().seq_max, 5U);
    check_all({9, 2, 7});
    EXPECT_EQ(seq_state().seq_min, 2U);
    EXPECT_EQ(seq_state().seq_max, 9U);

    // An event log's number is item 1, a transaction log's item 7.
    seq_reset();
    std::string event_line = "0/11/2/3/4/5/6/77";
    std::string transaction_line = event_line;
    EXPECT_TRUE(seq_check_line(event_line.data(), log_mode::event));
    EXPECT_EQ(seq_state().seq_max, 11U);
    EXPECT_TRUE(seq_check_line(transaction_line.data(), log_mode::transaction));
    EXPECT_EQ(seq_state().seq_min, 11U);
    EXPECT_EQ(seq_state().seq_max, 77U);

    seq_reset();
    EXPECT_TRUE(check("799999"));
    EXPECT_EQ(seq_state().seq_min, 799999U);
    EXPECT_EQ(seq_state().seq_max, 799999U);
}

TEST_F(SequenceCheck, LinesWithoutAUsableNumberAreRejected)
{
    const std::string numbers[] = {"0",  "800000", "800001", "4294967295",
                                   "-1", "abc",    "",       std::string(10000, '9')};
    for (const log_mode mode : {log_mode::transaction, log_mode::event}) {
        state.mode = mode;
        for (const std::string& number : numbers) {
            SCOPED_TRACE(::testing::PrintToString(number.substr(0, 30)));
            seq_reset();
            EXPECT_FALSE(check(number));
            expect_empty_tracker();
        }
    }
    // Too few items to carry the number.
    std::string short_transaction = "T/1/2";
    std::string short_event = "EV";
    EXPECT_FALSE(seq_check_line(short_transaction.data(), log_mode::transaction));
    EXPECT_FALSE(seq_check_line(short_event.data(), log_mode::event));
    expect_empty_tracker();
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

TEST_F(SequenceCheck, ResetEmptiesTheTrackerForTheNextRun)
{
    seq_record(3);
    seq_record(6);
    seq_reset();
    expect_empty_tracker();

    // Neither the gap 4-5 nor a lack of progression is left over.
    state.line_counter = 2;
    EXPECT_EQ(scan(), "");
    check_all({10, 11});
    state.line_counter = 3;
    EXPECT_EQ(scan(), "");
    EXPECT_EQ(result_log(), "");
    EXPECT_EQ(state.error_count, 0U);
}

// Gap scan

TEST_F(SequenceCheck, ScanReportsEachMissingNumberOrALackOfProgression)
{
    const std::string gap3 = "\nsequence2 error at line 3";
    const std::string gap4 = "\nsequence2 error at line 4";
    const std::string stuck3 = "\nsequence3 error at line 3";
    const log_mode T = log_mode::transaction, E = log_mode::event;
    const struct {
        const char* name;
        log_mode mode;
        std::vector<uint32_t> numbers;
        uint32_t line_counter, errors_before;
        std::string console, records;
        uint32_t errors_after;
    } cases[] = {
        {"out of order without gaps", T, {3, 5, 4}, 4, 2, "", "", 2},
        {"transaction gaps ascend",
         T,
         {3, 6},
         3,
         1,
         repeated(gap3, 2),
         "//4//////,MISSING SEQUENCE\n//5//////,MISSING SEQUENCE\n",
         3},
        {"event gaps use the event texts",
         E,
         {3, 6},
         3,
         0,
         repeated("\nsequence1 error at line 3", 2),
         "/4//,MISSING SEQUENCE\n/5//,MISSING SEQUENCE\n",
         2},
        {"gaps ascend whatever the line order",
         T,
         {10, 5, 7},
         4,
         0,
         repeated(gap4, 3),
         "//6//////,MISSING SEQUENCE\n//8//////,MISSING SEQUENCE\n"
         "//9//////,MISSING SEQUENCE\n",
         3},
        {"every gap names the final line counter",
         T,
         {1, 4},
         42,
         0,
         repeated("\nsequence2 error at line 42", 2),
         "//2//////,MISSING SEQUENCE\n//3//////,MISSING SEQUENCE\n",
         2},
        {"repeated numbers are no gaps",
         T,
         {7, 7, 9},
         4,
         0,
         gap4,
         "//8//////,MISSING SEQUENCE\n",
         1},
        {"gap just below the limit",
         T,
         {799997, 799999},
         3,
         0,
         gap3,
         "//799998//////,MISSING SEQUENCE\n",
         1},
        // Two or more verified lines must advance the number.
        {"no number after two lines", T, {}, 3, 2, stuck3, "", 3},
        {"same number twice", T, {5, 5}, 3, 0, stuck3, "", 1},
        {"no progression in an event log",
         E,
         {5, 5, 5},
         4,
         0,
         "\nsequence3 error at line 4",
         "",
         1},
        // The counter starts at 1, so up to 2 at most one line was verified.
        {"counter 1, no number", T, {}, 1, 0, "", "", 0},
        {"counter 1, one number", T, {8}, 1, 0, "", "", 0},
        {"counter 2, no number", T, {}, 2, 0, "", "", 0},
        {"counter 2, one number", T, {8}, 2, 0, "", "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        start_run(c.mode);
        check_all(c.numbers);
        state.line_counter = c.line_counter;
        state.error_count = c.errors_before;
        EXPECT_EQ(scan(), c.console);
        EXPECT_EQ(result_log(), c.records);
        EXPECT_EQ(state.error_count, c.errors_after);
        EXPECT_FALSE(state.result_log_failed);
    }
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
