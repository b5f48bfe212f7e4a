// Declarations shared by the command line, the run, the line rules, the
// signature check, the sequence check and the reports.
#pragma once

#include <cstdint>

// Which kind of log is being verified; chosen once from the command line.
enum class log_mode { transaction, event };

// What the signature check decided for one line.
enum class line_outcome {
    key_error,      // the key field does not parse
    bad_signature,  // the signature does not verify
    verified,
    untrusted_key,  // the key parses but is not one of the trusted keys
    out_of_memory,  // the check could not get the memory it needs: no verdict
};

// The status a run ends with. A run whose last non-blank line carried a key
// that does not parse ends with the key parser's (negative) code instead,
// held in the same type: run_status{code}.
enum class run_status : int32_t {
    ok = 0,
    argument_count = -99,
    bad_argument = -100,
    file_error = -101,
    counted_errors = -102,
    // Stopped by SIGINT, SIGTERM or SIGHUP: the process ends by that signal
    // and has no status of its own. No library code is this far down.
    interrupted = INT32_MIN,
};

// The process exit code of a status (an interrupted run's is 128 plus the
// signal's number, as a shell reports it). POSIX keeps only the low 8 bits, and
// a failure whose low bits are all zero must still not look like success.
int process_exit_code(run_status status);
