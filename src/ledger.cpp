#include "ledger.hpp"

#include <utility>

ledger::ledger(const ledger_settings& settings)
    : settings_(settings), tracker_(std::make_unique<seq_tracker>())
{
}

void ledger::read_piece(bool starts_line, bool blank)
{
    if (starts_line) {
        end_line();
        ++result_.lines_read;
        in_line_ = true;
        line_blank_ = true;
    }
    line_blank_ = line_blank_ && blank;
}

// A line is known to be blank once its last piece is read.
void ledger::end_line()
{
    if (in_line_ && line_blank_)
        ++result_.lines_blank;
    in_line_ = false;
}

line_report ledger::settle(const line_position& where, const char* data, const char* signature,
                           const line_verdict& verdict)
{
    line_report line;
    line.where = where;
    line.counter = result_.line_counter();
    line.data = data;
    line.signature = signature;
    if (verdict.kind == check_verdict::key_error) {
        // A key that does not parse still counts as an error; the line
        // counter stays, since the line never reached verification.
        ++result_.key_errors;
        result_.last_result_code = verdict.key_code;
        line.fate = line_fate::key_error;
        line.key_code = verdict.key_code;
    } else {
        line.key = tally_key(verdict);
        line.fate = fate_of(data, verdict);
        ++result_.lines_checked;
        result_.last_result_code = 0;
    }
    tally_problem(line);
    last_settled_ = where;
    return line;
}

// The fate of a line that reached verification, counted.
line_fate ledger::fate_of(const char* data, const line_verdict& verdict)
{
    if (verdict.kind == check_verdict::bad_signature) {
        ++result_.signature_errors;
        return line_fate::bad_signature;
    }
    if (verdict.kind == check_verdict::untrusted_key) {
        ++result_.untrusted_key_errors;
        return line_fate::untrusted_key;
    }
    if (!seq_check_line(*tracker_, data, settings_.mode)) {
        // A verified line without a usable sequence number cannot be placed
        // in the log's order, so it is an error too.
        ++result_.sequence_number_errors;
        return line_fate::no_sequence_number;
    }
    ++result_.lines_ok;
    return line_fate::ok;
}

// Counts the key of a line among the keys seen.
const key_identity* ledger::tally_key(const line_verdict& verdict)
{
    if (!settings_.tallies_keys)
        return nullptr;
    const auto listed = key_index_.find(verdict.key.sha256);
    if (listed == key_index_.end() && result_.keys.size() >= KEPT_KEYS) {
        ++result_.key_lines_omitted;
        unlisted_key_ = verdict.key;
        return &unlisted_key_;
    }
    auto [at, added] = key_index_.try_emplace(verdict.key.sha256, result_.keys.size());
    if (added) {
        key_seen seen;
        seen.key = verdict.key;
        if (settings_.knows_trust)
            seen.trusted = verdict.kind != check_verdict::untrusted_key;
        result_.keys.push_back(seen);
    }
    key_seen& seen = result_.keys[at->second];
    ++seen.lines;
    return &seen.key;
}

void ledger::tally_problem(const line_report& line)
{
    if (line.fate == line_fate::ok)
        return;
    if (result_.problems.size() < KEPT_PROBLEMS) {
        result_.problems.push_back({line.where, line.fate, line.key_code});
    } else {
        ++result_.problems_omitted;
    }
}

void ledger::finish()
{
    sequence_gaps gaps = seq_scan_gaps(*tracker_, result_.lines_checked);
    for (const sequence_range& range : gaps.missing)
        result_.missing_numbers += range.last - range.first + 1;
    result_.missing = std::move(gaps.missing);
    result_.no_progression = gaps.no_progression;
    if (seq_has_numbers(*tracker_)) {
        result_.first_number = tracker_->seq_min;
        result_.last_number = tracker_->seq_max;
    }
}
