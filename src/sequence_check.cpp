#include "sequence_check.hpp"

#include <algorithm>

#include "line_format.hpp"

void seq_reset(seq_tracker& tracker) { tracker = seq_tracker{}; }

bool seq_check_line(seq_tracker& tracker, const char* data_field, log_mode mode)
{
    return seq_record(tracker, extract_sequence(data_field, mode));
}

bool seq_is_recorded(const seq_tracker& tracker, uint32_t v)
{
    return (tracker.seq_bitmap[v / 8] & (1U << (v % 8))) != 0;
}

bool seq_record(seq_tracker& tracker, uint32_t v)
{
    // Numbers beyond the tracked range are rejected like a missing one, so
    // that they can neither be recorded nor widen the range of the scan.
    if (!seq_in_range(v))
        return false;
    if (v > tracker.seq_max)
        tracker.seq_max = v;
    if (v < tracker.seq_min)
        tracker.seq_min = v;
    tracker.seq_bitmap[v / 8] |= static_cast<unsigned char>(1U << (v % 8));
    return true;
}

void seq_forget(seq_tracker& tracker, uint32_t v)
{
    if (seq_in_range(v))
        tracker.seq_bitmap[v / 8] &= static_cast<unsigned char>(~(1U << (v % 8)));
}

void seq_recount_bounds(seq_tracker& tracker)
{
    tracker.seq_min = UINT32_MAX;
    tracker.seq_max = 0;
    for (uint32_t v = 1; v < SEQ_LIMIT; ++v) {
        if (!seq_is_recorded(tracker, v))
            continue;
        tracker.seq_min = std::min(tracker.seq_min, v);
        tracker.seq_max = v;
    }
}

bool seq_has_numbers(const seq_tracker& tracker) { return tracker.seq_max != 0; }

sequence_gaps seq_scan_gaps(const seq_tracker& tracker, uint64_t checked_lines)
{
    sequence_gaps gaps;
    if (tracker.seq_max > tracker.seq_min) {
        // The largest number is recorded, so every run of missing numbers
        // ends before it.
        for (uint32_t i = tracker.seq_min; i < tracker.seq_max; ++i) {
            if (seq_is_recorded(tracker, i))
                continue;
            if (!gaps.missing.empty() && gaps.missing.back().last + 1 == i) {
                gaps.missing.back().last = i;
            } else {
                gaps.missing.push_back({i, i});
            }
        }
    } else {
        gaps.no_progression = checked_lines >= 2;
    }
    return gaps;
}

std::vector<sequence_range> seq_missing_within(const seq_tracker& tracker,
                                               std::vector<sequence_range> inner,
                                               std::optional<uint32_t> first,
                                               std::optional<uint32_t> last)
{
    if (!seq_has_numbers(tracker)) {
        if (first && last && *first <= *last)
            return {{*first, *last}};
        return {};
    }
    std::vector<sequence_range> missing;
    if (first && *first < tracker.seq_min)
        missing.push_back({*first, tracker.seq_min - 1});
    missing.insert(missing.end(), inner.begin(), inner.end());
    if (last && *last > tracker.seq_max)
        missing.push_back({tracker.seq_max + 1, *last});
    return missing;
}
