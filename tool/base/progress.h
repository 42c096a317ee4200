// Internal: a progress line for long runs.
//
// When standard error is a terminal and a command works through more than
// 64 MiB, one line on standard error is rewritten in place (carriage
// return) at most five times a second: what is being done, the percentage,
// the bytes done and the rate. It ends with a newline when the work is
// done or abandoned. Nothing is shown when standard error is not a
// terminal, and standard output is never touched.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

// Work smaller than this shows no progress.
inline constexpr std::uint64_t kProgressThreshold = 64ull * 1024 * 1024;

class Progress {
public:
    // `what` names the work ("bootsig", a file name); it must outlive the
    // line. `total` is the number of bytes the work goes through.
    Progress(const char* what, std::uint64_t total);
    ~Progress() { finish(); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    bool shown() const { return shown_; }
    // Counts `bytes` more as done; safe to call from several threads.
    void add(std::uint64_t bytes);
    // Prints the last state and ends the line (once).
    void finish();

private:
    void draw(std::uint64_t done);

    const char* what_;
    std::uint64_t total_;
    bool shown_;
    std::atomic<std::uint64_t> done_{0};
    std::atomic<bool> finished_{false};
    std::mutex draw_mutex_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_draw_;
};

// Counts bytes into `progress` when there is one.
inline void add_progress(Progress* progress, std::uint64_t bytes) {
    if (progress != nullptr) progress->add(bytes);
}
