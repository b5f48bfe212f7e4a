// Declarations shared by the driver, the line rules, the signature check and
// the sequence check.
#pragma once

#include <cstdint>
#include <cstdio>

// Which kind of log is being verified; chosen once from the command line.
enum class log_mode { transaction, event };

// What the signature check decided for one line.
enum class line_outcome { key_error, bad_signature, verified };

// Everything the driver knows about the run in progress.
struct run_state {
    log_mode mode = log_mode::transaction;
    FILE* input = nullptr;
    FILE* result_log = nullptr;
    // Set by the first write, flush or close of the result log that fails.
    bool result_log_failed = false;
    // Advances after every line that reaches the verification step.
    uint32_t line_counter = 1;
    uint32_t error_count = 0;
    // Parse code of the last non-blank line when its key did not parse, else 0.
    int32_t last_result_code = 0;
};

// Runs the tool on its command line (the program name first) and returns
// its status: 0, -99, -100, -101, -102 or the key parser's code of the last
// non-blank line. Lines are checked on one worker per hardware thread.
int32_t run_verification(int argc, char** argv);

// The same run with a given number of worker threads; with 0, every line is
// checked on the calling thread. Console, out.log and status are the same
// for every count.
int32_t run_verification_with_workers(int argc, char** argv, unsigned workers);
