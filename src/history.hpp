// The checkpoint of a growing log's history: what the runs so far found out
// and a digest of every byte they verified, so that the next run verifies
// only what was appended and proves that the rest is unchanged. The file
// is a JSON document with a digest of its own; it holds no secret, but
// whoever can rewrite it can rewrite the history it vouches for.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "file_identity.hpp"
#include "ledger.hpp"
#include "log_digest.hpp"

// One log of the history.
struct history_log {
    std::string path;  // as it was given when last read
    // The decoded bytes verified (whole lines only), the physical lines
    // they hold, and whether the last of them ends with a line end.
    uint64_t bytes = 0;
    uint64_t lines = 0;
    bool ends_line = true;
    sha256_digest tree{};  // the tree hash of those bytes
    sha256_digest head{};  // the digest of their first piece (log_digest::head)
    unsigned level = 0;
    std::vector<digest_node> nodes;  // at level; none once the log is retired
    // No longer given: retired by rotation. Its facts stay in the history.
    bool retired = false;
    // Its lines that did not verify, so that a line of it that changed can
    // be told from one that failed before.
    failed_lines failed;
};

struct history {
    log_mode mode = log_mode::transaction;
    bool strict = false;
    // SHA-256 over the sorted fingerprints of the trusted keys; none
    // without trusted keys.
    std::optional<sha256_digest> trusted_keys;
    std::vector<history_log> logs;
    std::unique_ptr<ledger_state> facts = std::make_unique<ledger_state>();
    // The bytes of the result log's line records when the checkpoint was
    // written (its missing-number records follow them): a followed log's
    // next run keeps them and writes its records after them.
    std::optional<uint64_t> result_log_bytes;
};

// The checkpoint's text, and back. from_text checks every field, so that a
// file that is not one of ours, or damaged, never reaches the run; false
// with the reason otherwise. It reads the version 1.2.0 wrote, too.
std::string to_text(const history& checkpoint);
bool from_text(const std::string& text, history& checkpoint, std::string& problem);

// A checkpoint file, locked while a run uses it: a lock file beside it
// (path ".lock", kept), so that the file itself can be replaced whole.
class checkpoint_file {
public:
    checkpoint_file() = default;
    ~checkpoint_file();
    checkpoint_file(const checkpoint_file&) = delete;
    checkpoint_file& operator=(const checkpoint_file&) = delete;

    enum class open_result { opened, first_run, locked, failed, malformed };
    // Takes the lock and reads the checkpoint at path into checkpoint;
    // first_run when there is no file yet. problem says why on failure.
    open_result open(const std::string& path, history& checkpoint, std::string& problem);

    // Replaces the file with checkpoint: written to a temporary file beside
    // it, synced and renamed over it, so that a run stopped at any point
    // leaves the old file or the new one, never a mix.
    bool write(const history& checkpoint, std::string& problem);

    // The file and its lock file, which no run may take as a log or write
    // over.
    std::vector<file_identity> identities() const;

private:
    std::string path_;
    int lock_ = -1;
    std::optional<file_identity> file_;
    std::optional<file_identity> lock_file_;
};
