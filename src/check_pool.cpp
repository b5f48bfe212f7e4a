#include "check_pool.hpp"

#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "interrupt.hpp"

namespace {

// What a worker's checks use besides its stack and its key store: the
// library's working memory for one check of the largest keys, and slack.
constexpr uint64_t WORKER_SCRATCH_BYTES = uint64_t{1} << 20;
// The address space a malloc arena of another thread reserves at once
// (glibc's HEAP_MAX_SIZE on 64-bit systems).
constexpr uint64_t ARENA_BYTES = uint64_t{64} << 20;

// The address space limit, and what is taken of it now; false without one.
bool address_space(uint64_t& limit, uint64_t& used)
{
    rlimit address_space{};
    if (getrlimit(RLIMIT_AS, &address_space) != 0 || address_space.rlim_cur == RLIM_INFINITY)
        return false;
    limit = address_space.rlim_cur;
    // The first number of statm: the pages of the address space in use.
    char text[64] = {};
    const int statm = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    const ssize_t got = statm >= 0 ? read(statm, text, sizeof text - 1) : -1;
    if (statm >= 0)
        (void)close(statm);
    const unsigned long long pages = got > 0 ? std::strtoull(text, nullptr, 10) : 0;
    used = pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    return true;
}

// The arenas that fit in the workers' share of a limited address space.
int arenas_within(uint64_t share)
{
    return static_cast<int>(std::max<uint64_t>(1, share / 4 / ARENA_BYTES));
}

extern "C" void* run_worker(void* pool);

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

unsigned workers_within(unsigned wanted, uint64_t limit, uint64_t used, std::size_t store_bytes)
{
    if (used >= limit)
        return 0;
    const uint64_t share = (limit - used) / 2;
    const uint64_t arenas = static_cast<uint64_t>(arenas_within(share)) * ARENA_BYTES;
    if (arenas >= share)
        return 0;
    const uint64_t each = WORKER_STACK_BYTES + store_bytes + WORKER_SCRATCH_BYTES;
    return static_cast<unsigned>(std::min<uint64_t>(wanted, (share - arenas) / each));
}

check_pool::check_pool(unsigned workers, const check_settings& settings,
                       key_store_limits store_limits, check_state& callers_state)
    : settings_(settings), store_limits_(store_limits), callers_state_(callers_state)
{
    uint64_t limit = 0;
    uint64_t used = 0;
    if (workers > 0 && address_space(limit, used)) {
        // Under a limit, as many workers as fit, sharing few arenas: each
        // arena of its own would reserve 64 MiB.
        workers = workers_within(workers, limit, used, store_limits.bytes);
        (void)mallopt(M_ARENA_MAX, arenas_within(limit > used ? (limit - used) / 2 : 0));
    }
    workers_.reserve(workers);
    pthread_attr_t attributes;
    if (workers == 0 || pthread_attr_init(&attributes) != 0)
        return;
    (void)pthread_attr_setstacksize(&attributes, WORKER_STACK_BYTES);
    {
        // Workers leave the signals that stop a run to the reading thread.
        const interrupts_blocked for_workers;
        for (unsigned i = 0; i < workers; ++i) {
            pthread_t worker{};
            // A thread that cannot start (no memory for its stack, a process
            // limit) leaves the work to those that did, or to the caller.
            if (pthread_create(&worker, &attributes, run_worker, this) != 0)
                break;
            workers_.push_back(worker);
        }
    }
    (void)pthread_attr_destroy(&attributes);
}

check_pool::~check_pool()
{
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    work_ready_.notify_all();
    for (const pthread_t worker : workers_)
        (void)pthread_join(worker, nullptr);
}

namespace {

extern "C" void* run_worker(void* pool)
{
    static_cast<check_pool*>(pool)->work();
    return nullptr;
}

}  // namespace

bool check_pool::is_full(std::size_t line_bytes) const
{
    if (queue_.empty())
        return false;
    return queue_.size() >= MAX_QUEUED_LINES || queued_bytes_ + line_bytes > MAX_QUEUED_BYTES;
}

void check_pool::queue(const split_fields& split, const line_position& where)
{
    auto line = std::make_unique<queued_line>(split, where);
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
