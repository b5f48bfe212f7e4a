// Checks the signatures of many lines at once on worker threads and hands
// the verdicts back strictly in input order.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "line_format.hpp"
#include "run_record.hpp"
#include "signature_check.hpp"

// A line queued for checking: its own copy of the three fields, its
// sequence number and time, where it stands in the log, and the verdict
// once a worker has given it.
struct queued_line {
    queued_line(const split_fields& split, const line_position& position)
        : line(line_to_check::copied(split.fields, storage)), place(split.place), where(position)
    {
    }

    std::string storage;
    line_to_check line;
    line_place place;
    line_position where;
    line_verdict verdict{};
    // Set by the worker once verdict holds the line's verdict.
    std::atomic<bool> checked = false;
};

class check_pool {
public:
    // With 0 workers every line is checked on the caller's thread as it is
    // queued, with callers_state. Workers that cannot be started leave
    // fewer (or none). Each worker keeps a state of its own, whose key store
    // keeps at most store_limits.
    check_pool(unsigned workers, const check_settings& settings, key_store_limits store_limits,
               check_state& callers_state);
    ~check_pool();
    check_pool(const check_pool&) = delete;
    check_pool& operator=(const check_pool&) = delete;

    // True when another line of this many bytes must wait until the oldest
    // queued line has been taken back.
    bool is_full(std::size_t line_bytes) const;
    bool is_empty() const { return queue_.empty(); }

    // Queues a copy of the fields for checking.
    void queue(const split_fields& split, const line_position& where);

    std::size_t size() const { return queue_.size(); }

    // The oldest queued line once it is checked, or nullptr while it is not
    // (or nothing is queued). It stays valid until take_oldest.
    queued_line* oldest_checked();

    // Waits until the oldest count queued lines are all checked, at most
    // timeout_ms; returns whether they are. Waiting for many lines at once
    // spares a wake-up per line.
    bool wait_checked(std::size_t count, unsigned timeout_ms);

    // Forgets the oldest queued line.
    void take_oldest();

    // A worker's loop: checks lines until the pool stops.
    void work();

private:
    const check_settings settings_;
    const key_store_limits store_limits_;
    check_state& callers_state_;
    // Lines in input order, touched by the caller's thread only; unique_ptr
    // keeps each line in place for the worker that checks it.
    std::deque<std::unique_ptr<queued_line>> queue_;
    std::size_t queued_bytes_ = 0;

    // Shared with the workers: the lines no worker has taken yet, and the
    // line whose check the caller of wait_checked is waiting for.
    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable line_checked_;
    std::deque<queued_line*> unclaimed_;
    std::atomic<const queued_line*> awaited_ = nullptr;
    bool stopping_ = false;
    std::vector<pthread_t> workers_;
};

// One worker per hardware thread, at least one.
unsigned default_worker_count();

// How many of wanted workers fit in an address space of limit bytes of
// which used are taken (RLIMIT_AS, as `ulimit -v` sets it): half of what
// is left stays with the reading thread (its line buffers, the reader,
// the run's record), the other half is shared by the workers, each
// costing its stack and what its checks keep (store_bytes) and use.
unsigned workers_within(unsigned wanted, uint64_t limit, uint64_t used, std::size_t store_bytes);

// Each worker's stack: what a check of the largest keys uses (9.1 KiB at
// most over every fixture key, RSA-8192 and explicit curves included,
// measured on a painted stack) many times over, rather than the 8 MiB of
// a thread's default.
inline constexpr std::size_t WORKER_STACK_BYTES = std::size_t{256} * 1024;
