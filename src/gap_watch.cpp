#include "gap_watch.hpp"

#include "ledger.hpp"

void gap_watch::note(uint32_t number, uint32_t largest_before, clock::time_point now)
{
    // The first number of a run opens no gap: the numbers below it are
    // missing only by --expect-first, which the end of the run reports.
    if (largest_before != 0 && number > largest_before + 1)
        open_.push_back({{largest_before + 1, number - 1}, now});
}

std::vector<sequence_range> gap_watch::due(clock::time_point now, std::chrono::seconds wait,
                                           const ledger& accounts)
{
    std::vector<sequence_range> missing;
    std::size_t kept = 0;
    for (const open_gap& gap : open_) {
        if (now - gap.since < wait) {
            open_[kept++] = gap;
            continue;
        }
        // The runs of numbers still missing: 0 while in none (a gap never
        // begins at 0).
        uint32_t first = 0;
        for (uint32_t number = gap.range.first;; ++number) {
            const bool recorded = accounts.is_recorded(number);
            if (!recorded && first == 0)
                first = number;
            if (recorded && first != 0) {
                missing.push_back({first, number - 1});
                first = 0;
            }
            if (number == gap.range.last)
                break;
        }
        if (first != 0)
            missing.push_back({first, gap.range.last});
    }
    open_.resize(kept);
    return missing;
}
