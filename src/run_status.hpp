// The status a run ends with, and the process exit code it becomes.
#pragma once

#include <cstdint>

// A run whose last non-blank line carried a key that does not parse ends
// with the key parser's (negative) code instead, held in the same type:
// run_status{code}.
enum class run_status : int32_t {
    ok = 0,
    argument_count = -99,
    bad_argument = -100,
    file_error = -101,
    counted_errors = -102,
    // The logs' history is not what their checkpoint verified.
    history_changed = -103,
    // Stopped by SIGINT, SIGTERM or SIGHUP: the process ends by that signal
    // and has no status of its own. No library code is this far down.
    interrupted = INT32_MIN,
};

// The process exit code of a status: an interrupted run's is 128 plus the
// number of the signal that stopped it, as a shell reports it. POSIX keeps
// only the low 8 bits, and a failure whose low bits are all zero must still
// not look like success.
int process_exit_code(run_status status, int stopping_signal);
