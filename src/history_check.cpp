#include "history_check.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <utility>

#include "log_reader.hpp"

namespace {

using role = log_plan::role;

// What the logs given are read with: their bytes only, no lines.
class log_hasher {
public:
    explicit log_hasher(const std::function<bool()>& must_stop)
        : reader_(reader_settings{}, [&must_stop] { return must_stop(); })
    {
    }

    // Reads the log at fd from its start into digest, up to limit bytes.
    log_reader::status hash(int fd, uint64_t limit, log_digest& digest)
    {
        if (lseek(fd, 0, SEEK_SET) < 0)
            return log_reader::status::failed;
        reader_.start(fd);
        return reader_.pass(limit, &digest);
    }

    // Whether the log hashed last goes on after what was hashed.
    bool goes_on(log_reader::status& status)
    {
        log_digest next;
        status = reader_.pass(1, &next);
        return next.size() > 0;
    }

    // The heads of the log at fd at each of lengths (ascending, at most one
    // piece): the digest of its first length bytes, for each length it has.
    std::vector<std::pair<uint64_t, sha256_digest>> heads(int fd,
                                                          const std::vector<uint64_t>& lengths,
                                                          log_reader::status& status)
    {
        std::vector<std::pair<uint64_t, sha256_digest>> heads;
        status = log_reader::status::piece;
        if (lseek(fd, 0, SEEK_SET) < 0) {
            status = log_reader::status::failed;
            return heads;
        }
        reader_.start(fd);
        log_digest digest;
        for (const uint64_t length : lengths) {
            status = reader_.pass(length - digest.size(), &digest);
            if (status != log_reader::status::piece)
                break;
            heads.emplace_back(length, digest.head());
        }
        if (status == log_reader::status::end)
            status = log_reader::status::piece;
        return heads;
    }

    const std::string& error() const { return reader_.error(); }

private:
    log_reader reader_;
};

// The length of a log's head: its first piece, or all of it.
uint64_t head_length(const history_log& log) { return std::min<uint64_t>(log.bytes, LEAF_BYTES); }

class matcher {
public:
    matcher(const history& checkpoint, const std::vector<int>& fds,
            const std::vector<std::string>& paths, const std::function<bool()>& must_stop)
        : logs_(checkpoint.logs), fds_(fds), paths_(paths), hasher_(must_stop)
    {
        for (std::size_t i = 0; i < logs_.size(); ++i) {
            if (logs_[i].bytes == 0)
                continue;
            by_head_[{head_length(logs_[i]), logs_[i].head}].push_back(i);
            head_lengths_.push_back(head_length(logs_[i]));
        }
        std::sort(head_lengths_.begin(), head_lengths_.end());
        head_lengths_.erase(std::unique(head_lengths_.begin(), head_lengths_.end()),
                            head_lengths_.end());
    }

    history_match run()
    {
        history_match match;
        match.plan.logs.resize(fds_.size());
        if (logs_.empty())
            return match;  // a checkpoint of an empty set: every log is new
        const std::ptrdiff_t last = static_cast<std::ptrdiff_t>(logs_.size()) - 1;
        std::size_t aligned = 0;
        std::ptrdiff_t at = 0;
        if (!fds_.empty() && !align(aligned, at))
            return failed();
        // From the log aligned on, up; then down from it. An empty log where
        // the checkpoint has one that is not is a new log, with nothing to
        // verify: a writer that copies its empty log and truncates it makes
        // one that no follow run sees. A checkpoint's log emptied is then
        // missing, and named as such.
        std::ptrdiff_t index = at;
        for (std::size_t given = aligned; given < fds_.size(); ++given) {
            const placing placed = place(given, index, match.plan);
            if (placed == placing::failed)
                return failed();
            if (placed == placing::placed)
                ++index;
        }
        if (index <= last) {
            changed(logs_[static_cast<std::size_t>(last)].path, 0,
                    "the checkpoint's last log is not among the logs given");
            return failed();
        }
        std::ptrdiff_t first = at - 1;
        for (std::size_t given = aligned; given-- > 0;) {
            const placing placed = place(given, first, match.plan);
            if (placed == placing::failed)
                return failed();
            if (placed == placing::placed)
                --first;
        }
        match.plan.retired = static_cast<std::size_t>(std::max<std::ptrdiff_t>(first + 1, 0));
        return match;
    }

private:
    enum class placing { placed, skipped, failed };

    // The log given where the checkpoint has log index (below 0: before
    // its first; beyond its last: a new log).
    placing place(std::size_t given, std::ptrdiff_t index, history_plan& plan)
    {
        const auto last = static_cast<std::ptrdiff_t>(logs_.size()) - 1;
        const bool in_history = index >= 0 && index <= last;
        if (!in_history || logs_[static_cast<std::size_t>(index)].bytes > 0) {
            bool failed_read = false;
            const bool empty = is_empty(given, failed_read);
            if (failed_read)
                return placing::failed;
            if (empty && (in_history || index < 0))
                return placing::skipped;  // a new log (fresh), verified whole
        }
        bool placed = false;
        if (index < 0) {
            placed = before_history(given);
        } else if (index > last) {
            placed = check_new(given);
        } else {
            placed = check_verified(given, static_cast<std::size_t>(index), plan);
        }
        return placed ? placing::placed : placing::failed;
    }

