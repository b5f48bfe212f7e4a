#include "run_status.hpp"

int process_exit_code(run_status status, int stopping_signal)
{
    if (status == run_status::ok)
        return 0;
    if (status == run_status::interrupted)
        return 128 + stopping_signal;
    const int low_bits = static_cast<int>(static_cast<uint32_t>(status) & 0xFFU);
    return low_bits != 0 ? low_bits : 1;
}
