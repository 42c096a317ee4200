#include "progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(200);
constexpr double kMiB = 1024.0 * 1024.0;

}  // namespace

Progress::Progress(const char* what, std::uint64_t total)
    : what_(what),
      total_(total),
      shown_(total > kProgressThreshold && ::isatty(STDERR_FILENO) == 1),
      start_(std::chrono::steady_clock::now()),
      last_draw_(start_) {}

void Progress::add(std::uint64_t bytes) {
    if (!shown_) return;
    const std::uint64_t done = done_ += bytes;
    // Whoever finds the line due draws it; the others go on working.
    std::unique_lock lock(draw_mutex_, std::try_to_lock);
    if (!lock.owns_lock() || finished_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_draw_ < kRedrawInterval) return;
    last_draw_ = now;
    draw(done);
}

void Progress::finish() {
    if (!shown_ || finished_.exchange(true)) return;
    const std::lock_guard lock(draw_mutex_);
    draw(done_);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

void Progress::draw(std::uint64_t done) {
    done = std::min(done, total_);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(done) / kMiB / seconds : 0;
    // Trailing spaces cover a longer line drawn before.
    std::fprintf(stderr, "\r%s  %3u%%  %.1f of %.1f MiB  %.0f MiB/s   ", what_,
                 static_cast<unsigned>(done * 100 / total_), static_cast<double>(done) / kMiB,
                 static_cast<double>(total_) / kMiB, rate);
    std::fflush(stderr);
}
