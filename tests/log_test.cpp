#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/Stderr.h"
#include "vo_cam/vo_cam.h"

namespace {

// A refused model-name call is the cheapest way to make the library write
// one known error line.
constexpr const char *kTooSmall = "error: provided string is too small for model name";

int provokeOneLine() {
    static _vocam handle;  // no model name, which a buffer of no bytes still cannot hold
    char none[1];
    return vocam_get_model_name(&handle, none, 0);
}

struct Collected {
    std::mutex lock;
    std::vector<std::pair<int, std::string>> lines;
};

void collect(int kind, const char *line, void *context) {
    auto *c = static_cast<Collected *>(context);
    std::lock_guard guard(c->lock);
    c->lines.emplace_back(kind, line);
}

class LogHandler : public ::testing::Test {
  protected:
    ~LogHandler() override { vocam_set_log_handler(nullptr, nullptr); }
};

TEST_F(LogHandler, TakesEveryLineWholeFromManyThreadsAndGivesThemBack) {
    Collected got;
    vocam_set_log_handler(collect, &got);
    {
        vocam::test::StderrCapture err;
        constexpr int kThreads = 6, kEach = 500;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&] {
                for (int i = 0; i < kEach; ++i) provokeOneLine();
            });
        for (auto &t : threads) t.join();
        EXPECT_EQ(err.take(), "");
        ASSERT_EQ(got.lines.size(), static_cast<std::size_t>(kThreads * kEach));
        for (const auto &[kind, text] : got.lines) {
            ASSERT_EQ(kind, VOCAM_LOG_ERROR);
            ASSERT_EQ(text, kTooSmall);
        }
    }

    vocam_set_log_handler(nullptr, nullptr);
    vocam::test::StderrCapture err;
    provokeOneLine();
    EXPECT_EQ(err.take(), kTooSmall);
    EXPECT_EQ(got.lines.size(), 3000u);
}

// A handler that calls back into the library (which writes a line of its
// own) must not deadlock; that inner line goes to the default stream.
TEST_F(LogHandler, ReentrantHandlerWritesInnerLinesToTheDefaultStream) {
    static int calls = 0;
    vocam_set_log_handler(
        [](int, const char *, void *) {
            ++calls;
            provokeOneLine();
        },
        nullptr);
    vocam::test::StderrCapture err;
    provokeOneLine();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(err.take(), kTooSmall);
}

// Once the setter returns, the old handler is never entered again, so its
// context can be freed at once.
TEST_F(LogHandler, ReplacedHandlerIsNeverCalledAfterTheSetterReturns) {
    static std::atomic<bool> replaced{false}, late{false};
    std::atomic<bool> stop{false};
    vocam_set_log_handler(
        [](int, const char *, void *) {
            std::this_thread::yield();
            if (replaced) late = true;
        },
        nullptr);
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t)
        writers.emplace_back([&] {
            while (!stop.load()) provokeOneLine();
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Collected quiet;
    vocam_set_log_handler(collect, &quiet);
    replaced.store(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop.store(true);
    for (auto &t : writers) t.join();
    EXPECT_FALSE(late.load());
    EXPECT_FALSE(quiet.lines.empty());
}

// A handler that throws: the exception reaches the calling library code
// (whose entry guard turns it into a code), and the thread's next line still
// goes to the handler.
TEST_F(LogHandler, AThrowingHandlerDoesNotLeaveTheThreadOutsideIt) {
    static int calls = 0;
    vocam_set_log_handler(
        [](int, const char *, void *) {
            if (++calls == 1) throw std::runtime_error("handler failed");
        },
        nullptr);
    EXPECT_NE(provokeOneLine(), 0);
    const int before = calls;  // the guard's own line about the exception counts too
    vocam::test::StderrCapture err;
    provokeOneLine();
    EXPECT_EQ(calls, before + 1);
    EXPECT_EQ(err.take().find(kTooSmall), std::string::npos);
}

}  // namespace
