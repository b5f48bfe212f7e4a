#include "log_digest.hpp"

#include <algorithm>

namespace {

constexpr unsigned char LEAF_PREFIX = 0x00;
constexpr unsigned char NODE_PREFIX = 0x01;

sha256_digest combine(const sha256_digest& left, const sha256_digest& right)
{
    sha256_stream node;
    node.add(&NODE_PREFIX, 1);
    node.add(left.data(), left.size());
    node.add(right.data(), right.size());
    return node.digest();
}

sha256_digest tree_hash_of(const std::vector<digest_node>& nodes, std::size_t begin,
                           std::size_t end)
{
    if (end - begin == 1)
        return nodes[begin].sha256;
    std::size_t split = 1;
    while (split * 2 < end - begin)
        split *= 2;
    return combine(tree_hash_of(nodes, begin, begin + split),
                   tree_hash_of(nodes, begin + split, end));
}

}  // namespace

unsigned level_for(uint64_t leaves)
{
    unsigned level = 0;
    while ((leaves + (uint64_t{1} << level) - 1) >> level > MAX_NODES)
        ++level;
    return level;
}

std::vector<digest_node> raise(const std::vector<digest_node>& nodes)
{
    std::vector<digest_node> raised;
    for (std::size_t i = 0; i < nodes.size(); i += 2) {
        if (i + 1 == nodes.size()) {
            raised.push_back(nodes[i]);
        } else {
            raised.push_back({combine(nodes[i].sha256, nodes[i + 1].sha256), nodes[i].first_line});
        }
    }
    return raised;
}

sha256_digest tree_hash(const std::vector<digest_node>& nodes)
{
    if (nodes.empty())
        return sha256_stream().digest();
    return tree_hash_of(nodes, 0, nodes.size());
}

log_digest::log_digest() { leaf_.add(&LEAF_PREFIX, 1); }

void log_digest::add(const unsigned char* bytes, std::size_t size, uint64_t line)
{
    while (size > 0) {
        if (size_ % LEAF_BYTES == 0)
            leaf_line_ = line;
        const std::size_t room = LEAF_BYTES - static_cast<std::size_t>(size_ % LEAF_BYTES);
        const std::size_t take = std::min(room, size);
        leaf_.add(bytes, take);
        bytes += take;
        size -= take;
        size_ += take;
        if (take == room)
            finish_leaf();
    }
}

void log_digest::finish_leaf()
{
    leaves_.push_back({leaf_.digest(), leaf_line_});
    leaf_ = sha256_stream();
    leaf_.add(&LEAF_PREFIX, 1);
}

std::vector<digest_node> log_digest::nodes(unsigned level) const
{
    std::vector<digest_node> nodes = leaves_;
    if (size_ % LEAF_BYTES != 0)
        nodes.push_back({leaf_.digest(), leaf_line_});
    for (unsigned i = 0; i < level; ++i)
        nodes = raise(nodes);
    return nodes;
}

sha256_digest log_digest::head() const
{
    return leaves_.empty() ? leaf_.digest() : leaves_.front().sha256;
}

void log_digest::learn_lines(const std::vector<digest_node>& known, unsigned level)
{
    for (std::size_t i = 0; i < known.size(); ++i) {
        const std::size_t leaf = i << level;
        if (leaf < leaves_.size() && leaves_[leaf].first_line == 0) {
            leaves_[leaf].first_line = known[i].first_line;
        } else if (leaf == leaves_.size() && leaf_line_ == 0) {
            leaf_line_ = known[i].first_line;
        }
    }
}
