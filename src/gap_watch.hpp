// The gaps of a followed log that are not said yet: each opened when a
// recorded number came above the largest before it, and said once it has
// stayed open for --gap-wait (a line merely late is no alarm), as what is
// still missing of it then.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "sequence_check.hpp"

class ledger;

class gap_watch {
public:
    using clock = std::chrono::steady_clock;

    // A line settled at now whose number (0 for none) was recorded, the
    // largest recorded before it being largest_before (0 for none).
    void note(uint32_t number, uint32_t largest_before, clock::time_point now);

    // The ranges still missing of the gaps open for wait or longer at now,
    // ascending within each gap; those gaps are not watched any more.
    std::vector<sequence_range> due(clock::time_point now, std::chrono::seconds wait,
                                    const ledger& accounts);

private:
    struct open_gap {
        sequence_range range;
        clock::time_point since;
    };
    std::vector<open_gap> open_;
};
