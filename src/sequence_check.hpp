// Tracks the sequence numbers of verified lines and reports the missing ones.
#pragma once

#include <cstddef>
#include <cstdint>

#include "run_types.hpp"

// Numbers 1 to SEQ_LIMIT - 1 can be recorded; 0 and anything from
// SEQ_LIMIT up are rejected.
inline constexpr std::size_t SEQ_BITMAP_BYTES = 100000;
inline constexpr uint32_t SEQ_LIMIT = SEQ_BITMAP_BYTES * 8;

struct seq_tracker {
    uint32_t seq_min;
    uint32_t seq_max;
    unsigned char seq_bitmap[SEQ_BITMAP_BYTES];
};

// Empties the tracker; called at the start of every run.
void seq_reset();

// Takes the sequence number out of a verified line's data field (splitting
// it in place) and records it. Returns false when the line carries no
// usable number: none, 0, or one beyond the tracked range.
bool seq_check_line(char* data_field, log_mode mode);

// Records number v; returns false, recording nothing, unless
// 1 <= v < SEQ_LIMIT.
bool seq_record(uint32_t v);

// After the last line: reports every number missing between the smallest
// and the largest recorded one, or the lack of any progression, on the
// console and in the result log, and counts each as an error.
void seq_scan_gaps(run_state& state);

// Read-only view of the tracker, for tests.
const seq_tracker& seq_state();
