// The judgement of a run: settles each checked line (its fate, its
// sequence number, the tallies of lines, keys and problems) and, after the
// last line, finishes the run (the missing numbers). It opens, writes and
// prints nothing: the run records and renders what it decides.
#pragma once

#include <cstddef>
#include <map>
#include <memory>

#include "run_record.hpp"
#include "sequence_check.hpp"
#include "signature_check.hpp"

struct ledger_settings {
    log_mode mode = log_mode::transaction;
    // The verdicts identify their keys: the keys seen are tallied.
    bool tallies_keys = false;
    // Trusted keys were given: each key seen is trusted or not.
    bool knows_trust = false;
};

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

    // The fate of a checked line from its verdict (never out_of_memory),
    // counted. The report points into data, signature and the ledger, and
    // holds until the next line is settled.
    line_report settle(const line_position& where, const char* data, const char* signature,
                       const line_verdict& verdict);

    // After the last line: the missing numbers, the lack of progression and
    // the range of numbers seen.
    void finish();

    // Where the last settled line stands (line 0 before the first).
    const line_position& last_settled() const { return last_settled_; }

    run_result& result() { return result_; }
    const run_result& result() const { return result_; }

private:
    void end_line();
    line_fate fate_of(const char* data, const line_verdict& verdict);
    const key_identity* tally_key(const line_verdict& verdict);
    void tally_problem(const line_report& line);

    const ledger_settings settings_;
    run_result result_;
    std::unique_ptr<seq_tracker> tracker_;
    // Where each key seen stands in result_.keys.
    std::map<key_fingerprint, std::size_t> key_index_;
    // The key of the last line whose key is not listed.
    key_identity unlisted_key_;
    line_position last_settled_;
    // The physical line being read, until its last piece is known.
    bool in_line_ = false;
    bool line_blank_ = false;
};