    // Whether the log given holds no text at all.
    bool is_empty(std::size_t given, bool& failed_read)
    {
        log_reader::status status = log_reader::status::piece;
        const auto heads = hasher_.heads(fds_[given], {1}, status);
        failed_read = read_failed(given, status);
        return heads.empty();
    }

    history_match failed()
    {
        history_match match;
        match.error = error_;
        match.changed = changed_;
        return match;
    }

    void changed(const std::string& path, uint64_t line, const std::string& what)
    {
        error_ = run_error{run_error_kind::history_changed, path, what, line};
    }

    bool read_failed(std::size_t given, log_reader::status status)
    {
        if (status == log_reader::status::piece || status == log_reader::status::end)
            return false;
        const std::string& path = paths_[given];
        if (status == log_reader::status::out_of_memory) {
            error_ = run_error{run_error_kind::out_of_memory, path, "Cannot allocate memory", 0};
        } else if (status == log_reader::status::interrupted) {
            error_ = run_error{run_error_kind::interrupted, path, "", 0};
        } else {
            error_ = run_error{run_error_kind::read_log, path, hasher_.error(), 0};
        }
        return true;
    }

    // The checkpoint's logs (not empty) whose head the log given begins
    // with, ascending.
    std::vector<std::size_t> candidates(std::size_t given, bool& failed_read)
    {
        log_reader::status status = log_reader::status::piece;
        const auto heads = hasher_.heads(fds_[given], head_lengths_, status);
        failed_read = read_failed(given, status);
        std::vector<std::size_t> found;
        for (const auto& head : heads) {
            const auto logs = by_head_.find(head);
            if (logs != by_head_.end())
                found.insert(found.end(), logs->second.begin(), logs->second.end());
        }
        std::sort(found.begin(), found.end());
        return found;
    }

    // Where the logs given stand in the checkpoint: the first log given
    // (aligned) whose head is a checkpoint's log's stands at that log (at);
    // else the first log given stands at the checkpoint's last log when it
    // is empty (any log begins as an empty one; the empty logs before it,
    // which a follow run passes as they are rotated, hold nothing to
    // compare), or at the latest log of its name the checkpoint knows.
    bool align(std::size_t& aligned, std::ptrdiff_t& at)
    {
        for (std::size_t given = 0; given < fds_.size(); ++given) {
            bool failed_read = false;
            const std::vector<std::size_t> found = candidates(given, failed_read);
            if (failed_read)
                return false;
            if (found.empty())
                continue;
            const auto named = std::find_if(found.begin(), found.end(), [&](std::size_t i) {
                return logs_[i].path == paths_[given];
            });
            aligned = given;
            at = static_cast<std::ptrdiff_t>(named != found.end() ? *named : found.front());
            return true;
        }
        aligned = 0;
        if (logs_.back().bytes == 0) {
            at = static_cast<std::ptrdiff_t>(logs_.size()) - 1;
            return true;
        }
        // The latest log of a name is the likeliest.
        for (std::size_t given = 0; given < fds_.size(); ++given) {
            for (std::size_t i = logs_.size(); i-- > 0;) {
                if (logs_[i].path == paths_[given]) {
                    at = static_cast<std::ptrdiff_t>(i) - static_cast<std::ptrdiff_t>(given);
                    return true;
                }
            }
        }
        changed(paths_[0], 0,
                "it begins as no log of the checkpoint, whose last log is " + logs_.back().path);
        return false;
    }

    // A log given before the checkpoint's first log: none of the
    // checkpoint's, since the first that is one tells where they begin.
    bool before_history(std::size_t given)
    {
        changed(paths_[given], 0,
                "it is no log of the checkpoint, yet comes before its first log " +
                    logs_.front().path);
        return false;
    }

    // A log given where the checkpoint has log index.
    bool check_verified(std::size_t given, std::size_t index, history_plan& plan)
    {
        const history_log& expected = logs_[index];
        const bool last = index + 1 == logs_.size();
        auto digest = std::make_unique<log_digest>();
        log_reader::status status = hasher_.hash(fds_[given], expected.bytes, *digest);
        if (read_failed(given, status))
            return false;
        const bool same_head =
            digest->size() >= head_length(expected) && digest->head() == expected.head;
        if (expected.bytes > 0 && !same_head && !in_its_place(given, index))
            return false;
        if (!(expected.retired ? same_whole(given, index, *digest)
                               : same_bytes(given, index, *digest)))
            return false;
        if (!last && hasher_.goes_on(status)) {
            changed(paths_[given], expected.lines,
                    "it grew after the lines verified, but only the checkpoint's last log may");
            return false;
        }
        if (read_failed(given, status))
            return false;
        plan.logs[given] = {last ? role::grown : role::resumed, index};
        if (last) {
            digest->learn_lines(expected.nodes, expected.level);
            plan.grown = std::move(digest);
        }
        return true;
    }

