// Runs the tool's command line in this process, in a scratch directory, and
// collects what it printed and wrote: the fast way to run whole logs where
// no process of its own is needed.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "run_status.hpp"
#include "signature_check_key_store.hpp"
#include "tool_runner.hpp"

struct in_process_settings {
    // Replace the defaults of a command line that does not set them.
    std::optional<unsigned> workers;
    std::optional<key_store_limits> key_store;
    // JOURNAL_STREAM as the run sees it, for its standard error.
    const char* journal_stream = nullptr;
};

// Runs args (without the program name) in dir, as the tool would; the
// console and standard error (of the run; not of the command line) are
// collected. tool_run::exit_code is the process exit code of the status.
tool_run run_in_process(const scratch_dir& dir, const std::vector<std::string>& args,
                        const in_process_settings& settings = {});

// The store a test's runs keep: ORVEL_TEST_KEY_STORE_KEYS keys when set
// (for the runs that must evict keys all the time), else the default.
key_store_limits test_key_store();
