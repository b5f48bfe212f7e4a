// Settling checked lines and finishing a run, without a file or a process.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "gap_watch.hpp"
#include "ledger.hpp"
#include "line_format.hpp"

// The cases name only the settings they change, with designated
// initializers; the others keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

// Ranges of numbers as pairs, to compare whole.
using number_ranges = std::vector<std::pair<uint32_t, uint32_t>>;
number_ranges pairs_of(const std::vector<sequence_range>& missing)
{
    number_ranges pairs;
    for (const sequence_range& range : missing)
        pairs.emplace_back(range.first, range.last);
    return pairs;
}

key_identity key_named(unsigned char id)
{
    key_identity key;
    key.sha256.fill(id);
    key.type = {'E', 'C'};
    return key;
}

line_verdict verdict_of(check_verdict kind, unsigned char key = 1, int32_t code = 0)
{
    return {kind, code, key_named(key)};
}

struct settled {
    ledger book;
    log_mode mode;
    uint64_t line = 0;

    explicit settled(ledger_settings settings = {}, log_mode log = log_mode::transaction)
        : book(settings), mode(log)
    {
    }

    // The number of a data field, as the run reads it when it splits a line.
    line_fate settle(const std::string& data, const line_verdict& verdict)
    {
        return book
            .settle({0, ++line}, data.c_str(), "sig", {extract_sequence(data.c_str(), mode)},
                    verdict)
            .fate;
    }
    line_fate settle(long number, const line_verdict& verdict)
    {
        return settle("tx/0/1/2/3/4/5/" + std::to_string(number), verdict);
    }
};

TEST(Ledger, AtMostKeptKeysAreListedAndTheOthersLinesCounted)
{
    ledger_settings settings;
    settings.tallies_keys = true;
    settled run(settings);
    line_verdict verdict = verdict_of(check_verdict::verified);
    for (std::size_t i = 0; i < KEPT_KEYS + 3; ++i) {
        verdict.key.sha256.fill(0);
        verdict.key.sha256[0] = static_cast<unsigned char>(i);
        verdict.key.sha256[1] = static_cast<unsigned char>(i >> 8);
        const line_report line =
            run.book.settle({0, ++run.line}, "tx/0/1/2/3/4/5/1", "sig", {1}, verdict);
        // Every line still names its own key, listed or not.
        ASSERT_NE(line.key, nullptr);
        EXPECT_EQ(line.key->sha256, verdict.key.sha256);
    }
    // A listed key seen again is counted on its own row.
    verdict.key.sha256.fill(0);
    run.book.settle({0, ++run.line}, "tx/0/1/2/3/4/5/2", "sig", {2}, verdict);
    const run_result& result = run.book.result();
    ASSERT_EQ(result.keys.size(), KEPT_KEYS);
    EXPECT_EQ(result.keys.front().lines, 2U);
    EXPECT_EQ(result.keys.back().key.sha256[0], static_cast<unsigned char>(KEPT_KEYS - 1));
    EXPECT_EQ(result.key_lines_omitted, 3U);
    EXPECT_EQ(result.lines_checked, KEPT_KEYS + 4);
}

