#include "zolShared/Public/Common/fifo_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <thread>
#include <vector>

namespace zol::common {
namespace {

std::vector<std::uint8_t> Sequence(std::size_t n, std::uint8_t first = 0) {
    std::vector<std::uint8_t> v(n);
    std::iota(v.begin(), v.end(), first);
    return v;
}

std::vector<std::uint8_t> Held(TFIFOStream& fifo) {
    const auto data = fifo.LockData();
    std::vector<std::uint8_t> copy(data.begin(), data.end());
    fifo.Unlock();
    return copy;
}

TFIFOStream ClientQueue() {
    return TFIFOStream(TFIFOStream::kClientCapacity, TFIFOStream::kClientStep, true);
}

TEST(FifoStream, FillsToCapacityExactly) {
    auto fifo = ClientQueue();
    fifo.Write(Sequence(16384));
    EXPECT_EQ(fifo.Count(), 16384u);
    EXPECT_EQ(fifo.Free(), 0u);
}

TEST(FifoStream, SmallWritesKeepTheNewestBytesInOrderUpToTheBound) {
    // The storage grows with the bytes held: every growth must keep what is held, and the
    // bound and the dropping of old bytes must stay those of a queue allocated in full.
    for (const bool overwrite : {true, false}) {
        SCOPED_TRACE(overwrite ? "overwriting" : "refusing");
        TFIFOStream fifo(TFIFOStream::kClientCapacity, TFIFOStream::kClientStep, overwrite);
        std::vector<std::uint8_t> written;
        bool refused = false;
        for (std::size_t i = 0; i < 2000 && !refused; ++i) {
            const auto chunk = Sequence(13, static_cast<std::uint8_t>(i * 13));
            try {
                fifo.Write(chunk);
                written.insert(written.end(), chunk.begin(), chunk.end());
            } catch (const EFIFOStream&) {
                refused = true;
            }
        }
        EXPECT_EQ(refused, !overwrite);
        const auto held = Held(fifo);
        ASSERT_LE(held.size(), TFIFOStream::kClientCapacity);
        EXPECT_GT(held.size(), TFIFOStream::kClientCapacity - TFIFOStream::kClientStep - 13);
        EXPECT_EQ(fifo.Free(), TFIFOStream::kClientCapacity - held.size());
        EXPECT_TRUE(std::equal(held.begin(), held.end(), written.end() - held.size()));
    }
}

TEST(FifoStream, OverwritingWriteDropsAtLeastOneStepOfTheOldestBytes) {
    auto fifo = ClientQueue();
    fifo.Write(Sequence(16380));
    fifo.Write(Sequence(10, 0xA0));
    EXPECT_EQ(fifo.Count(), 16326u);
    const auto held = Held(fifo);
    EXPECT_EQ(held.front(), 64u);  // bytes 0..63 were dropped
    EXPECT_EQ(held.back(), 0xA9u);
}

TEST(FifoStream, OverwritingWriteDropsMoreThanAStepWhenItMustAndKeepsOrder) {
    TFIFOStream fifo(16, 2, true);
    fifo.Write(Sequence(12));
    fifo.Write(Sequence(10, 100));  // needs 6 bytes of room, more than the step
    EXPECT_EQ(fifo.Count(), 16u);
    const auto held = Held(fifo);
    EXPECT_EQ(held.front(), 6u);
    EXPECT_EQ(held.back(), 109u);
}

TEST(FifoStream, WriteLongerThanCapacityKeepsItsLastCapacityBytes) {
    TFIFOStream fifo(8, 4, true);
    fifo.Write(Sequence(3, 200));
    fifo.Write(Sequence(20));
    EXPECT_EQ(Held(fifo), Sequence(8, 12));
}

TEST(FifoStream, WithoutOverwriteAnOverrunIsRefusedAndTheContentsKept) {
    TFIFOStream fifo(8, 4, false);
    fifo.Write(Sequence(6));
    try {
        fifo.Write(Sequence(3));
        FAIL() << "expected an over-run";
    } catch (const EFIFOStream& e) {
        EXPECT_STREQ(e.what(), "Buffer over-run.");
    }
    EXPECT_EQ(Held(fifo), Sequence(6));
    fifo.Write(Sequence(2, 6));
    EXPECT_EQ(fifo.Free(), 0u);
}

TEST(FifoStream, DiscardRemovesTheOldestBytesAndNeverMoreThanHeld) {
    for (bool overwrite : {true, false}) {
        SCOPED_TRACE(overwrite ? "overwrite" : "no overwrite");
        TFIFOStream fifo(32, 4, overwrite);
        fifo.Write(Sequence(10));
        fifo.Discard(3);
        EXPECT_EQ(Held(fifo), Sequence(7, 3));
        fifo.Discard(100);
        EXPECT_EQ(fifo.Count(), 0u);
        fifo.Write(Sequence(2));
        fifo.Clear();
        EXPECT_EQ(fifo.Free(), 32u);
    }
}

TEST(FifoStream, TheLockHolderMayUseTheQueueInsideTheLock) {
    auto fifo = ClientQueue();
    fifo.Write(Sequence(10));
    const auto data = fifo.LockData();
    EXPECT_EQ(data.size(), 10u);
    EXPECT_EQ(fifo.Count(), 10u);  // shared use inside the exclusive hold
    fifo.Discard(4);               // exclusive use inside the exclusive hold
    fifo.Write(Sequence(1, 50));
    EXPECT_EQ(fifo.Count(), 7u);
    fifo.Unlock();
    EXPECT_EQ(Held(fifo), (std::vector<std::uint8_t>{4, 5, 6, 7, 8, 9, 50}));
}

TEST(FifoStream, ConcurrentWriterAndReaderSeeEveryByteInOrder) {
    TFIFOStream fifo(1 << 20, 64, false);
    constexpr std::size_t kTotal = 200000;
    std::thread writer([&] {
        std::vector<std::uint8_t> chunk(37);
        for (std::size_t sent = 0; sent < kTotal; sent += chunk.size()) {
            for (std::size_t i = 0; i < chunk.size(); ++i)
                chunk[i] = static_cast<std::uint8_t>(sent + i);
            fifo.Write(chunk);
        }
    });
    std::size_t received = 0;
    bool in_order = true;
    const std::size_t expected_total = (kTotal + 36) / 37 * 37;
    while (received < expected_total) {
        const auto data = fifo.LockData();
        for (std::uint8_t b : data) {
            if (b != static_cast<std::uint8_t>(received)) in_order = false;
            ++received;
        }
        fifo.Discard(data.size());
        fifo.Unlock();
    }
    writer.join();
    EXPECT_TRUE(in_order);
    EXPECT_EQ(fifo.Count(), 0u);
}

}  // namespace
}  // namespace zol::common
