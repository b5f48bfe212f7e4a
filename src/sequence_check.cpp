#include "sequence_check.hpp"

#include "line_format.hpp"
#include "report.hpp"

namespace {

seq_tracker tracker;

bool is_recorded(uint32_t v) { return (tracker.seq_bitmap[v / 8] & (1U << (v % 8))) != 0; }

}  // namespace

void seq_reset()
{
    tracker.seq_min = UINT32_MAX;
    tracker.seq_max = 0;
    for (unsigned char& byte : tracker.seq_bitmap)
        byte = 0;
}

bool seq_check_line(char* data_field, log_mode mode)
{
    return seq_record(extract_sequence(data_field, mode));
}

bool seq_record(uint32_t v)
{
    // Numbers beyond the tracked range are rejected like a missing one, so
    // that they can neither be recorded nor widen the range of the scan.
    if (v == 0 || v >= SEQ_LIMIT)
        return false;
    if (v > tracker.seq_max)
        tracker.seq_max = v;
    if (v < tracker.seq_min)
        tracker.seq_min = v;
    tracker.seq_bitmap[v / 8] |= static_cast<unsigned char>(1U << (v % 8));
    return true;
}

void seq_scan_gaps(run_state& state)
{
    const int line = static_cast<int>(state.line_counter);
    if (tracker.seq_max > tracker.seq_min) {
        const bool event = state.mode == log_mode::event;
        for (uint32_t i = tracker.seq_min; i < tracker.seq_max; ++i) {
            if (is_recorded(i))
                continue;
            ++state.error_count;
            console_print(event ? text::event_gap : text::transaction_gap, line);
            result_log_print(state, event ? text::record_event_gap : text::record_transaction_gap,
                             static_cast<int>(i));
        }
    } else if (state.line_counter > 2) {
        // Two or more lines reached verification, yet the numbers never advanced.
        ++state.error_count;
        console_print(text::no_progression, line);
    }
}

const seq_tracker& seq_state() { return tracker; }
