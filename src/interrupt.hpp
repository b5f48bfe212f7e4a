// SIGINT, SIGTERM and SIGHUP end a run at a record boundary: a handler only
// notes the signal, and the run stops at the next line. A signal's number
// is process-wide by nature, so it is kept in one place here.
#pragma once

#include <csignal>

// Notes the three signals from now on, without restarting the system call
// they interrupt, so that a read that waits for input returns at once.
void watch_interrupts();

// The signal that asked the run to stop, or 0.
int interrupting_signal();

// Ends the process by signal number, with its default action.
[[noreturn]] void end_by_signal(int signal_number);

// While it lives, the calling thread does not take the three signals, so
// that threads it starts leave them to the thread that reads the log.
class interrupts_blocked {
public:
    interrupts_blocked();
    ~interrupts_blocked();
    interrupts_blocked(const interrupts_blocked&) = delete;
    interrupts_blocked& operator=(const interrupts_blocked&) = delete;

private:
    sigset_t saved_{};
};
