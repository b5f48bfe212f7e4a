#include "check_pool.hpp"

#include <algorithm>
#include <chrono>
#include <system_error>

#include "interrupt.hpp"

namespace {

// Bounds on the lines in flight: enough to keep every worker busy, few
// enough that memory stays small however long the log is. A single line
// larger than the byte bound is still accepted when nothing else is queued.
constexpr std::size_t MAX_QUEUED_LINES = 256;
constexpr std::size_t MAX_QUEUED_BYTES = std::size_t{4} * 1024 * 1024;

}  // namespace

unsigned default_worker_count()
{
    const unsigned threads = std::thread::hardware_concurrency();
    return threads > 0 ? threads : 1;
}

check_pool::check_pool(unsigned workers, const check_settings& settings,
                       key_store_limits store_limits, check_state& callers_state)
    : settings_(settings), store_limits_(store_limits), callers_state_(callers_state)
{
    // Workers leave the signals that stop a run to the reading thread.
    const interrupts_blocked for_workers;
    for (unsigned i = 0; i < workers; ++i) {
        try {
            workers_.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            // A thread that cannot start (no memory for its stack, a process
            // limit) leaves the work to those that did, or to the caller.
            break;
        }
    }
}

check_pool::~check_pool()
{
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& worker : workers_)
        worker.join();
}

bool check_pool::is_full(std::size_t line_bytes) const
{
    if (queue_.empty())
        return false;
    return queue_.size() >= MAX_QUEUED_LINES || queued_bytes_ + line_bytes > MAX_QUEUED_BYTES;
}

void check_pool::queue(const line_fields& fields, const line_position& where)
{
    auto line = std::make_unique<queued_line>(fields, where);
    queued_line* const added = line.get();
    queued_bytes_ += added->storage.size();
    queue_.push_back(std::move(line));
    if (workers_.empty()) {
        added->verdict = check_line_signature(callers_state_, added->line, settings_);
        added->checked = true;
        return;
    }
    {
        const std::lock_guard lock(mutex_);
        unclaimed_.push_back(added);
    }
    work_ready_.notify_one();
}

queued_line* check_pool::oldest_checked()
{
    if (queue_.empty() || !queue_.front()->checked)
        return nullptr;
    return queue_.front().get();
}

bool check_pool::wait_checked(std::size_t count, unsigned timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (std::size_t next = 0;;) {
        while (next < count && next < queue_.size() && queue_[next]->checked)
            ++next;
        if (next == count || next == queue_.size()) {
            awaited_ = nullptr;
            return true;
        }
        // Workers take lines in order, so once the last line of the span is
        // checked the others nearly always are: wait for that one first, and
        // be woken once for the span rather than once per line. A worker
        // that marks the line checked after the store below sees it awaited;
        // one that did so before is seen by the predicate.
        const std::size_t last = std::min(count, queue_.size()) - 1;
        const queued_line* const line =
            queue_[last]->checked ? queue_[next].get() : queue_[last].get();
        awaited_ = line;
        std::unique_lock lock(mutex_);
        if (!line_checked_.wait_until(lock, deadline, [line] { return line->checked.load(); })) {
            awaited_ = nullptr;
            return false;
        }
    }
}

void check_pool::take_oldest()
{
    queued_bytes_ -= queue_.front()->storage.size();
    queue_.pop_front();
}

void check_pool::work()
{
    check_state state(store_limits_);
    for (;;) {
        queued_line* line = nullptr;
        {
            std::unique_lock lock(mutex_);
            work_ready_.wait(lock, [this] { return stopping_ || !unclaimed_.empty(); });
            if (stopping_)
                return;
            line = unclaimed_.front();
            unclaimed_.pop_front();
        }
        // The line is this worker's alone until it is marked checked.
        line->verdict = check_line_signature(state, line->line, settings_);
        line->checked = true;
        if (awaited_ == line) {
            // Taking the lock orders this wake-up after the waiter's check.
            {
                const std::lock_guard lock(mutex_);
            }
            line_checked_.notify_one();
        }
    }
}