TEST(Ledger, EachVerdictHasItsFateAndItsCount)
{
    settled run;
    const line_report first = run.book.settle({0, 7}, "tx/0/1/2/3/4/5/1", "sig", {1},
                                              verdict_of(check_verdict::verified));
    EXPECT_EQ(first.fate, line_fate::ok);
    EXPECT_EQ(first.counter, 1U);
    EXPECT_EQ(first.where.line, 7U);
    EXPECT_STREQ(first.data, "tx/0/1/2/3/4/5/1");
    // A key error keeps the counter where it is and sets the last code.
    EXPECT_EQ(run.settle(2, verdict_of(check_verdict::key_error, 1, -0x3d62)),
              line_fate::key_error);
    EXPECT_EQ(run.book.result().last_result_code, -0x3d62);
    EXPECT_EQ(run.settle(3, verdict_of(check_verdict::bad_signature)), line_fate::bad_signature);
    EXPECT_EQ(run.book.result().last_result_code, 0);
    EXPECT_EQ(run.settle(4, verdict_of(check_verdict::untrusted_key)), line_fate::untrusted_key);
    EXPECT_EQ(run.settle("tx/0/1/2/3/4/5/x", verdict_of(check_verdict::verified)),
              line_fate::no_sequence_number);
    EXPECT_EQ(run.settle(800000, verdict_of(check_verdict::verified)),
              line_fate::no_sequence_number);
    const line_report last =
        run.book.settle({1, 2}, "tx/0/1/2/3/4/5/9", "", {9}, verdict_of(check_verdict::verified));
    EXPECT_EQ(last.counter, 6U);

    const run_result& result = run.book.result();
    EXPECT_EQ(result.lines_checked, 6U);
    EXPECT_EQ(result.lines_of(line_fate::ok), 2U);
    EXPECT_EQ(result.lines_of(line_fate::key_error), 1U);
    EXPECT_EQ(result.lines_of(line_fate::bad_signature), 1U);
    EXPECT_EQ(result.lines_of(line_fate::untrusted_key), 1U);
    EXPECT_EQ(result.lines_of(line_fate::no_sequence_number), 2U);
    EXPECT_EQ(run.book.last_settled().log, 1U);
    EXPECT_EQ(run.book.last_settled().line, 2U);
    ASSERT_EQ(result.problems.size(), 5U);
    EXPECT_EQ(result.problems[0].fate, line_fate::key_error);
    EXPECT_EQ(result.problems[0].key_code, -0x3d62);
    EXPECT_EQ(result.problems[0].where.line, 1U);
}

TEST(Ledger, FinishingFindsTheMissingNumbers)
{
    settled run;
    for (const long number : {3, 9, 4, 7, 3})
        run.settle(number, verdict_of(check_verdict::verified));
    run.book.finish();
    const run_result& result = run.book.result();
    EXPECT_EQ(pairs_of(result.missing), (number_ranges{{5, 6}, {8, 8}}));
    EXPECT_EQ(result.missing_numbers, 3U);
    EXPECT_EQ(result.first_number, 3U);
    EXPECT_EQ(result.last_number, 9U);
    EXPECT_FALSE(result.no_progression);
    EXPECT_EQ(result.counted_errors(), 3U);

    settled still;
    still.settle(5, verdict_of(check_verdict::verified));
    still.settle(5, verdict_of(check_verdict::bad_signature));
    still.book.finish();
    EXPECT_TRUE(still.book.result().no_progression);
    EXPECT_EQ(still.book.result().counted_errors(), 2U);

    settled none;
    none.book.finish();
    EXPECT_FALSE(none.book.result().first_number);
    EXPECT_FALSE(none.book.result().no_progression);
}

TEST(Ledger, ARunGoingOnKnowsWhatIsMissingSoFar)
{
    ledger_settings settings;
    settings.expect_first = 1;
    settings.expect_last = 20;
    settled run(settings);
    for (const long number : {2, 3, 6})
        run.settle(number, verdict_of(check_verdict::verified));
    // Those up to the expected last are not missing yet, those before the
    // expected first are.
    const run_result now = run.book.so_far();
    EXPECT_EQ(pairs_of(now.missing), (number_ranges{{1, 1}, {4, 5}}));
    EXPECT_EQ(now.missing_numbers, 3U);
    EXPECT_EQ(now.last_number, 6U);
    EXPECT_TRUE(run.book.is_recorded(3));
    EXPECT_FALSE(run.book.is_recorded(4));
    EXPECT_FALSE(run.book.is_recorded(0));
    run.book.finish();
    EXPECT_EQ(run.book.result().missing_numbers, 3U + 14U);
}

// Gaps said once they stayed open for the wait, as what is still missing
// of them then; a first number opens none.
TEST(Ledger, GapsAreSaidOnceTheyStayOpen)
{
    using std::chrono::seconds;
    const gap_watch::clock::time_point start{};
    settled run;
    gap_watch gaps;
    uint32_t largest = 0;
    const auto arrive = [&](uint32_t number, seconds at) {
        run.settle(number, verdict_of(check_verdict::verified));
        gaps.note(number, largest, start + at);
        largest = std::max(largest, number);
    };
    arrive(5, seconds(0));
    arrive(6, seconds(0));
    arrive(12, seconds(1));  // 7 to 11 open
    arrive(9, seconds(2));   // late, not a gap of its own
    arrive(14, seconds(3));  // 13 open
    EXPECT_TRUE(gaps.due(start + seconds(10), seconds(10), run.book).empty());
    EXPECT_EQ(pairs_of(gaps.due(start + seconds(11), seconds(10), run.book)),
              (number_ranges{{7, 8}, {10, 11}}));
    EXPECT_TRUE(gaps.due(start + seconds(12), seconds(10), run.book).empty());
    arrive(13, seconds(4));  // arrived before its gap was due
    EXPECT_TRUE(gaps.due(start + seconds(13), seconds(10), run.book).empty());
}

