#include "service_manager.hpp"

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <cstdlib>

service_manager::service_manager() : listens_(std::getenv("NOTIFY_SOCKET") != nullptr)
{
    uint64_t interval = 0;
    // 0 unset: a run outside a service, or one without WatchdogSec=, pings
    // no one.
    if (sd_watchdog_enabled(0, &interval) > 0)
        ping_every_ = std::chrono::microseconds(interval / 2);
}

void service_manager::ready() const
{
    if (listens_)
        (void)sd_notify(0, "READY=1");
}

void service_manager::alive()
{
    if (ping_every_.count() == 0)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ping_ < ping_every_)
        return;
    last_ping_ = now;
    (void)sd_notify(0, "WATCHDOG=1");
}

void service_manager::status(const std::string& text) const
{
    if (listens_)
        (void)sd_notify(0, ("STATUS=" + text).c_str());
}

void service_manager::stopping() const
{
    if (listens_)
        (void)sd_notify(0, "STOPPING=1");
}
