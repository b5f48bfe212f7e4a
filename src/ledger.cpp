#include "ledger.hpp"

#include <algorithm>
#include <utility>

namespace {

// A position packed into 64 bits: the log's number plus one above a line
// of at most 40 bits.
constexpr int LINE_BITS = 40;
constexpr uint64_t LINE_MASK = (uint64_t{1} << LINE_BITS) - 1;
constexpr uint64_t MAX_LOGS = (uint64_t{1} << (64 - LINE_BITS)) - 1;

// Counts of a history whose lines are judged again never go below 0, even
// for a checkpoint whose counts do not add up.
void take_away(uint64_t& count, uint64_t amount) { count -= std::min(count, amount); }

void add_lines(std::vector<uint32_t>& counts, uint32_t number, uint32_t lines)
{
    if (counts.empty())
        counts.resize(SEQ_LIMIT);
    counts[number] = counts[number] > UINT32_MAX - lines ? UINT32_MAX : counts[number] + lines;
}

uint32_t lines_of(const std::vector<uint32_t>& counts, uint32_t number)
{
    return counts.empty() ? 0 : counts[number];
}

number_counts sparse(const std::vector<uint32_t>& counts)
{
    number_counts pairs;
    for (uint32_t number = 1; number < counts.size(); ++number) {
        if (counts[number] != 0)
            pairs.emplace_back(number, counts[number]);
    }
    return pairs;
}

std::vector<uint32_t> dense(const number_counts& pairs)
{
    std::vector<uint32_t> counts;
    for (const auto& [number, lines] : pairs) {
        if (seq_in_range(number))
            add_lines(counts, number, lines);
    }
    return counts;
}

}  // namespace

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
                           const line_place& place, const line_verdict& verdict)
{
    line_report line;
    line.where = where;
    line.counter = result_.line_counter();
    line.data = data;
    line.signature = signature;
    if (verdict.kind == check_verdict::key_error) {
        // A key that does not parse still counts as an error; the line
        // counter stays, since the line never reached verification.
        result_.last_result_code = verdict.key_code;
        line.fate = line_fate::key_error;
        line.key_code = verdict.key_code;
    } else {
        line.key = tally_key(verdict);
        line.fate = fate_of(place, verdict, line);
        ++result_.lines_checked;
        result_.last_result_code = 0;
    }
    ++result_.lines_of(line.fate);
    tally_problem(line);
    last_settled_ = where;
    return line;
}

// The fate of a line that reached verification.
line_fate ledger::fate_of(const line_place& place, const line_verdict& verdict, line_report& line)
{
    switch (verdict.kind) {
        case check_verdict::bad_signature:
            return line_fate::bad_signature;
        case check_verdict::untrusted_key:
            return line_fate::untrusted_key;
        case check_verdict::key_encoding:
            return line_fate::key_encoding;
        case check_verdict::signature_encoding:
            return line_fate::signature_encoding;
        default:
            break;
    }
    const line_fate by_time = fate_of_time(place, verdict, line);
    if (by_time != line_fate::ok)
        return by_time;
    const uint32_t sequence = place.sequence;
    if (!seq_in_range(sequence)) {
        // A verified line without a usable sequence number cannot be placed
        // in the log's order, so it is an error too.
        return line_fate::no_sequence_number;
    }
    line.number = sequence;
    return fate_of_number(sequence, line);
}

// Whether a verified line's trusted key may sign it, and, under --strict,
// whether its time is one: ok, or the fate it gets instead.
line_fate ledger::fate_of_time(const line_place& place, const line_verdict& verdict,
                               line_report& line)
{
    const line_time& time = place.time;
    if (settings_.strict && time.read && !time.value)
        return line_fate::time_unreadable;
    if (settings_.trust != nullptr) {
        const uint32_t number = seq_in_range(place.sequence) ? place.sequence : 0;
        const key_refusal refusal =
            key_refusal_of(*settings_.trust, verdict.key.sha256, number, time);
        if (refusal.entry != nullptr) {
            line.number = place.sequence;
            line.refusal = {refusal.entry, refusal.miss, time.value, 0};
            return line_fate::key_not_valid;
        }
    }
    if (!time.value)
        return line_fate::ok;
    const unix_seconds at = *time.value;
    if (settings_.strict && latest_time_ && at < *latest_time_ - settings_.tolerance) {
        line.refusal = {nullptr, condition_miss::none, at, *latest_time_};
        return line_fate::time_backwards;
    }
    if (settings_.strict && settings_.clock && at > *settings_.clock + settings_.tolerance) {
        line.refusal = {nullptr, condition_miss::none, at, *settings_.clock};
        return line_fate::time_in_future;
    }
    latest_time_ = std::max(latest_time_.value_or(at), at);
    return line_fate::ok;
}

