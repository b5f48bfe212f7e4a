// The digest of a log as a checkpoint keeps it: the log's decoded bytes cut
// into pieces of 1 MiB, each piece hashed as a leaf, and the leaves combined
// into one tree hash as RFC 6962 combines them (a leaf is SHA-256 of 0x00
// and its bytes, a node SHA-256 of 0x01 and its two children). A
// checkpoint keeps the nodes that span 2^level leaves each, at the
// smallest level that keeps at most MAX_NODES of them, with the line each
// begins in: a changed byte is then located to a node and its lines, and
// the size of a checkpoint stays bounded however long a log grows. The
// tree hash of the whole log follows from its nodes at any level.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "signature_check_digest.hpp"

inline constexpr std::size_t LEAF_BYTES = std::size_t{1} << 20;
inline constexpr std::size_t MAX_NODES = 1024;

struct digest_node {
    sha256_digest sha256{};
    // The physical line the node's first byte belongs to; 0 when not known.
    uint64_t first_line = 0;
};

// The level at which leaves of this many fit into MAX_NODES nodes.
unsigned level_for(uint64_t leaves);

// The nodes of the next level: neighbours combined, a last odd one kept.
std::vector<digest_node> raise(const std::vector<digest_node>& nodes);

// The tree hash over nodes of one level (all but the last spanning as many
// leaves as each other); the empty log's is SHA-256 of nothing.
sha256_digest tree_hash(const std::vector<digest_node>& nodes);

// Hashes a log's bytes as they come.
class log_digest {
public:
    log_digest();

    // The next bytes of the log, which belong to physical line line (0 when
    // not known).
    void add(const unsigned char* bytes, std::size_t size, uint64_t line);

    // Bytes hashed so far.
    uint64_t size() const { return size_; }

    // The nodes at level over the bytes so far (a last partial leaf
    // included).
    std::vector<digest_node> nodes(unsigned level) const;

    // The digest of the first piece alone: the first min(1 MiB, size())
    // bytes, which tells one log from another.
    sha256_digest head() const;

    // Gives the leaves that begin the nodes of level the lines that nodes
    // at that level began with (their first_line), where not known.
    void learn_lines(const std::vector<digest_node>& known, unsigned level);

private:
    void finish_leaf();

    uint64_t size_ = 0;
    sha256_stream leaf_;
    uint64_t leaf_line_ = 0;
    std::vector<digest_node> leaves_;
};
