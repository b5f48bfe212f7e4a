// How far a run has got, shown on standard error while it goes on: on a
// terminal one status line, redrawn a few times a second and erased at the
// end; elsewhere (when asked for) one line every few seconds. It touches
// neither standard output nor the result log.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

class diagnostics;

// What the run has done so far.
struct progress_sample {
    uint64_t lines_checked = 0;
    // Bytes of the logs taken as stored (compressed bytes of a compressed
    // log), and their sizes together where every log's size is known.
    uint64_t bytes_read = 0;
    std::optional<uint64_t> bytes_total;
};

// The status text: lines checked, the share read (or the bytes, without a
// total), lines per second and, with a share, the time left.
std::string progress_text(const progress_sample& sample, double seconds);

class progress_meter {
public:
    // Shows on out, drawn every interval.
    progress_meter(diagnostics& out, std::chrono::milliseconds interval);
    ~progress_meter();
    progress_meter(const progress_meter&) = delete;
    progress_meter& operator=(const progress_meter&) = delete;

    // Whether an update is due; cheap enough for every line.
    bool due() const { return std::chrono::steady_clock::now() >= next_; }
    // Shows sample, when an update is due.
    void update(const progress_sample& sample);
    // Erases what shows, for good.
    void finish();

private:
    diagnostics& out_;
    const std::chrono::milliseconds interval_;
    const std::chrono::steady_clock::time_point started_;
    std::chrono::steady_clock::time_point next_;
    bool finished_ = false;
};
