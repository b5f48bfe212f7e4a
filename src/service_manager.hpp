// What a run tells the service manager that started it (systemd's notify
// protocol, through libsystemd): that it is ready, that it is alive (for
// WatchdogSec=), how far it has got, and that it stops. Outside a service
// (no NOTIFY_SOCKET) every call does nothing.
#pragma once

#include <chrono>
#include <string>

class service_manager {
public:
    service_manager();

    void ready() const;
    // From the reading loop: pings the watchdog, at most twice an interval.
    void alive();
    void status(const std::string& text) const;
    void stopping() const;

private:
    // Whether a service manager listens (NOTIFY_SOCKET is set): without
    // one, nothing is sent at all.
    bool listens_ = false;
    // Half the watchdog's interval; zero without a watchdog.
    std::chrono::microseconds ping_every_{0};
    std::chrono::steady_clock::time_point last_ping_{};
};
