// The run's counts as a file of Prometheus' text format (--metrics), for
// node_exporter's textfile collector: names with the tool's prefix, units
// in the names, counters ending in _total, the log and the kind of error as
// labels. The file is replaced whole (written beside it, then renamed over
// it), so that a scrape never reads half of it.
#pragma once

#include <optional>
#include <string>

#include "line_time.hpp"
#include "run_record.hpp"

// What the metrics say besides the run's record.
struct metrics_moment {
    bool following = false;
    std::optional<unix_seconds> last_line_read;
    unix_seconds now = 0;
};

// result is the run's record so far: its missing numbers and its range of
// numbers worked out (ledger::so_far), or the end's.

std::string metrics_text(const std::string& log, const run_result& result,
                         const metrics_moment& moment);

// Replaces the file at path with text; false with the system's words.
bool write_metrics(const std::string& path, const std::string& text, std::string& problem);
