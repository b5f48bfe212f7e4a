#include "run_checkpoint.hpp"

#include <algorithm>

#include "signature_check_digest.hpp"
#include "texts.hpp"

namespace {

// What a checkpoint made with other settings is.
std::optional<std::string> other_settings(const history& earlier, const run_options& options,
                                          const std::optional<sha256_digest>& trusted)
{
    if (earlier.mode != options.mode) {
        return earlier.mode == log_mode::event ? "it was made for an event log"
                                               : "it was made for a transaction log";
    }
    // --strict may be turned on: the history is then judged as --strict
    // judges it.
    if (earlier.strict && !options.strict)
        return "it was made with --strict";
    if (earlier.trusted_keys != trusted) {
        if (!earlier.trusted_keys)
            return "it was made without trusted keys";
        // A key trusted anew, or bounded anew (revoked), must reach the
        // lines verified before.
        return trusted ? "the trusted keys or their conditions changed since it was made: verify "
                         "the history again without it"
                       : "it was made with trusted keys";
    }
    return std::nullopt;
}

}  // namespace

run_checkpoint::run_checkpoint(const run_options& options) : options_(options) {}

std::optional<run_error> run_checkpoint::open(const trust_list& trust,
                                              const std::vector<file_identity>& logs)
{
    const std::string& path = options_.checkpoint;
    std::string problem;
    switch (file_.open(path, earlier_, problem)) {
        case checkpoint_file::open_result::opened:
            has_earlier_ = true;
            break;
        case checkpoint_file::open_result::first_run:
            break;
        case checkpoint_file::open_result::locked:
            return text::run_error_of(run_error_kind::checkpoint_locked, path);
        case checkpoint_file::open_result::failed:
        case checkpoint_file::open_result::malformed:
            return text::run_error_of(run_error_kind::checkpoint, path, problem);
    }
    const std::vector<file_identity> ours = file_.identities();
    for (std::size_t i = 0; i < logs.size(); ++i) {
        if (std::find(ours.begin(), ours.end(), logs[i]) != ours.end())
            return text::run_error_of(run_error_kind::log_is_checkpoint, options_.logs[i]);
    }
    std::optional<sha256_digest> trusted_digest;
    if (!options_.trusted_key_files.empty()) {
        sha256_stream digest;
        for (const key_fingerprint& key : trust.keys)
            digest.add(key.data(), key.size());
        // Keys without conditions digest as they did before there were any.
        const std::string conditions = conditions_text(trust);
        digest.add(conditions.data(), conditions.size());
        trusted_digest = digest.digest();
        trusted_ = *trusted_digest;
    }
    if (has_earlier_) {
        if (const std::optional<std::string> other =
                other_settings(earlier_, options_, trusted_digest))
            return text::run_error_of(run_error_kind::history_changed, path, *other);
    }
    return std::nullopt;
}

std::optional<run_error> run_checkpoint::match(const std::vector<int>& fds,
                                               const std::function<bool()>& must_stop)
{
    digests_.resize(fds.size());
    ends_.resize(fds.size());
    if (!has_earlier_) {
        plan_.logs.assign(fds.size(), log_plan{});
        return std::nullopt;
    }
    history_match match = match_history(earlier_, fds, options_.logs, must_stop);
    changed_ = std::move(match.changed);
    if (match.error)
        return match.error;
    plan_ = std::move(match.plan);
    return std::nullopt;
}

void run_checkpoint::restore(ledger& accounts) const
{
    if (!has_earlier_)
        return;
    std::vector<std::string> names;
    for (const history_log& log : earlier_.logs)
        names.push_back(log.path);
    std::vector<uint32_t> name_of_log;
    for (std::size_t i = 0; i < plan_.logs.size(); ++i) {
        const log_plan& plan = plan_.logs[i];
        if (plan.kind == log_plan::role::fresh) {
            name_of_log.push_back(static_cast<uint32_t>(names.size()));
            names.push_back(options_.logs[i]);
        } else {
            // A log verified before is named as it is given now.
            name_of_log.push_back(static_cast<uint32_t>(plan.history_index));
            names[plan.history_index] = options_.logs[i];
        }
    }
    accounts.restore(*earlier_.facts);
    accounts.name_logs(std::move(names), std::move(name_of_log));
}

run_checkpoint::reading run_checkpoint::reading_of(std::size_t log)
{
    reading read;
    if (!active())
        return read;
    read.hold_unfinished_line = log + 1 == plan_.logs.size();
    const log_plan& plan = plan_.logs[log];
    switch (plan.kind) {
        case log_plan::role::resumed:
            read.verify = false;
            break;
        case log_plan::role::grown: {
            const history_log& earlier = earlier_.logs[plan.history_index];
            read.passed_bytes = earlier.bytes;
            read.passed_lines = earlier.lines;
            read.at_line_start = earlier.ends_line;
            read.digest = plan_.grown.get();
            break;
        }
        case log_plan::role::fresh:
            digests_[log] = std::make_unique<log_digest>();
            read.digest = digests_[log].get();
            break;
    }
    return read;
}

