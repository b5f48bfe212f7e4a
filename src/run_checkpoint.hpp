// What a run does with its checkpoint (--checkpoint): reads and locks it
// before anything is verified, matches the logs given against it, tells
// the run which logs to read and from where, and replaces it once the run
// has completed. Without --checkpoint it does nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "file_identity.hpp"
#include "history.hpp"
#include "history_check.hpp"
#include "ledger.hpp"
#include "run_record.hpp"
#include "trusted_keys.hpp"

class run_checkpoint {
public:
    explicit run_checkpoint(const run_options& options);

    bool active() const { return !options_.checkpoint.empty(); }
    // Whether open found a checkpoint (false: the first run).
    bool found() const { return has_earlier_; }

    // Locks and reads the checkpoint, which must have been made with this
    // run's mode, --strict and trusted keys, and must not be one of the
    // logs (identified by logs).
    std::optional<run_error> open(const trust_list& trust, const std::vector<file_identity>& logs);

    // Matches the logs given, open on fds, against the checkpoint.
    std::optional<run_error> match(const std::vector<int>& fds,
                                   const std::function<bool()>& must_stop);

    // The ledger as the checkpoint leaves it, naming logs as it does.
    void restore(ledger& accounts) const;

    // How the run reads log index.
    struct reading {
        bool verify = true;  // false: verified before and unchanged
        // Bytes and lines verified before, to pass over.
        uint64_t passed_bytes = 0;
        uint64_t passed_lines = 0;
        bool at_line_start = true;
        log_digest* digest = nullptr;
        bool hold_unfinished_line = false;
    };
    reading reading_of(std::size_t log);
    // Where the reading of log index ended.
    void log_read(std::size_t log, uint64_t last_line, bool at_line_start);

    // A log added to the run (a followed log's next file), verified whole.
    void add_log();

    // The bytes of the result log that the checkpoint covers (none for a
    // first run).
    std::optional<uint64_t> result_log_bytes() const;

    // After a run that completed, or while a followed log is read (with
    // every line read so far settled and recorded, and the reading of the
    // last log noted by log_read): the checkpoint replaced with one that
    // covers the logs as verified now, and the result log's first
    // result_log_bytes bytes.
    std::optional<run_error> write(const ledger& accounts, uint64_t result_log_bytes);

    // What the reports say of it.
    checkpoint_report report(const run_result& result) const;

    // The checkpoint file and its lock, which no log or result log may be.
    std::vector<file_identity> identities() const { return file_.identities(); }

    // After a match that found verified bytes changed: where, and what the
    // checkpoint knows of that log and of the numbers recorded.
    const std::optional<changed_log>& changed() const { return changed_; }
    const history_log& history_log_at(std::size_t index) const { return earlier_.logs[index]; }
    const ledger_state& earlier_facts() const { return *earlier_.facts; }

private:
    struct log_end {
        uint64_t lines = 0;
        bool at_line_start = true;
    };
    history next_history(const ledger& accounts) const;
    history_log log_verified(std::size_t log, const ledger& accounts) const;
    std::vector<earlier_problem> problems_found(const run_result& result) const;

    const run_options& options_;
    checkpoint_file file_;
    history earlier_;
    bool has_earlier_ = false;
    history_plan plan_;
    std::optional<changed_log> changed_;
    std::vector<std::unique_ptr<log_digest>> digests_;
    std::vector<log_end> ends_;
    sha256_digest trusted_{};
    bool written_ = false;
};
