// Matches the logs given to a run against the logs of its checkpoint by
// their content, before any line is verified. The logs given must be the
// checkpoint's logs from some point on, in their order (those before it
// retired by rotation; a retired log given again is compared whole), then
// new logs: which of them were verified before (hashed again, not
// verified), which is the checkpoint's last log and may have grown since
// (its growth is verified, wherever it stands now), and which are new.
// Every byte verified before must be unchanged; anything else is a history
// that changed, named by the file that changed and the lines that differ.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "history.hpp"
#include "log_digest.hpp"
#include "run_record.hpp"

struct log_plan {
    enum class role {
        resumed,  // verified before, unchanged: not verified again
        grown,    // the checkpoint's last log: its new lines are verified
        fresh,    // new: verified whole
    };
    role kind = role::fresh;
    std::size_t history_index = 0;  // for resumed and grown
};

struct history_plan {
    std::vector<log_plan> logs;  // one per log given
    // The checkpoint's first logs that are not given.
    std::size_t retired = 0;
    // The digest of the grown log's bytes verified before, to go on with.
    std::unique_ptr<log_digest> grown;
};

// A log whose verified bytes differ: the lines of the pieces that differ,
// to be verified again so that the lines that changed can be named.
struct changed_log {
    std::size_t given = 0;          // the log given
    std::size_t history_index = 0;  // the checkpoint's log it should be
    // Ranges of physical lines, ascending.
    std::vector<std::pair<uint64_t, uint64_t>> lines;
};

struct history_match {
    history_plan plan;
    // Why the run cannot go on: the history changed, or a log could not be
    // read.
    std::optional<run_error> error;
    // With a history that changed in a log's bytes: where.
    std::optional<changed_log> changed;
};

// Matches the logs open on fds, given by paths, against checkpoint. The
// logs must be files: they are read from their start here, and again to
// verify them. must_stop is asked while slow reads wait and between blocks.
history_match match_history(const history& checkpoint, const std::vector<int>& fds,
                            const std::vector<std::string>& paths,
                            const std::function<bool()>& must_stop);
