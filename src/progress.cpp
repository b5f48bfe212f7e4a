#include "progress.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "diagnostics.hpp"

namespace {

constexpr double MIB_BYTES = 1024.0 * 1024.0;

// A count with thousands separated, as the README writes them.
std::string grouped(uint64_t number)
{
    const std::string digits = std::to_string(number);
    std::string text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            text += ',';
        text += digits[i];
    }
    return text;
}

std::string duration_text(double seconds)
{
    const auto whole = static_cast<unsigned long long>(std::llround(seconds));
    char text[48];
    if (whole >= 3600) {
        (void)std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", whole / 3600, whole / 60 % 60,
                            whole % 60);
    } else {
        (void)std::snprintf(text, sizeof text, "%llu:%02llu", whole / 60, whole % 60);
    }
    return text;
}

}  // namespace

std::string progress_text(const progress_sample& sample, double seconds)
{
    std::string text = grouped(sample.lines_checked);
    text += " lines checked, ";
    char share_text[64];
    const bool share_known = sample.bytes_total && *sample.bytes_total > 0;
    if (share_known) {
        const double share =
            static_cast<double>(sample.bytes_read) / static_cast<double>(*sample.bytes_total);
        (void)std::snprintf(share_text, sizeof share_text, "%.0f%% read",
                            100.0 * std::min(share, 1.0));
    } else {
        (void)std::snprintf(share_text, sizeof share_text, "%.1f MiB read",
                            static_cast<double>(sample.bytes_read) / MIB_BYTES);
    }
    text += share_text;
    if (seconds > 0) {
        const auto rate =
            static_cast<uint64_t>(static_cast<double>(sample.lines_checked) / seconds);
        text.append(", ").append(grouped(rate)).append(" lines/s");
    }
    if (share_known && sample.bytes_read > 0 && sample.bytes_read < *sample.bytes_total) {
        const double left = seconds * static_cast<double>(*sample.bytes_total - sample.bytes_read) /
                            static_cast<double>(sample.bytes_read);
        text.append(", ").append(duration_text(left)).append(" left");
    }
    return text;
}

progress_meter::progress_meter(diagnostics& out, std::chrono::milliseconds interval)
    : out_(out),
      interval_(interval),
      started_(std::chrono::steady_clock::now()),
      next_(started_ + interval)
{
}

progress_meter::~progress_meter() { finish(); }

void progress_meter::update(const progress_sample& sample)
{
    const auto now = std::chrono::steady_clock::now();
    if (finished_ || now < next_)
        return;
    next_ = now + interval_;
    out_.status(progress_text(sample, std::chrono::duration<double>(now - started_).count()));
}

void progress_meter::finish()
{
    if (finished_)
        return;
    finished_ = true;
    out_.clear_status();
}