// The fate of a verified line by its number, which is recorded unless it
// lies outside the expected range.
line_fate ledger::fate_of_number(uint32_t number, line_report& line)
{
    if (!expected(number)) {
        add_lines(unexpected_lines_, number, 1);
        return line_fate::unexpected_number;
    }
    const bool repeated = seq_is_recorded(*tracker_, number);
    const bool out_of_order = !repeated && number < tracker_->seq_max;
    line.largest_before = tracker_->seq_max;
    seq_record(*tracker_, number);
    if (repeated) {
        add_lines(extra_lines_, number, 1);
        ++result_.repeated_numbers;
        if (settings_.strict) {
            find_first_seen(number, line);
            return line_fate::repeated_number;
        }
    } else {
        note_first_seen(number, line.where);
    }
    if (out_of_order) {
        mark_out_of_order_first(number);
        ++result_.out_of_order_numbers;
        if (settings_.strict)
            return line_fate::out_of_order;
    }
    return line_fate::ok;
}

bool ledger::expected(uint32_t number) const
{
    return (!settings_.expect_first || number >= *settings_.expect_first) &&
           (!settings_.expect_last || number <= *settings_.expect_last);
}

void ledger::mark_out_of_order_first(uint32_t number)
{
    if (!seq_in_range(number))
        return;
    if (out_of_order_first_.empty())
        out_of_order_first_.resize(SEQ_LIMIT);
    out_of_order_first_[number] = true;
}

void ledger::note_first_seen(uint32_t number, const line_position& where)
{
    if (!settings_.strict)
        return;
    if (first_seen_.empty())
        first_seen_.resize(SEQ_LIMIT);
    const uint64_t log =
        where.log < settings_.name_of_log.size() ? settings_.name_of_log[where.log] : where.log;
    if (log < MAX_LOGS && where.line <= LINE_MASK)
        first_seen_[number] = (log + 1) << LINE_BITS | where.line;
}

void ledger::find_first_seen(uint32_t number, line_report& line) const
{
    const uint64_t packed = first_seen_.empty() ? 0 : first_seen_[number];
    const uint64_t log = packed >> LINE_BITS;
    if (log == 0 || log > settings_.log_names.size())
        return;
    line.first_path = settings_.log_names[log - 1];
    line.first_line = packed & LINE_MASK;
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
        seen.conditions = conditions_of(seen.key.sha256);
        result_.keys.push_back(seen);
    }
    key_seen& seen = result_.keys[at->second];
    ++seen.lines;
    return &seen.key;
}

// The entries of a trusted key with conditions, or nullptr.
const std::vector<key_conditions>* ledger::conditions_of(const key_fingerprint& key) const
{
    if (settings_.trust == nullptr)
        return nullptr;
    const auto found = settings_.trust->conditions.find(key);
    return found != settings_.trust->conditions.end() ? &found->second : nullptr;
}

void ledger::tally_problem(const line_report& line)
{
    if (line.fate == line_fate::ok)
        return;
    if (fails_verification(line.fate))
        note_failed(line.where);
    if (result_.earlier_problems.size() + result_.problems.size() >= KEPT_PROBLEMS) {
        ++result_.problems_omitted;
        return;
    }
    line_problem problem;
    problem.where = line.where;
    problem.fate = line.fate;
    problem.key_code = line.key_code;
    if (line.key != nullptr)
        problem.key = line.key->sha256;
    problem.number = line.number;
    problem.first_path = line.first_path;
    problem.first_line = line.first_line;
    problem.largest_before = line.largest_before;
    problem.refusal = line.refusal;
    result_.problems.push_back(std::move(problem));
}

