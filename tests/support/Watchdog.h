// Bounds a stretch of a test that could hang. Past the bound the program
// fails at once with a line naming the stretch (a hang must not eat the
// suite's time), or, given an action, the action runs instead and fired()
// says so. next() starts a new stretch with a bound of its own.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace vocam::test {

class Watchdog {
  public:
    Watchdog(std::chrono::milliseconds limit, std::string what,
             std::function<void()> action = nullptr)
        : what_(std::move(what)), thread_([this, limit, action = std::move(action)] {
              std::unique_lock lock(mutex_);
              while (!done_) {
                  const unsigned seen = stretches_;
                  if (cond_.wait_for(lock, limit, [&] { return done_ || stretches_ != seen; }))
                      continue;
                  if (!action) {
                      std::fprintf(stderr, "watchdog: %s did not finish\n", what_.c_str());
                      std::_Exit(3);
                  }
                  fired_ = true;
                  lock.unlock();
                  action();
                  return;
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        cond_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;

    void next(std::string what) {
        std::lock_guard lock(mutex_);
        ++stretches_;
        what_ = std::move(what);
        cond_.notify_all();
    }
    bool fired() const { return fired_; }

  private:
    std::mutex mutex_;
    std::condition_variable cond_;
    bool done_ = false;
    unsigned stretches_ = 0;
    std::string what_;
    std::atomic<bool> fired_{false};
    std::thread thread_;
};

}  // namespace vocam::test
