// The in-order two-thread pipeline.
#include <gtest/gtest.h>

#include "pipeline.h"
#include "support/files.h"

namespace {

// Lays `data` out through a filler in uneven steps and returns what the
// worker saw, in the order it saw it.
Bytes through_pipeline(const Bytes& data, std::size_t buffers, std::size_t piece) {
    Bytes seen;
    PieceQueue queue(buffers, piece, [&](ConstBytes p) {
        seen.insert(seen.end(), p.begin(), p.end());
        return true;
    });
    PieceFiller filler(queue, nullptr);
    std::size_t at = 0;
    for (std::size_t step = 1; at < data.size(); step = step * 3 % 1021 + 1) {
        const std::size_t n = std::min(step, data.size() - at);
        EXPECT_TRUE(filler.put(ConstBytes(data).subspan(at, n)));
        at += n;
    }
    EXPECT_TRUE(filler.hand_on());
    EXPECT_TRUE(queue.finish());
    return seen;
}

TEST(PieceQueueTest, WorkerSeesEveryByteInOrder) {
    const Bytes data = counting_bytes(100003, 7);
    for (const std::size_t buffers : {1u, 2u, 4u}) {
        for (const std::size_t piece : {16u, 4096u, 65536u}) {
            EXPECT_EQ(through_pipeline(data, buffers, piece), data) << buffers << " x " << piece;
        }
    }
}

TEST(PieceQueueTest, WorkerFailureStopsTheProducer) {
    std::size_t consumed = 0;
    PieceQueue queue(2, 64, [&](ConstBytes) { return ++consumed < 3; });
    PieceFiller filler(queue, nullptr);
    const Bytes data = counting_bytes(64 * 50);
    EXPECT_FALSE(filler.put(data));
    EXPECT_FALSE(queue.finish());
    EXPECT_EQ(consumed, 3u);  // nothing is handed to the worker after its failure
    EXPECT_TRUE(queue.next().empty());
}

}  // namespace