void ledger::note_failed(const line_position& where)
{
    if (where.log >= failed_.size())
        failed_.resize(where.log + 1);
    failed_lines& failed = failed_[where.log];
    if (!failed.complete)
        return;
    if (failed.lines.size() == KEPT_FAILED_LINES) {
        failed.complete = false;
        return;
    }
    if (failed.lines.empty() || failed.lines.back() != where.line)
        failed.lines.push_back(where.line);
}

const failed_lines& ledger::failed_lines_of(std::size_t log) const
{
    static const failed_lines none;
    return log < failed_.size() ? failed_[log] : none;
}

namespace {

// The facts of the numbers that the end of a run works out.
void find_sequence_facts(const seq_tracker& tracker, std::optional<uint32_t> expect_first,
                         std::optional<uint32_t> expect_last, run_result& result)
{
    sequence_gaps gaps = seq_scan_gaps(tracker, result.lines_checked);
    result.missing =
        seq_missing_within(tracker, std::move(gaps.missing), expect_first, expect_last);
    result.missing_numbers = 0;
    for (const sequence_range& range : result.missing)
        result.missing_numbers += range.last - range.first + 1;
    result.no_progression = gaps.no_progression;
    if (seq_has_numbers(tracker)) {
        result.first_number = tracker.seq_min;
        result.last_number = tracker.seq_max;
    }
}

}  // namespace

void ledger::finish()
{
    find_sequence_facts(*tracker_, settings_.expect_first, settings_.expect_last, result_);
    result_.nothing_verified = settings_.strict && result_.lines_checked == 0;
}

run_result ledger::so_far() const
{
    run_result now = result_;
    find_sequence_facts(*tracker_, settings_.expect_first, std::nullopt, now);
    return now;
}

bool ledger::is_recorded(uint32_t number) const
{
    return seq_in_range(number) && seq_is_recorded(*tracker_, number);
}

std::unique_ptr<ledger_state> ledger::state() const
{
    auto state = std::make_unique<ledger_state>();
    run_result& counts = state->counts;
    counts = result_;
    // What finish() works out, and what concerns this run alone, is not
    // carried over.
    counts.missing.clear();
    counts.missing_numbers = 0;
    counts.no_progression = false;
    counts.nothing_verified = false;
    counts.first_number.reset();
    counts.last_number.reset();
    counts.problems.clear();
    counts.error.reset();
    counts.write_error.reset();
    counts.interrupted_by = 0;
    counts.status = run_status::ok;
    state->tracker = *tracker_;
    state->strict = settings_.strict;
    state->latest_time = latest_time_;
    state->extra_lines = sparse(extra_lines_);
    state->unexpected_lines = sparse(unexpected_lines_);
    for (uint32_t number = 1; number < out_of_order_first_.size(); ++number) {
        if (out_of_order_first_[number])
            state->out_of_order_first.push_back(number);
    }
    first_seen_run* run = nullptr;
    for (uint32_t number = 1; number < first_seen_.size(); ++number) {
        const uint64_t packed = first_seen_[number];
        if (packed == 0)
            continue;
        const auto log = static_cast<uint32_t>((packed >> LINE_BITS) - 1);
        const uint64_t line = packed & LINE_MASK;
        if (run != nullptr && run->log == log && run->number + run->count == number &&
            run->line + run->count == line) {
            ++run->count;
            continue;
        }
        if (state->first_seen.size() == KEPT_FIRST_SEEN_RUNS)
            break;
        run = &state->first_seen.emplace_back(first_seen_run{number, 1, log, line});
    }
    return state;
}

void ledger::restore(const ledger_state& state)
{
    result_ = state.counts;
    result_.problems.clear();
    *tracker_ = state.tracker;
    key_index_.clear();
    for (std::size_t i = 0; i < result_.keys.size(); ++i) {
        key_index_.emplace(result_.keys[i].key.sha256, i);
        result_.keys[i].conditions = conditions_of(result_.keys[i].key.sha256);
    }
    latest_time_ = state.latest_time;
    extra_lines_ = dense(state.extra_lines);
    unexpected_lines_ = dense(state.unexpected_lines);
    out_of_order_first_.clear();
    for (const uint32_t first : state.out_of_order_first)
        mark_out_of_order_first(first);
    first_seen_.clear();
    if (settings_.strict) {
        first_seen_.resize(SEQ_LIMIT);
        for (const first_seen_run& run : state.first_seen) {
            for (uint32_t i = 0; i < run.count; ++i)
                first_seen_[run.number + i] = (uint64_t{run.log} + 1) << LINE_BITS | (run.line + i);
        }
        if (!state.strict)
            judge_as_strict(state);
    }
    judge_expected_again();
}

