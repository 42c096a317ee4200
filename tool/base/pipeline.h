// Internal: a two-thread pipeline over a small ring of buffers. The calling
// thread fills buffers in order (reading, laying out, encrypting) and hands
// them on; one worker thread consumes them in the same order (hashing,
// writing). The work is split so that neither thread waits long for the
// other, and memory stays at the ring's few buffers whatever the data size.
//
// Everything the consumer touches is handed over through the ring under its
// mutex; nothing else is shared between the threads.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "bytes.h"
#include "files.h"

class PieceQueue {
public:
    // `consume` runs on the worker for each piece, in order; returning
    // false stops the pipeline (later pieces are dropped).
    PieceQueue(std::size_t buffers, std::size_t buffer_size, std::function<bool(ConstBytes)> consume);
    ~PieceQueue();
    PieceQueue(const PieceQueue&) = delete;
    PieceQueue& operator=(const PieceQueue&) = delete;

    bool ok() const { return ok_; }
    // A free buffer to fill (waits until the consumer gives one back); empty
    // when the pipeline has failed.
    MutBytes next();
    // Hands the first `used` bytes of the buffer `next` gave on; false when
    // the pipeline has failed.
    bool push(std::size_t used);
    // Waits until every piece handed on was consumed; true when all were.
    bool finish();

private:
    void run();

    std::function<bool(ConstBytes)> consume_;
    std::vector<Buffer> buffers_;
    std::deque<std::pair<std::size_t, std::size_t>> full_;  // buffer index, bytes used
    std::deque<std::size_t> free_;
    std::size_t current_ = 0;
    bool holding_ = false;
    bool closing_ = false;
    bool failed_ = false;
    bool ok_ = true;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread worker_;
};


// The filling side of a PieceQueue for a writer that lays out a stream in
// order: hands out room in the current piece, hands a piece on when it is
// full. With `out` the filler also writes each piece there before handing
// it on (for a pipeline whose worker has more to do than this thread).
class PieceFiller {
public:
    PieceFiller(PieceQueue& queue, WriteBehind* out) : queue_(queue), out_(out) {}

    // Room in the current piece (a new piece when it is full); empty when
    // the pipeline has failed.
    MutBytes room();
    // The first `n` bytes of room() are filled; false when the pipeline
    // failed.
    bool advance(std::size_t n);
    // Copies `bytes` in.
    bool put(ConstBytes bytes);
    // Hands on the piece being filled, full or not.
    bool hand_on();
    // True when writing to `out` failed (its position tells where).
    bool write_failed() const { return write_failed_; }

private:
    PieceQueue& queue_;
    WriteBehind* out_;
    MutBytes piece_;
    std::size_t used_ = 0;
    bool write_failed_ = false;
};
