// The keys a worker thread keeps from line to line: each parsed key (or the
// code its parse failed with), with its point table, looked up by the exact
// key-field bytes and bounded both in number and in the bytes it holds.
//
// A log gathered from a fleet brings thousands of keys, each many times,
// and sometimes a stream of keys that come only once. When full, the store
// drops the least useful key: the least recent of the keys seen only once;
// a key seen again is dropped only when no key seen once is left. Keys seen
// again hold at most seven eighths of the store, so that a new key still has
// room to come back and earn its place, and a stream of one-off keys never
// pushes out the keys that return.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

namespace signature_check_detail {
// A parsed key and its point table (signature_check_kept_key.hpp).
struct kept_key;
}  // namespace signature_check_detail

struct key_store_limits {
    std::size_t keys;   // keys kept at most
    std::size_t bytes;  // heap bytes the kept keys hold at most, as kept_bytes counts them
};

// What a store has done, for tests and measurements.
struct key_store_counts {
    uint64_t found = 0;      // lines whose key was kept
    uint64_t parsed = 0;     // key fields parsed for the store
    uint64_t dropped = 0;    // keys evicted to make room
    uint64_t tables = 0;     // point tables built for kept keys
    uint64_t too_large = 0;  // parsed keys not kept: larger than the whole store
};

class key_store {
public:
    explicit key_store(key_store_limits limits);
    ~key_store();
    key_store(const key_store&) = delete;
    key_store& operator=(const key_store&) = delete;

    // The key kept for key_field, or nullptr. Finding a key counts as its
    // use: a key found again is kept in preference to those seen once.
    signature_check_detail::kept_key* find(std::string_view key_field);

    // Whether a key is kept for key_field; not a use.
    bool holds(std::string_view key_field) const { return index_.contains(key_field); }

    // Keeps key, which holds key_bytes (kept_bytes), for key_field (not kept
    // yet), dropping the least useful keys while it does not fit. A key
    // larger than the whole store is not kept.
    void keep(std::string_view key_field, std::unique_ptr<signature_check_detail::kept_key> key,
              std::size_t key_bytes);

    // The key kept for key_field now holds key_bytes (its point table was
    // just built); the least useful keys are dropped while the store is over
    // its limits, which may be this key itself.
    void recharge(std::string_view key_field, std::size_t key_bytes);

    std::size_t size() const { return index_.size(); }
    // What the kept keys hold, with the store's own share for each.
    std::size_t bytes() const { return once_bytes_ + again_bytes_; }

    key_store_counts counts;

private:
    struct entry {
        std::string key_field;
        std::unique_ptr<signature_check_detail::kept_key> key;
        std::size_t bytes = 0;
        bool seen_again = false;
    };
    using entry_list = std::list<entry>;

    // What a key of key_bytes costs kept for key_field.
    static std::size_t charge_of(std::string_view key_field, std::size_t key_bytes);
    void drop_least_useful();
    void demote_while_over_share();
    bool over_limits(std::size_t keys, std::size_t bytes) const;

    key_store_limits limits_;
    // Most recent first: the keys seen once, and those seen again.
    entry_list once_;
    entry_list again_;
    std::size_t once_bytes_ = 0;
    std::size_t again_bytes_ = 0;
    // Keys are views of the entries' own key_field, which list nodes keep in
    // place when they move between the lists.
    std::unordered_map<std::string_view, entry_list::iterator> index_;
};

// The heap bytes a kept key and its point table hold, with the allocator's
// own overhead, counted from the crypto library's sizes.
std::size_t kept_bytes(const signature_check_detail::kept_key& key);
