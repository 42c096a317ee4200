// The in-order two-thread pipeline and its write-behind sink.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <numeric>
#include <vector>

#include "pipeline.h"
#include "support/files.h"
#include "support/temp_dir.h"

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

TEST(WriteBehindTest, WritesInOrderAndPatchesAhead) {
    TempDir dir;
    const std::string path = dir.file("out");
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    const Bytes data = counting_bytes(40 * 1024 * 1024 + 5, 1);  // past one writeback step
    WriteBehind out(fd, 512);
    EXPECT_TRUE(out.write(ConstBytes(data).first(1000)));
    EXPECT_TRUE(out.write(ConstBytes(data).subspan(1000)));
    EXPECT_EQ(out.position(), 512 + data.size());
    const Bytes head = counting_bytes(512, 200);
    EXPECT_TRUE(out.write_at(0, head));
    ::close(fd);
    Bytes expected = head;
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(read_file(path), expected);
}

TEST(WriteBehindTest, FailedWriteLeavesThePositionWhereTheFileStops) {
    const int fd = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    WriteBehind out(fd, 100);
    EXPECT_FALSE(out.write(counting_bytes(10)));
    EXPECT_EQ(out.position(), 100u);
    ::close(fd);
}

}  // namespace