    // A log given where the checkpoint has log index, whose head is not
    // that log's: another log of the checkpoint (missing or out of order
    // logs), or that log with its first piece changed, which the bytes
    // then name.
    bool in_its_place(std::size_t given, std::size_t index)
    {
        bool failed_read = false;
        const std::vector<std::size_t> found = candidates(given, failed_read);
        if (failed_read)
            return false;
        if (found.empty())
            return true;
        const auto later = std::upper_bound(found.begin(), found.end(), index);
        if (later != found.end()) {
            changed(paths_[given], 0,
                    "the checkpoint's log " + logs_[index].path + " is missing before it");
        } else {
            given_out_of_order(given, found.front());
        }
        return false;
    }

    void given_out_of_order(std::size_t given, std::size_t index)
    {
        changed(paths_[given], 0,
                "it is the checkpoint's log " + logs_[index].path + ", given out of its order");
    }

    static std::string lines_text(uint64_t from, uint64_t to)
    {
        return "lines " + std::to_string(from) + " to " + std::to_string(to);
    }

    // The name the checkpoint knows a log given by, where it differs.
    std::string as_named(std::size_t given, std::size_t index) const
    {
        return logs_[index].path == paths_[given] ? "" : " (verified as " + logs_[index].path + ")";
    }

    // The log's bytes against those the checkpoint verified, piece by
    // piece: the lines of every piece that differs are to be named.
    bool same_bytes(std::size_t given, std::size_t index, const log_digest& digest)
    {
        const history_log& expected = logs_[index];
        const std::vector<digest_node> nodes = digest.nodes(expected.level);
        const uint64_t span = LEAF_BYTES << expected.level;
        changed_log differing{given, index, {}};
        for (std::size_t i = 0; i < expected.nodes.size(); ++i) {
            // A node cut short never matches its whole self.
            if (i < nodes.size() && nodes[i].sha256 == expected.nodes[i].sha256)
                continue;
            const uint64_t from = expected.nodes[i].first_line;
            const uint64_t to =
                i + 1 < expected.nodes.size() ? expected.nodes[i + 1].first_line : expected.lines;
            const bool complete =
                digest.size() >= std::min<uint64_t>((i + 1) * span, expected.bytes);
            if (!complete) {
                if (differing.lines.empty()) {
                    changed(paths_[given], from,
                            "it ends within " + lines_text(from, to) + ", before the " +
                                std::to_string(expected.lines) + " lines verified" +
                                as_named(given, index));
                }
                break;
            }
            if (differing.lines.empty()) {
                changed(paths_[given], from,
                        lines_text(from, to) + " differ from those verified" +
                            as_named(given, index));
            }
            differing.lines.emplace_back(from, to);
        }
        if (!error_)
            return true;
        if (!differing.lines.empty())
            changed_ = std::move(differing);
        return false;
    }

    // A retired log given again: all of it against the tree hash kept of
    // it.
    bool same_whole(std::size_t given, std::size_t index, const log_digest& digest)
    {
        const history_log& expected = logs_[index];
        if (digest.size() == expected.bytes && tree_hash(digest.nodes(0)) == expected.tree)
            return true;
        const std::string retired = " (verified before, then retired as " + expected.path + ")";
        if (digest.size() < expected.bytes) {
            changed(paths_[given], 1,
                    "it ends before the " + std::to_string(expected.lines) + " lines verified" +
                        retired);
            return false;
        }
        changed(paths_[given], 1,
                lines_text(1, expected.lines) + " differ from those verified" + retired);
        changed_ = changed_log{given, index, {{1, expected.lines}}};
        return false;
    }

    // A new log must not be one of the checkpoint's.
    bool check_new(std::size_t given)
    {
        bool failed_read = false;
        const std::vector<std::size_t> verified = candidates(given, failed_read);
        if (failed_read)
            return false;
        if (verified.empty())
            return true;
        given_out_of_order(given, verified.front());
        return false;
    }

    const std::vector<history_log>& logs_;
    const std::vector<int>& fds_;
    const std::vector<std::string>& paths_;
    log_hasher hasher_;
    // The checkpoint's logs by the length and digest of their head.
    std::map<std::pair<uint64_t, sha256_digest>, std::vector<std::size_t>> by_head_;
    std::vector<uint64_t> head_lengths_;
    std::optional<run_error> error_;
    std::optional<changed_log> changed_;
};

}  // namespace

history_match match_history(const history& checkpoint, const std::vector<int>& fds,
                            const std::vector<std::string>& paths,
                            const std::function<bool()>& must_stop)
{
    return matcher(checkpoint, fds, paths, must_stop).run();
}
