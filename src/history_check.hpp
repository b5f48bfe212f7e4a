// Matches the logs given to a run against the logs of its checkpoint by
// their content, before any line is verified: which logs were verified
// before (hashed again, not verified), which of them is the last and may
// have grown since, which are new, and which the checkpoint knows but are
// no longer given (retired by rotation, at the front only). Every byte
// verified before must be unchanged; anything else is a history that
// changed, named by the log and the lines that differ.
#pragma once

#include <cstddef>
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

struct history_match {
    history_plan plan;
    // Why the run cannot go on: the history changed, or a log could not be
    // read.
    std::optional<run_error> error;
};

// Matches the logs open on fds, given by paths, against checkpoint. The
// logs must be files: they are read from their start here, and again to
// verify them. must_stop is asked while slow reads wait.
history_match match_history(const history& checkpoint, const std::vector<int>& fds,
                            const std::vector<std::string>& paths,
                            const std::function<bool()>& must_stop);
