// The recording's queue on its own: a sink slower than the frames offered
// costs frames (counted), never the caller's time, and a sink that fails
// ends the writing once.
#include <QApplication>
#include <QtTest>

#include <future>
#include <mutex>
#include <utility>
#include <vector>

#include "CaptureHarness.h"
#include "FrameQueue.h"

using namespace vocapture;

class FrameQueueTest : public QObject {
    Q_OBJECT
  private slots:
    void aSlowSinkCostsTheFramesThatFindNoSlotAndWritesTheRestInOrder() {
        std::promise<void> entered, release;
        const std::shared_future<void> released = release.get_future().share();
        std::mutex lock;
        std::vector<std::pair<int, std::int64_t>> written;
        bool first = true;
        FrameQueue queue(4, 2, [&](const std::uint8_t *frame, std::int64_t start) {
            if (first) {
                first = false;
                entered.set_value();
                released.wait();  // the disk is busy
            }
            std::lock_guard hold(lock);
            written.emplace_back(frame[0] + frame[3], start);
            return true;
        });
        std::uint8_t frames[5][4] = {};
        for (int i = 0; i < 5; ++i) frames[i][0] = frames[i][3] = static_cast<std::uint8_t>(i);
        queue.offer(frames[0], 100);
        entered.get_future().wait();
        // One slot is being written, one is free: the second frame takes it,
        // the others are dropped without waiting for the disk.
        for (int i = 1; i < 5; ++i) queue.offer(frames[i], 100 + i);
        frames[1][0] = frames[1][3] = 99;  // the queue holds its own copy
        queue.countDropped(2);
        release.set_value();
        queue.finish();
        const std::vector<std::pair<int, std::int64_t>> expected{{0, 100}, {2, 101}};
        QCOMPARE(written, expected);
        QCOMPARE(queue.dropped(), std::uint64_t{5});
        queue.offer(frames[2], 200);  // finished: nothing more is written
        QCOMPARE(queue.written(), std::uint64_t{2});
        QCOMPARE(FrameQueue::slotsFor(640 * 480), std::size_t{16});
        QCOMPARE(FrameQueue::slotsFor(std::size_t{4096} * 4096), std::size_t{8});
        QCOMPARE(FrameQueue::slotsFor(std::size_t{1} << 30), std::size_t{2});
    }

    void aFailingSinkEndsTheWritingOnce() {
        std::atomic<int> calls{0}, failures{0};
        FrameQueue queue(
            1, 8, [&](const std::uint8_t *, std::int64_t) { return ++calls < 3; },
            [&] { ++failures; });
        const std::uint8_t frame = 7;
        for (int i = 0; i < 3; ++i) queue.offer(&frame, i);
        QTRY_VERIFY(queue.failed());
        for (int i = 0; i < 3; ++i) queue.offer(&frame, i);
        queue.finish();
        QCOMPARE(calls.load(), 3);
        QCOMPARE(failures.load(), 1);
        QCOMPARE(queue.written(), std::uint64_t{2});
        QCOMPARE(queue.dropped(), std::uint64_t{0});
    }
};

VOCAPTURE_TEST_MAIN(FrameQueueTest)
#include "frame_queue_test.moc"
