#include "pipeline.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

PieceQueue::PieceQueue(std::size_t buffers, std::size_t buffer_size,
                       std::function<bool(ConstBytes)> consume)
    : consume_(std::move(consume)) {
    for (std::size_t i = 0; i < buffers; ++i) {
        buffers_.emplace_back(buffer_size);
        if (!buffers_.back().ok()) ok_ = false;
        free_.push_back(i);
    }
    if (ok_) worker_ = std::thread([this] { run(); });
}

PieceQueue::~PieceQueue() {
    {
        const std::lock_guard lock(mutex_);
        closing_ = true;
        failed_ = failed_ || !full_.empty();  // abandoned: drop what is left
        full_.clear();
    }
    changed_.notify_all();
    if (worker_.joinable()) worker_.join();
}

MutBytes PieceQueue::next() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !free_.empty() || failed_; });
    if (failed_ || !ok_) return {};
    current_ = free_.front();
    free_.pop_front();
    holding_ = true;
    return buffers_[current_].bytes();
}

bool PieceQueue::push(std::size_t used) {
    {
        const std::lock_guard lock(mutex_);
        if (!holding_ || failed_) return false;
        full_.emplace_back(current_, used);
        holding_ = false;
    }
    changed_.notify_all();
    return true;
}

bool PieceQueue::finish() {
    std::unique_lock lock(mutex_);
    if (holding_) {
        free_.push_back(current_);
        holding_ = false;
    }
    changed_.wait(lock, [this] { return full_.empty() && free_.size() == buffers_.size(); });
    return ok_ && !failed_;
}

void PieceQueue::run() {
    for (;;) {
        std::pair<std::size_t, std::size_t> piece;
        bool skip = false;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return !full_.empty() || closing_; });
            if (full_.empty()) return;
            piece = full_.front();
            full_.pop_front();
            skip = failed_;
        }
        const bool consumed = !skip && consume_(buffers_[piece.first].bytes().first(piece.second));
        {
            const std::lock_guard lock(mutex_);
            if (!consumed) failed_ = true;
            free_.push_back(piece.first);
        }
        changed_.notify_all();
    }
}

MutBytes PieceFiller::room() {
    if (piece_.empty()) {
        piece_ = queue_.next();
        used_ = 0;
    }
    return piece_.subspan(used_);
}

bool PieceFiller::advance(std::size_t n) {
    used_ += n;
    return used_ < piece_.size() || hand_on();
}

bool PieceFiller::put(ConstBytes bytes) {
    while (!bytes.empty()) {
        const MutBytes r = room();
        if (r.empty()) return false;
        const std::size_t n = std::min(r.size(), bytes.size());
        std::copy_n(bytes.begin(), n, r.begin());
        bytes = bytes.subspan(n);
        if (!advance(n)) return false;
    }
    return true;
}

bool PieceFiller::hand_on() {
    if (piece_.empty()) return true;
    const ConstBytes filled = piece_.first(used_);
    piece_ = {};
    if (out_ != nullptr && !out_->write(filled)) {
        write_failed_ = true;
        queue_.push(0);
        return false;
    }
    return queue_.push(filled.size());
}
