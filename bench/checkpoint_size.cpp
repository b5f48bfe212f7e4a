// How large a checkpoint grows: the facts of a run at their worst (under
// --strict, every number scattered so that each is a run of its own for
// where it was first recorded, every number also replayed and found out of
// order, the most keys and problems kept), and a log's own entry at its
// worst (the most nodes and failed lines kept), written as a run writes
// them. Prints the bytes of each part.
//
// Usage: bench_checkpoint_size
#include <cstdio>
#include <random>
#include <string>

#include "history.hpp"

namespace {

std::size_t bytes_of(const history& checkpoint) { return to_text(checkpoint).size(); }

}  // namespace

int main()
{
    std::mt19937 random(1);
    ledger_settings settings;
    settings.strict = true;
    settings.tallies_keys = true;
    settings.log_names = {"tx.log"};
    ledger worst(settings);
    line_verdict verdict;
    verdict.kind = check_verdict::verified;
    uint64_t line = 0;
    // Every other number, highest first: each number is a run of its own,
    // and every one after the first is out of order.
    for (uint32_t number = SEQ_LIMIT - 1; number > 1; number -= 2) {
        verdict.key.sha256[0] = static_cast<unsigned char>(line % 1000);
        verdict.key.sha256[1] = static_cast<unsigned char>(line % 1000 >> 8);
        const std::string data = "tx/0/1/2/3/4/5/" + std::to_string(number);
        worst.settle({0, ++line}, data.c_str(), "", {number}, verdict);
        // Replayed a random number of times.
        for (unsigned replay = random() % 4; replay > 0; --replay)
            worst.settle({0, ++line}, data.c_str(), "", {number}, verdict);
    }
    // Lines that fail, each a problem with the longest words.
    verdict.kind = check_verdict::bad_signature;
    for (int i = 0; i < 2000; ++i)
        worst.settle({0, ++line}, "x", "", {}, verdict);

    history facts;
    facts.facts = worst.state();
    facts.facts->counts.earlier_problems.resize(KEPT_PROBLEMS);
    for (earlier_problem& problem : facts.facts->counts.earlier_problems) {
        problem.path = "/var/log/tx.log.2.gz";
        problem.line = random();
        problem.fate = line_fate::repeated_number;
        problem.number = static_cast<uint32_t>(random() % SEQ_LIMIT);
        problem.detail = "first at /var/log/tx.log.3.gz:" + std::to_string(random());
    }
    history empty;
    const std::size_t base = bytes_of(empty);
    std::printf("worst facts: %zu bytes (%zu first-seen runs, %zu keys, %zu problems)\n",
                bytes_of(facts) - base, facts.facts->first_seen.size(),
                facts.facts->counts.keys.size(), facts.facts->counts.earlier_problems.size());

    // A log of 1 TiB: the most nodes, each with its line, and the most
    // failed lines.
    history one_log;
    history_log log;
    log.path = "/var/log/tx.log.2.gz";
    log.bytes = uint64_t{1} << 40;
    log.lines = uint64_t{1} << 33;
    log.level = level_for((log.bytes + LEAF_BYTES - 1) / LEAF_BYTES);
    for (std::size_t i = 0; i < MAX_NODES; ++i) {
        digest_node node;
        for (unsigned char& byte : node.sha256)
            byte = static_cast<unsigned char>(random());
        node.first_line = (log.lines / MAX_NODES) * i + 1;
        log.nodes.push_back(node);
    }
    log.tree = tree_hash(log.nodes);
    for (std::size_t i = 0; i < KEPT_FAILED_LINES; ++i)
        log.failed.lines.push_back(i * 8000000 + 1 + random() % 7000000);
    log.failed.complete = false;
    one_log.logs.push_back(log);
    std::printf("worst log entry: %zu bytes; a retired log keeps its failed lines and no nodes\n",
                bytes_of(one_log) - base);
    log.nodes.clear();
    log.retired = true;
    log.failed = {};
    history retired;
    retired.logs = {log, log};
    std::printf("a retired log without failed lines: %zu bytes\n", (bytes_of(retired) - base) / 2);
    std::printf("a checkpoint of no log and no line: %zu bytes\n", base);
    return 0;
}