TEST(Ledger, KeysAreTalliedInOrderOfFirstAppearance)
{
    settled run({.tallies_keys = true, .knows_trust = true});
    run.settle(1, verdict_of(check_verdict::verified, 7));
    const line_report untrusted = run.book.settle({0, 9}, "tx/0/1/2/3/4/5/2", "", {2},
                                                  verdict_of(check_verdict::untrusted_key, 3));
    ASSERT_NE(untrusted.key, nullptr);
    EXPECT_EQ(untrusted.key->sha256, key_named(3).sha256);
    run.settle(3, verdict_of(check_verdict::bad_signature, 7));
    run.settle(4, verdict_of(check_verdict::key_error, 9, -0x3d60));
    const std::vector<key_seen>& keys = run.book.result().keys;
    ASSERT_EQ(keys.size(), 2U);  // a key that does not parse is no key
    EXPECT_EQ(keys[0].key.sha256, key_named(7).sha256);
    EXPECT_EQ(keys[0].lines, 2U);
    EXPECT_EQ(keys[0].trusted, true);
    EXPECT_EQ(keys[1].lines, 1U);
    EXPECT_EQ(keys[1].trusted, false);

    settled unknown({.tallies_keys = true});
    unknown.settle(1, verdict_of(check_verdict::verified, 7));
    EXPECT_FALSE(unknown.book.result().keys[0].trusted);
    settled uncounted;
    EXPECT_EQ(uncounted.book.settle({0, 1}, "x", "", {0}, verdict_of(check_verdict::verified)).key,
              nullptr);
    EXPECT_TRUE(uncounted.book.result().keys.empty());
}

TEST(Ledger, ProblemsAreKeptUpToTheirLimitAndCountedBeyondIt)
{
    settled run;
    for (std::size_t i = 0; i < KEPT_PROBLEMS + 3; ++i)
        run.settle(1, verdict_of(check_verdict::bad_signature));
    run.settle(1, verdict_of(check_verdict::verified));
    EXPECT_EQ(run.book.result().problems.size(), KEPT_PROBLEMS);
    EXPECT_EQ(run.book.result().problems.back().where.line, KEPT_PROBLEMS);
    EXPECT_EQ(run.book.result().problems_omitted, 3U);
}

TEST(Ledger, PhysicalLinesAndBlankOnesAreCounted)
{
    ledger book({});
    book.read_piece(true, false);
    book.read_piece(false, true);  // fields, then a blank last piece
    book.read_piece(true, true);   // blank in all its pieces
    book.read_piece(false, true);
    book.read_piece(true, true);  // a blank piece, then one with fields
    book.read_piece(false, false);
    book.read_piece(true, true);  // ended by the log's end
    book.end_log();
    book.end_log();
    EXPECT_EQ(book.result().lines_read, 4U);
    EXPECT_EQ(book.result().lines_blank, 2U);
}

TEST(Ledger, EventLogsTakeTheirNumberFromItemOne)
{
    settled run({}, log_mode::event);
    EXPECT_EQ(run.settle("ev/4/x", verdict_of(check_verdict::verified)), line_fate::ok);
    EXPECT_EQ(run.settle("ev/x/6", verdict_of(check_verdict::verified)),
              line_fate::no_sequence_number);
    run.settle("ev/6/x", verdict_of(check_verdict::verified));
    run.book.finish();
    EXPECT_EQ(run.book.result().missing_numbers, 1U);
}

