#include "color/band_pool.h"

#include <exception>

namespace vocam::colour {

BandPool::BandPool(unsigned threads) noexcept {
    for (unsigned i = 1; i < threads; ++i) {
        try {
            threads_.emplace_back([this, i] { serve(i); });
        } catch (const std::exception &) {
            // Fewer threads still convert every band.
            break;
        }
    }
}

BandPool::~BandPool() {
    {
        std::lock_guard hold(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread &t : threads_) t.join();
}

void BandPool::claim(unsigned worker) noexcept {
    for (std::size_t j = next_.fetch_add(1, std::memory_order_relaxed); j < jobs_;
         j = next_.fetch_add(1, std::memory_order_relaxed))
        fn_(ctx_, j, worker);
}

void BandPool::serve(unsigned worker) noexcept {
    std::uint64_t seen = 0;
    for (;;) {
        {
            std::unique_lock hold(lock_);
            wake_.wait(hold, [&] { return stopping_ || generation_ != seen; });
            if (stopping_) return;
            seen = generation_;
            // Woken too late: the caller has done the jobs (and may already
            // be preparing the next run, whose jobs are not ours to take).
            if (!open_) continue;
            ++busy_;
        }
        claim(worker);
        std::lock_guard hold(lock_);
        if (--busy_ == 0) finished_.notify_one();
    }
}

void BandPool::run(std::size_t jobs, Job fn, void *ctx) noexcept {
    {
        std::lock_guard hold(lock_);
        fn_ = fn;
        ctx_ = ctx;
        jobs_ = jobs;
        next_.store(0, std::memory_order_relaxed);
        busy_ = 0;
        open_ = true;
        ++generation_;
    }
    wake_.notify_all();
    claim(0);
    // Every job is done or being done by a thread that joined. On a busy
    // machine a thread may get its core only long after it was woken;
    // waiting for it to find no work would cost the caller that delay.
    std::unique_lock hold(lock_);
    open_ = false;
    finished_.wait(hold, [&] { return busy_ == 0; });
}

}  // namespace vocam::colour
