// What the command line asks a run to do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "line_format.hpp"
#include "signature_check_key_store.hpp"

// How the console shows the run.
enum class report_style {
    console,  // banner, every line, messages and summary
    quiet,    // one line per problem, then the whole-log facts
    json,     // one JSON document at the end, nothing else
};

// Whether the run shows how far it has got on standard error.
enum class progress_display {
    automatic,  // on a terminal, in the quiet and JSON forms
    always,     // --progress
    never,      // --no-progress
};

// A log and its rotated files (--rotated), found when the run starts.
struct rotated_source {
    std::size_t before_log = 0;  // where its files go among the logs given
    std::string path;
};

struct run_options {
    // The logs, verified in this order as one log.
    std::vector<std::string> logs;
    // Sets of rotated logs, which the run puts among the logs, oldest
    // first; empty once the run has found their files.
    std::vector<rotated_source> rotated;
    // The paths of the sets found, to name a whole log that has no file.
    std::vector<std::string> rotated_paths;
    // "-" as a log means standard input (not in the command line's plain form).
    bool dash_is_standard_input = false;
    // A run that ends early for any reason but a signal ends its result log
    // with a record that says why (not in the plain form, whose result log
    // stays as it has always been).
    bool marks_incomplete = false;
    log_mode mode = log_mode::transaction;
    report_style style = report_style::console;
    progress_display progress = progress_display::automatic;
    std::vector<std::string> trusted_key_files;
    std::string result_log = "out.log";
    // Worker threads that check lines; 0 checks them on the reading thread.
    // Unset: one per hardware thread.
    std::optional<unsigned> workers;
    // What each thread that checks lines keeps of the keys it parsed; unset:
    // the checks' own default.
    std::optional<key_store_limits> key_store;

    // Replays and numbers out of order are errors, and so is a run in
    // which no line reached verification.
    bool strict = false;
    // The numbers the log must begin and end with.
    std::optional<uint32_t> expect_first;
    std::optional<uint32_t> expect_last;
    // The checkpoint of the logs' history; empty for none.
    std::string checkpoint;
    // The item of the data field (1-based) that holds a line's time, and
    // how far, under --strict, a time may go back or ahead of the clock.
    std::optional<uint32_t> time_field;
    uint32_t time_tolerance = 60;

    // --follow: after the logs, the last one is read on as it grows (and
    // across its rotations) until a signal ends the run. A gap is said
    // once it has stayed open this long; a checkpoint is saved this often.
    bool follow = false;
    // The file followed: the last log, or the live file of the last set of
    // rotated logs (found when the run starts).
    std::string follow_path;
    uint32_t gap_wait = 10;
    uint32_t checkpoint_every = 60;
    // The file of Prometheus' text format the run's counts go to; empty
    // for none.
    std::string metrics;

    // The name of the whole log: the paths of its files, or of its sets of
    // rotated logs when they have none, joined by ", ".
    std::string whole_log_name() const
    {
        std::string name;
        const std::vector<std::string>& paths = logs.empty() ? rotated_paths : logs;
        for (std::size_t i = 0; i < paths.size(); ++i) {
            const std::string& path = paths[i];
            // A followed log's next files take its name again.
            if (follow && i > 0 && path == paths[i - 1])
                continue;
            if (!name.empty())
                name += ", ";
            name += path;
        }
        return name;
    }
    // The name of log index, or of the whole log past the last.
    std::string log_name(std::size_t index) const
    {
        return index < logs.size() ? logs[index] : whole_log_name();
    }
};
