// Tracks the sequence numbers of verified lines and finds the missing ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "line_format.hpp"

// Numbers 1 to SEQ_LIMIT - 1 can be recorded; 0 and anything from
// SEQ_LIMIT up are rejected.
inline constexpr std::size_t SEQ_BITMAP_BYTES = 100000;
inline constexpr uint32_t SEQ_LIMIT = SEQ_BITMAP_BYTES * 8;

// The numbers one run has recorded; the run owns it.
struct seq_tracker {
    uint32_t seq_min = UINT32_MAX;
    uint32_t seq_max = 0;
    unsigned char seq_bitmap[SEQ_BITMAP_BYTES] = {};
};

// Missing numbers first to last, both included.
struct sequence_range {
    uint32_t first;
    uint32_t last;
};

// What the end-of-run scan found.
struct sequence_gaps {
    std::vector<sequence_range> missing;  // ascending
    // Two or more lines reached verification, yet no number advanced.
    bool no_progression = false;
};

// Empties the tracker.
void seq_reset(seq_tracker& tracker);

// Takes the sequence number out of a verified line's data field and
// records it. Returns false when the line carries no usable number: none,
// 0, or one beyond the tracked range.
bool seq_check_line(seq_tracker& tracker, const char* data_field, log_mode mode);

// Records number v; returns false, recording nothing, unless
// 1 <= v < SEQ_LIMIT.
bool seq_record(seq_tracker& tracker, uint32_t v);

// True when v is a number the tracker can record.
constexpr bool seq_in_range(uint32_t v) { return v != 0 && v < SEQ_LIMIT; }

// Takes number v (in range) back; the bounds stay until
// seq_recount_bounds.
void seq_forget(seq_tracker& tracker, uint32_t v);

// Sets the smallest and the largest number to those recorded.
void seq_recount_bounds(seq_tracker& tracker);

// True when number v (in range) has been recorded.
bool seq_is_recorded(const seq_tracker& tracker, uint32_t v);

// True once a number has been recorded.
bool seq_has_numbers(const seq_tracker& tracker);

// After the last line: every number missing between the smallest and the
// largest recorded one, or, when the numbers never advanced although
// checked_lines >= 2 lines reached verification, the lack of progression.
sequence_gaps seq_scan_gaps(const seq_tracker& tracker, uint64_t checked_lines);

// The missing numbers of the scan, and those from first up to the smallest
// recorded and from the largest recorded up to last (all of first to last
// when none is recorded and both are given), in ascending order.
std::vector<sequence_range> seq_missing_within(const seq_tracker& tracker,
                                               std::vector<sequence_range> inner,
                                               std::optional<uint32_t> first,
                                               std::optional<uint32_t> last);