TEST(Ledger, StrictRunsMakeReplaysAndDisorderErrors)
{
    for (const bool strict : {false, true}) {
        SCOPED_TRACE(strict);
        settled run({.strict = strict, .log_names = {"a.log", "b.log"}});
        EXPECT_EQ(run.settle(3, verdict_of(check_verdict::verified)), line_fate::ok);
        EXPECT_EQ(run.settle(6, verdict_of(check_verdict::verified)), line_fate::ok);
        const line_report replay = run.book.settle({1, 40}, "tx/0/1/2/3/4/5/3", "", {3},
                                                   verdict_of(check_verdict::verified));
        const line_report late = run.book.settle({1, 41}, "tx/0/1/2/3/4/5/5", "", {5},
                                                 verdict_of(check_verdict::verified));
        // A number seen again is a replay, not disorder; one not seen before
        // is in order again once above the largest.
        EXPECT_EQ(run.settle(5, verdict_of(check_verdict::verified)),
                  strict ? line_fate::repeated_number : line_fate::ok);
        EXPECT_EQ(run.settle(7, verdict_of(check_verdict::verified)), line_fate::ok);
        run.book.finish();
        const run_result& result = run.book.result();
        EXPECT_EQ(result.repeated_numbers, 2U);
        EXPECT_EQ(result.out_of_order_numbers, 1U);
        EXPECT_EQ(result.lines_of(line_fate::repeated_number), strict ? 2U : 0U);
        EXPECT_EQ(result.lines_of(line_fate::out_of_order), strict ? 1U : 0U);
        EXPECT_EQ(result.lines_of(line_fate::ok), strict ? 3U : 6U);
        EXPECT_EQ(result.missing_numbers, 1U);  // 4 only: 5 came out of order
        EXPECT_EQ(result.counted_errors(), strict ? 4U : 1U);
        EXPECT_EQ(replay.number, 3U);
        if (strict) {
            EXPECT_EQ(replay.fate, line_fate::repeated_number);
            EXPECT_EQ(replay.first_path, "a.log");
            EXPECT_EQ(replay.first_line, 1U);
            EXPECT_EQ(late.fate, line_fate::out_of_order);
            EXPECT_EQ(late.largest_before, 6U);
        } else {
            EXPECT_EQ(replay.fate, line_fate::ok);
            EXPECT_EQ(late.fate, line_fate::ok);
        }
    }
}

TEST(Ledger, ExpectedFirstAndLastMakeCutEdgesGaps)
{
    const auto missing_of = [](settled& run) {
        run.book.finish();
        return pairs_of(run.book.result().missing);
    };
    settled both({.expect_first = 2, .expect_last = 9});
    EXPECT_EQ(both.settle(4, verdict_of(check_verdict::verified)), line_fate::ok);
    EXPECT_EQ(both.settle(6, verdict_of(check_verdict::verified)), line_fate::ok);
    EXPECT_EQ(both.settle(1, verdict_of(check_verdict::verified)), line_fate::unexpected_number);
    EXPECT_EQ(both.settle(10, verdict_of(check_verdict::verified)), line_fate::unexpected_number);
    EXPECT_EQ(missing_of(both), (number_ranges{{2, 3}, {5, 5}, {7, 9}}));
    EXPECT_EQ(both.book.result().missing_numbers, 6U);
    EXPECT_EQ(both.book.result().lines_of(line_fate::unexpected_number), 2U);
    EXPECT_EQ(both.book.result().first_number, 4U);  // numbers outside are not recorded

    settled exact({.expect_first = 4, .expect_last = 6});
    for (const long number : {4, 5, 6})
        exact.settle(number, verdict_of(check_verdict::verified));
    EXPECT_TRUE(missing_of(exact).empty());

    settled nothing({.expect_first = 3, .expect_last = 5});
    EXPECT_EQ(missing_of(nothing), (number_ranges{{3, 5}}));
    settled first_only({.expect_first = 3});
    EXPECT_TRUE(missing_of(first_only).empty());
}

TEST(Ledger, AStrictRunWithoutAVerifiedLineIsOneError)
{
    settled empty({.strict = true});
    empty.settle(1, verdict_of(check_verdict::key_error, 1, -0x3d62));
    empty.book.finish();
    EXPECT_TRUE(empty.book.result().nothing_verified);
    EXPECT_EQ(empty.book.result().counted_errors(), 2U);
    settled lax;
    lax.book.finish();
    EXPECT_FALSE(lax.book.result().nothing_verified);
    settled one({.strict = true});
    one.settle(1, verdict_of(check_verdict::bad_signature));
    one.book.finish();
    EXPECT_FALSE(one.book.result().nothing_verified);
}

}  // namespace