void run_checkpoint::log_read(std::size_t log, uint64_t last_line, bool at_line_start)
{
    if (active())
        ends_[log] = {last_line, at_line_start};
}

history_log run_checkpoint::log_verified(std::size_t log, const ledger& accounts) const
{
    const log_plan& plan = plan_.logs[log];
    const bool grown = plan.kind == log_plan::role::grown;
    const log_digest& digest = grown ? *plan_.grown : *digests_[log];
    history_log verified;
    verified.path = options_.logs[log];
    verified.bytes = digest.size();
    verified.lines = ends_[log].lines;
    verified.ends_line = ends_[log].at_line_start;
    verified.head = digest.head();
    const uint64_t leaves = (digest.size() + LEAF_BYTES - 1) / LEAF_BYTES;
    verified.level =
        std::max(grown ? earlier_.logs[plan.history_index].level : 0U, level_for(leaves));
    verified.nodes = digest.nodes(verified.level);
    verified.tree = tree_hash(verified.nodes);
    const failed_lines& now = accounts.failed_lines_of(log);
    if (grown) {
        verified.failed = earlier_.logs[plan.history_index].failed;
        verified.failed.complete = verified.failed.complete && now.complete;
        for (const uint64_t line : now.lines) {
            if (verified.failed.lines.size() == KEPT_FAILED_LINES) {
                verified.failed.complete = false;
                break;
            }
            verified.failed.lines.push_back(line);
        }
    } else {
        verified.failed = now;
    }
    return verified;
}

// This run's problems as the next run lists them: under their log's name
// now, with the words they had here.
std::vector<earlier_problem> run_checkpoint::problems_found(const run_result& result) const
{
    std::vector<earlier_problem> found = result.earlier_problems;
    for (const line_problem& problem : result.problems) {
        earlier_problem kept;
        kept.path = options_.logs[problem.where.log];
        kept.line = problem.where.line;
        kept.fate = problem.fate;
        kept.key_code = problem.key_code;
        kept.key = problem.key;
        kept.number = problem.number;
        kept.detail = text::detail_of(problem, options_);
        found.push_back(std::move(kept));
    }
    return found;
}

history run_checkpoint::next_history(const ledger& accounts) const
{
    history next;
    next.mode = options_.mode;
    next.strict = options_.strict;
    if (!options_.trusted_key_files.empty())
        next.trusted_keys = trusted_;
    for (std::size_t i = 0; i < plan_.retired; ++i) {
        history_log retired = earlier_.logs[i];
        retired.retired = true;
        retired.nodes.clear();
        next.logs.push_back(std::move(retired));
    }
    for (std::size_t i = 0; i < plan_.logs.size(); ++i) {
        if (plan_.logs[i].kind == log_plan::role::resumed) {
            history_log resumed = earlier_.logs[plan_.logs[i].history_index];
            resumed.path = options_.logs[i];
            next.logs.push_back(std::move(resumed));
        } else {
            next.logs.push_back(log_verified(i, accounts));
        }
    }
    next.facts = accounts.state();
    next.facts->counts.earlier_problems = problems_found(accounts.result());
    return next;
}

void run_checkpoint::add_log()
{
    if (!active())
        return;
    plan_.logs.emplace_back();
    digests_.emplace_back();
    ends_.emplace_back();
}

std::optional<uint64_t> run_checkpoint::result_log_bytes() const
{
    return has_earlier_ ? earlier_.result_log_bytes : std::nullopt;
}

std::optional<run_error> run_checkpoint::write(const ledger& accounts, uint64_t result_log_bytes)
{
    if (!active())
        return std::nullopt;
    history next = next_history(accounts);
    next.result_log_bytes = result_log_bytes;
    std::string problem;
    if (!file_.write(next, problem))
        return text::run_error_of(run_error_kind::write_checkpoint, options_.checkpoint, problem);
    written_ = true;
    return std::nullopt;
}

checkpoint_report run_checkpoint::report(const run_result& result) const
{
    checkpoint_report report;
    report.path = options_.checkpoint;
    if (has_earlier_)
        report.resumed_lines = earlier_.facts->counts.lines_read;
    report.verified_lines = result.lines_read - std::min(result.lines_read, report.resumed_lines);
    // Those this run retired; those retired before stay in the checkpoint.
    for (std::size_t i = 0; i < plan_.retired; ++i) {
        if (!earlier_.logs[i].retired)
            report.retired_logs.push_back(earlier_.logs[i].path);
    }
    report.written = written_;
    return report;
}
