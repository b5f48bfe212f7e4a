// The keys that may sign a log, read from files of PEM PUBLIC KEY blocks,
// PEM CERTIFICATE blocks (whose key is trusted; neither dates nor issuers
// are checked), bare base64 key lines (like a log's key field) and
// fingerprints "sha256:" followed by 64 hex digits. Blank lines and lines
// that start with "#" are ignored.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "key_identity.hpp"

struct trusted_keys_error {
    std::string path;
    uint64_t line = 0;  // 0 when no one line is to blame
    std::string message;
};

// Reads every file into keys (sorted, without repeats). Returns false, with
// the first problem in error, when a file cannot be read, holds no key or
// fingerprint, or holds an entry that is neither.
bool load_trusted_keys(const std::vector<std::string>& paths, trusted_fingerprints& keys,
                       trusted_keys_error& error);