// A history verified without --strict, judged with it: its repeated and
// out-of-order lines, counted as facts and as ok then, become errors.
void ledger::judge_as_strict(const ledger_state& state)
{
    const run_result& earlier = state.counts;
    result_.lines_of(line_fate::repeated_number) += earlier.repeated_numbers;
    result_.lines_of(line_fate::out_of_order) += earlier.out_of_order_numbers;
    take_away(result_.lines_of(line_fate::ok),
              earlier.repeated_numbers + earlier.out_of_order_numbers);
}

// The history's numbers under this run's expected ones: a number recorded
// before that lies outside them is taken back, its lines errors; a number
// found outside the expected ones before that lies inside them now is
// recorded, its lines ok (or repeats). What depends on the order of the
// lines (whether a later line came out of order) stays as it was judged.
void ledger::judge_expected_again()
{
    if (!settings_.expect_first && !settings_.expect_last && unexpected_lines_.empty())
        return;
    bool moved = false;
    for (uint32_t number = 1; number < SEQ_LIMIT; ++number) {
        const bool recorded = seq_is_recorded(*tracker_, number);
        if (recorded && !expected(number)) {
            unrecord(number);
            moved = true;
        } else if (lines_of(unexpected_lines_, number) != 0 && expected(number)) {
            record_unexpected(number, unexpected_lines_[number]);
            moved = true;
        }
    }
    if (moved)
        seq_recount_bounds(*tracker_);
}

// What a line whose number was recorded before is.
line_fate ledger::repeat_fate() const
{
    return settings_.strict ? line_fate::repeated_number : line_fate::ok;
}

// A recorded number taken back: its lines become errors.
void ledger::unrecord(uint32_t number)
{
    const uint32_t extra = lines_of(extra_lines_, number);
    const uint64_t lines = uint64_t{extra} + 1;
    result_.lines_of(line_fate::unexpected_number) += lines;
    add_lines(unexpected_lines_, number,
              static_cast<uint32_t>(std::min<uint64_t>(lines, UINT32_MAX)));
    const bool first_out_of_order = !out_of_order_first_.empty() && out_of_order_first_[number];
    if (first_out_of_order) {
        take_away(result_.out_of_order_numbers, 1);
        take_away(result_.lines_of(settings_.strict ? line_fate::out_of_order : line_fate::ok), 1);
        out_of_order_first_[number] = false;
    } else {
        take_away(result_.lines_of(line_fate::ok), 1);
    }
    take_away(result_.repeated_numbers, extra);
    take_away(result_.lines_of(repeat_fate()), extra);
    if (!extra_lines_.empty())
        extra_lines_[number] = 0;
    if (!first_seen_.empty())
        first_seen_[number] = 0;
    seq_forget(*tracker_, number);
}

// A number found outside the expected numbers before, inside them now: its
// lines are recorded, the first as ok unless the number was recorded
// already, the others as repeats.
void ledger::record_unexpected(uint32_t number, uint32_t lines)
{
    take_away(result_.lines_of(line_fate::unexpected_number), lines);
    unexpected_lines_[number] = 0;
    uint32_t repeats = lines;
    if (!seq_is_recorded(*tracker_, number)) {
        seq_record(*tracker_, number);
        result_.lines_of(line_fate::ok) += 1;
        --repeats;
    }
    if (repeats == 0)
        return;
    add_lines(extra_lines_, number, repeats);
    result_.repeated_numbers += repeats;
    result_.lines_of(repeat_fate()) += repeats;
}

void ledger::name_logs(std::vector<std::string> names, std::vector<uint32_t> name_of_log)
{
    settings_.log_names = std::move(names);
    settings_.name_of_log = std::move(name_of_log);
}

void ledger::add_log(const std::string& name)
{
    // Without a map, a log's number is its place in the run.
    if (!settings_.name_of_log.empty())
        settings_.name_of_log.push_back(static_cast<uint32_t>(settings_.log_names.size()));
    settings_.log_names.push_back(name);
}
