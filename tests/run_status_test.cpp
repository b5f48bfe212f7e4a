// The one mapping from a run's status to the process exit code.
#include <gtest/gtest.h>

#include <cstdint>

#include "run_status.hpp"

namespace {

TEST(RunStatus, EveryStatusHasItsExitCodeAndNoFailureExitsZero)
{
    const struct {
        int32_t status;
        int exit_code;
    } cases[] = {
        {0, 0},
        {-99, 157},
        {-100, 156},
        {-101, 155},
        {-102, 154},
        // A key parser's code keeps its low 8 bits, or 1 where they are 0.
        {-0x3d62, 158},
        {-0x3d60, 160},
        {-0x112c, 212},
        {-0x3a00, 1},
        {-0x3b00, 1},
        {-0x4e80, 128},
        {-1, 255},
        {-0x100, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        EXPECT_EQ(process_exit_code(run_status{c.status}, 0), c.exit_code);
    }
    // A run a signal stopped ends as the shell reports that signal.
    EXPECT_EQ(process_exit_code(run_status::interrupted, 15), 143);
    EXPECT_EQ(process_exit_code(run_status::interrupted, 1), 129);
}

}  // namespace
