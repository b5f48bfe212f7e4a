#include "history_check.hpp"

#include <unistd.h>

#include <algorithm>
#include <map>

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
    std::map<uint64_t, sha256_digest> heads(int fd, const std::vector<uint64_t>& lengths,
                                            log_reader::status& status)
    {
        std::map<uint64_t, sha256_digest> heads;
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
            heads[length] = digest.head();
        }
        if (status == log_reader::status::end)
            status = log_reader::status::piece;
        return heads;
    }

    const std::string& error() const { return reader_.error(); }

private:
    log_reader reader_;
};

class matcher {
public:
    matcher(const history& checkpoint, const std::vector<int>& fds,
            const std::vector<std::string>& paths, const std::function<bool()>& must_stop)
        : checkpoint_(checkpoint), fds_(fds), paths_(paths), hasher_(must_stop)
    {
        for (const history_log& log : checkpoint.logs) {
            if (log.bytes > 0)
                head_lengths_.push_back(std::min<uint64_t>(log.bytes, LEAF_BYTES));
        }
        std::sort(head_lengths_.begin(), head_lengths_.end());
        head_lengths_.erase(std::unique(head_lengths_.begin(), head_lengths_.end()),
                            head_lengths_.end());
    }

    history_match run()
    {
        history_match match;
        match.plan.logs.resize(fds_.size());
        if (!place_first(match.plan))
            return failed();
        const std::size_t first = match.plan.retired;
        const std::size_t last = checkpoint_.logs.size() - 1;
        // The logs of the history from the first given on, in order, then
        // the new ones.
        for (std::size_t given = 0; given < fds_.size(); ++given) {
            const std::size_t index = first + given;
            if (index > last) {
                if (!check_new(given))
                    return failed();
                continue;
            }
            if (!check_verified(given, index, index == last, match.plan))
                return failed();
        }
        if (first + fds_.size() <= last) {
            const history_log& missing = checkpoint_.logs[last];
            changed(missing.path, 0, "the checkpoint's last log is not among the logs given");
            return failed();
        }
        return match;
    }

private:
    history_match failed()
    {
        history_match match;
        match.error = error_;
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

    // The checkpoint's logs whose first piece the log given begins with.
    std::vector<std::size_t> candidates(std::size_t given, bool& failed_read)
    {
        log_reader::status status = log_reader::status::piece;
        const std::map<uint64_t, sha256_digest> heads =
            hasher_.heads(fds_[given], head_lengths_, status);
        failed_read = read_failed(given, status);
        std::vector<std::size_t> found;
        for (std::size_t i = 0; i < checkpoint_.logs.size(); ++i) {
            const history_log& log = checkpoint_.logs[i];
            const auto head = heads.find(std::min<uint64_t>(log.bytes, LEAF_BYTES));
            if (log.bytes > 0 && head != heads.end() && head->second == log.head)
                found.push_back(i);
        }
        return found;
    }

    // Which log of the checkpoint the first log given is: those before it
    // were retired.
    bool place_first(history_plan& plan)
    {
        bool failed_read = false;
        const std::vector<std::size_t> found = candidates(0, failed_read);
        if (failed_read)
            return false;
        // A log given under the name it had is the likeliest; one whose
        // first piece changed is compared under that name, so that the lines
        // that differ are named.
        const auto same_name = [this](std::size_t i) {
            return checkpoint_.logs[i].path == paths_[0];
        };
        const auto named = std::find_if(found.begin(), found.end(), same_name);
        if (named != found.end()) {
            plan.retired = *named;
        } else if (!found.empty()) {
            plan.retired = found.front();
        } else {
            std::size_t index = 0;
            while (index < checkpoint_.logs.size() && !same_name(index))
                ++index;
            if (index == checkpoint_.logs.size()) {
                changed(paths_[0], 0,
                        "it begins as no log of the checkpoint, whose last log is " +
                            checkpoint_.logs.back().path);
                return false;
            }
            plan.retired = index;
        }
        return true;
    }

    // A log given where the checkpoint has log index.
    bool check_verified(std::size_t given, std::size_t index, bool last, history_plan& plan)
    {
        const history_log& expected = checkpoint_.logs[index];
        if (given > 0 && !same_head(given, index))
            return false;
        auto digest = std::make_unique<log_digest>();
        log_reader::status status = hasher_.hash(fds_[given], expected.bytes, *digest);
        if (read_failed(given, status) || !same_bytes(given, expected, *digest))
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

    // A log given later than the first must begin as the checkpoint's log
    // in its place; one that begins as a later log means those between are
    // missing.
    bool same_head(std::size_t given, std::size_t index)
    {
        bool failed_read = false;
        const std::vector<std::size_t> found = candidates(given, failed_read);
        if (failed_read)
            return false;
        if (found.empty() || std::find(found.begin(), found.end(), index) != found.end())
            return true;  // a changed first piece is named by the bytes
        if (found.front() > index) {
            changed(paths_[given], 0,
                    "the checkpoint's log " + checkpoint_.logs[index].path +
                        " is missing before it");
        } else {
            given_out_of_order(given, found.front());
        }
        return false;
    }

    void given_out_of_order(std::size_t given, std::size_t index)
    {
        changed(paths_[given], 0,
                "it is the checkpoint's log " + checkpoint_.logs[index].path +
                    ", given out of its order");
    }

    // The log's bytes against those the checkpoint verified.
    bool same_bytes(std::size_t given, const history_log& expected, const log_digest& digest)
    {
        const std::vector<digest_node> nodes = digest.nodes(expected.level);
        const uint64_t span = LEAF_BYTES << expected.level;
        for (std::size_t i = 0; i < expected.nodes.size(); ++i) {
            // A node cut short never matches its whole self.
            if (i < nodes.size() && nodes[i].sha256 == expected.nodes[i].sha256)
                continue;
            const bool complete =
                digest.size() >= std::min<uint64_t>((i + 1) * span, expected.bytes);
            const uint64_t from = expected.nodes[i].first_line;
            const uint64_t to =
                i + 1 < expected.nodes.size() ? expected.nodes[i + 1].first_line : expected.lines;
            const std::string lines = "lines " + std::to_string(from) + " to " + std::to_string(to);
            std::string what;
            if (complete) {
                what = lines;
                what += " differ from those verified";
            } else {
                what = "it ends within ";
                what += lines;
                what += ", before the " + std::to_string(expected.lines) + " lines verified";
            }
            changed(paths_[given], from, what);
            return false;
        }
        return true;
    }

    // A new log must not be one of the checkpoint's.
    bool check_new(std::size_t given)
    {
        bool failed_read = false;
        const std::vector<std::size_t> found = candidates(given, failed_read);
        if (failed_read)
            return false;
        if (found.empty())
            return true;
        given_out_of_order(given, found.front());
        return false;
    }

    const history& checkpoint_;
    const std::vector<int>& fds_;
    const std::vector<std::string>& paths_;
    log_hasher hasher_;
    std::vector<uint64_t> head_lengths_;
    std::optional<run_error> error_;
};

}  // namespace

history_match match_history(const history& checkpoint, const std::vector<int>& fds,
                            const std::vector<std::string>& paths,
                            const std::function<bool()>& must_stop)
{
    return matcher(checkpoint, fds, paths, must_stop).run();
}
