// A small pool of threads that a converter keeps for its whole life, so a
// large frame can be converted in row bands on every core without starting
// threads per frame.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace vocam::colour {

class BandPool {
  public:
    using Job = void (*)(void *ctx, std::size_t job, unsigned worker);

    // Starts threads - 1 threads; the caller of run() is the last worker.
    // Threads the system refuses are left out (size() tells).
    explicit BandPool(unsigned threads) noexcept;
    ~BandPool();
    BandPool(const BandPool &) = delete;
    BandPool &operator=(const BandPool &) = delete;

    // Workers, the calling thread included.
    unsigned size() const noexcept { return static_cast<unsigned>(threads_.size()) + 1; }

    // Runs fn(ctx, j, worker) for every j below jobs, each exactly once, on
    // the calling thread (worker 0) and the pool's threads (1 ...), and
    // returns when all have finished. A thread that has not joined by the
    // time the caller runs out of jobs is not waited for. Calls must not
    // overlap.
    void run(std::size_t jobs, Job fn, void *ctx) noexcept;

  private:
    void serve(unsigned worker) noexcept;
    void claim(unsigned worker) noexcept;

    std::mutex lock_;
    std::condition_variable wake_, finished_;
    std::vector<std::thread> threads_;
    std::uint64_t generation_ = 0;
    bool stopping_ = false;
    // Threads may join the run of the current generation while it is open.
    bool open_ = false;
    unsigned busy_ = 0;  // threads that joined the open run and have not left it
    Job fn_ = nullptr;
    void *ctx_ = nullptr;
    std::size_t jobs_ = 0;
    std::atomic<std::size_t> next_{0};
};

}  // namespace vocam::colour
