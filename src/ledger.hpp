// The judgement of a run: settles each checked line (its fate, its
// sequence number, the tallies of lines, keys and problems) and, after the
// last line, finishes the run (the missing numbers). It opens, writes and
// prints nothing: the run records and renders what it decides.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "run_record.hpp"
#include "sequence_check.hpp"
#include "signature_check.hpp"
#include "trusted_keys.hpp"

struct ledger_settings {
    // The verdicts identify their keys: the keys seen are tallied.
    bool tallies_keys = false;
    // Trusted keys were given: each key seen is trusted or not.
    bool knows_trust = false;
    // Replays and numbers out of order are errors, and so is a run in which
    // no line reached verification.
    bool strict = false;
    // The numbers the log must begin and end with.
    std::optional<uint32_t> expect_first;
    std::optional<uint32_t> expect_last;
    // The trusted keys, whose conditions bound the lines each may sign.
    const trust_list* trust = nullptr;
    // With --strict and lines' times: the run's clock, and how far a time
    // may go back from the latest before it or ahead of the clock.
    std::optional<unix_seconds> clock;
    unix_seconds tolerance = 60;
    // The names of the logs that first positions refer to, and for each log
    // of the run (line_position::log) its number among them; without one,
    // a log's number is its place in the run.
    std::vector<std::string> log_names;
    std::vector<uint32_t> name_of_log;
};

// A run of numbers first recorded on consecutive lines of one log: number
// + i first at line + i of log log_names[log].
struct first_seen_run {
    uint32_t number = 0;
    uint32_t count = 0;
    uint32_t log = 0;
    uint64_t line = 0;
};

// A count of lines for each of some numbers, ascending by number.
using number_counts = std::vector<std::pair<uint32_t, uint32_t>>;

// What a ledger carries from one run to the next: the counts of every line
// settled (not the end-of-run facts, which finish() works out again), the
// keys seen, the numbers recorded and, under --strict, where each was
// first recorded; the problems listed; and what judging the lines again
// under other expected numbers needs: the lines beyond the first of each
// recorded number, the lines of each number found outside the expected
// numbers, and the numbers whose first line came out of order.
struct ledger_state {
    run_result counts;
    seq_tracker tracker;
    std::vector<first_seen_run> first_seen;
    // Made with --strict: repeated and out-of-order lines were errors.
    bool strict = false;
    number_counts extra_lines;
    number_counts unexpected_lines;
    std::vector<uint32_t> out_of_order_first;
    // The latest time of a line so far.
    std::optional<unix_seconds> latest_time;
};

// The physical lines of a log that did not verify (their key or their
// signature), ascending; complete unless there were more than
// KEPT_FAILED_LINES.
struct failed_lines {
    std::vector<uint64_t> lines;
    bool complete = true;
};
inline constexpr std::size_t KEPT_FAILED_LINES = 1024;

// At most this many runs of first positions are carried over; numbers
// beyond them are known to be recorded but not where.
inline constexpr std::size_t KEPT_FIRST_SEEN_RUNS = 65536;

class ledger {
public:
    explicit ledger(const ledger_settings& settings);

    // A piece of a physical line read, blank when it holds nothing but
    // whitespace. A physical line counts as read at its first piece, and as
    // blank when all its pieces are, once the next line or the end of its
    // log shows that it has no more.
    void read_piece(bool starts_line, bool blank);
    // The end of a log ends its last line, with or without a line end.
    void end_log() { end_line(); }

    // The fate of a checked line from its verdict (never out_of_memory) and
    // what its data field says of its place (its number, 0 for none, and
    // its time), counted. The report points into data, signature and the
    // ledger, and holds until the next line is settled.
    line_report settle(const line_position& where, const char* data, const char* signature,
                       const line_place& place, const line_verdict& verdict);

    // After the last line: the missing numbers, the lack of progression, a
    // run in which nothing was verified, and the range of numbers seen.
    void finish();
    // Where a run that goes on stands now: its record, with the numbers
    // missing so far (those up to an expected last one are not missing
    // yet) and the range of numbers seen.
    run_result so_far() const;
    // Whether number was recorded.
    bool is_recorded(uint32_t number) const;

    // What the next run needs to go on from here.
    std::unique_ptr<ledger_state> state() const;
    // Goes on from what an earlier run left, as if its lines had been
    // settled here under this ledger's settings: a history made without
    // --strict is judged as --strict judges it (its repeated and
    // out-of-order lines become errors), and numbers outside the expected
    // ones become errors, or inside them, recorded.
    void restore(const ledger_state& state);
    // The lines of log (this run's number) that did not verify.
    const failed_lines& failed_lines_of(std::size_t log) const;
    // Names the logs that first positions refer to (see ledger_settings).
    void name_logs(std::vector<std::string> names, std::vector<uint32_t> name_of_log);
    // A log added to the run (a followed log's next file), named name.
    void add_log(const std::string& name);

    // Where the last settled line stands (line 0 before the first).
    const line_position& last_settled() const { return last_settled_; }

    run_result& result() { return result_; }
    const run_result& result() const { return result_; }

private:
    void end_line();
    line_fate fate_of(const line_place& place, const line_verdict& verdict, line_report& line);
    line_fate fate_of_time(const line_place& place, const line_verdict& verdict, line_report& line);
    line_fate fate_of_number(uint32_t number, line_report& line);
    bool expected(uint32_t number) const;
    void note_first_seen(uint32_t number, const line_position& where);
    void mark_out_of_order_first(uint32_t number);
    line_fate repeat_fate() const;
    void find_first_seen(uint32_t number, line_report& line) const;
    const key_identity* tally_key(const line_verdict& verdict);
    void tally_problem(const line_report& line);
    const std::vector<key_conditions>* conditions_of(const key_fingerprint& key) const;
    void note_failed(const line_position& where);
    void judge_as_strict(const ledger_state& state);
    void judge_expected_again();
    void unrecord(uint32_t number);
    void record_unexpected(uint32_t number, uint32_t lines);

    ledger_settings settings_;
    run_result result_;
    std::unique_ptr<seq_tracker> tracker_;
    // Where each key seen stands in result_.keys.
    std::map<key_fingerprint, std::size_t> key_index_;
    // The key of the last line whose key is not listed.
    key_identity unlisted_key_;
    line_position last_settled_;
    // Under --strict, where each number was first recorded: the log's
    // number plus one in the top bits, its physical line below; 0 where not
    // known.
    std::vector<uint64_t> first_seen_;
    // Lines beyond the first of each recorded number, lines of each number
    // outside the expected ones, and numbers whose first line came out of
    // order; allocated when first needed.
    std::vector<uint32_t> extra_lines_;
    std::vector<uint32_t> unexpected_lines_;
    std::vector<bool> out_of_order_first_;
    // By this run's number of each log.
    std::vector<failed_lines> failed_;
    std::optional<unix_seconds> latest_time_;
    // The physical line being read, until its last piece is known.
    bool in_line_ = false;
    bool line_blank_ = false;
};
