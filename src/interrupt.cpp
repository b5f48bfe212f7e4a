#include "interrupt.hpp"

#include <pthread.h>

#include <cstdlib>

namespace {

constexpr int INTERRUPTS[] = {SIGINT, SIGTERM, SIGHUP};

volatile std::sig_atomic_t noted_signal = 0;

extern "C" void note_signal(int signal_number) { noted_signal = signal_number; }

sigset_t interrupt_set()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : INTERRUPTS)
        sigaddset(&set, signal_number);
    return set;
}

}  // namespace

void watch_interrupts()
{
    struct sigaction action {};
    action.sa_handler = note_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a waiting read returns EINTR
    for (const int signal_number : INTERRUPTS) {
        struct sigaction previous {};
        // A signal ignored by whoever started the tool stays ignored.
        if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
            continue;
        (void)sigaction(signal_number, &action, nullptr);
    }
}

int interrupting_signal() { return noted_signal; }

void end_by_signal(int signal_number)
{
    (void)std::signal(signal_number, SIG_DFL);
    const sigset_t set = interrupt_set();
    (void)pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    (void)std::raise(signal_number);
    // Not reached unless the signal is blocked elsewhere.
    std::_Exit(128 + signal_number);
}

interrupts_blocked::interrupts_blocked()
{
    const sigset_t set = interrupt_set();
    (void)pthread_sigmask(SIG_BLOCK, &set, &saved_);
}

interrupts_blocked::~interrupts_blocked() { (void)pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
