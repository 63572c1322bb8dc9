// No C++ exception leaves an exported call: the entry guard turns each into a
// status and one line naming the call, also when memory runs out deep inside
// the library or the simulated bus below it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <new>
#include <stdexcept>

#include "base/vo_guard.h"
#include "support/OpenCamera.h"

namespace {

// Allocations on this thread fail once `budget` more have succeeded
// (negative: never). Other threads, the simulated bus's among them, are left
// alone so that a failure lands on the caller's path.
thread_local long budget = -1;
thread_local bool failed_once = false;

}  // namespace

void *operator new(std::size_t size) {
    if (budget == 0) {
        failed_once = true;
        throw std::bad_alloc();
    }
    if (budget > 0) --budget;
    if (void *p = std::malloc(size != 0 ? size : 1)) return p;
    throw std::bad_alloc();
}
// The standard library's array forms call these.
void operator delete(void *p) noexcept {
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept {
    std::free(p);
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VOCAM_GUARD_TEST_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VOCAM_GUARD_TEST_ASAN 1
#endif
#ifdef VOCAM_GUARD_TEST_ASAN
// The address sanitizer keeps operators of its own beside the ones replaced
// here, and a block may leave through the other kind; both end in malloc and
// free, so only the check that pairs them is turned off.
extern "C" const char *__asan_default_options() {
    return "alloc_dealloc_mismatch=0";
}
#endif

namespace {

// Lines are kept in fixed storage: the handler runs while allocations fail.
struct Captured {
    int count = 0;
    char last[256] = {};
    Captured() { vocam_set_log_handler(keep, this); }
    ~Captured() { vocam_set_log_handler(nullptr, nullptr); }
    static void keep(int, const char *line, void *context) {
        auto *c = static_cast<Captured *>(context);
        ++c->count;
        std::snprintf(c->last, sizeof c->last, "%s", line);
    }
};

TEST(EntryGuard, EveryExceptionBecomesACodeAndOneLine) {
    Captured c;
    // Each throw is one line: the count at the end is of seven.
    EXPECT_EQ(vo::guard("call_a", []() -> int { throw std::bad_alloc(); }), -12);
    EXPECT_STREQ(c.last, "error: call_a: out of memory\n");

    EXPECT_EQ(vo::guard("call_b", []() -> int { throw std::out_of_range("slot 9"); }),
              VOCAM_EINTERNAL);
    EXPECT_STREQ(c.last, "error: call_b: internal failure: slot 9\n");

    EXPECT_EQ(vo::guard("call_c", []() -> int { throw 7; }), VOCAM_EINTERNAL);
    EXPECT_STREQ(c.last, "error: call_c: internal failure\n");

    // Results that are not statuses still say "failed" in their own terms.
    EXPECT_EQ(vo::guard("p", []() -> std::uint8_t * { throw 1; }), nullptr);
    EXPECT_EQ(vo::guard("u", []() -> std::uint32_t { throw 1; }), 0u);
    EXPECT_TRUE(std::isnan(vo::guard("f", []() -> float { throw 1; })));
    EXPECT_EQ(vo::guard(
                  "b", []() -> int { throw std::bad_alloc(); }, 0),
              0);
    EXPECT_EQ(c.count, 7);
    // A body that does not throw is untouched.
    EXPECT_EQ(vo::guard("ok", [] { return 42; }), 42);
    EXPECT_EQ(c.count, 7);
}

// Runs `call` with the k-th allocation failing for k = 0, 1, ... until it
// gets through without reaching the failure. Every run must come back with a
// status; `checks` sees each one.
template <typename Call, typename Check>
int failEachAllocationIn(Call call, Check checks) {
    int outOfMemory = 0;
    for (long k = 0;; ++k) {
        if (k == 5000) {
            ADD_FAILURE() << "the call never got through";
            break;
        }
        failed_once = false;
        budget = k;
        const int r = call();
        budget = -1;
        checks(r, failed_once);
        if (r == -12) ++outOfMemory;
        if (!failed_once) break;
    }
    return outOfMemory;
}

TEST(EntryGuard, EnumerationOpenAndPropertiesSurviveEveryFailedAllocation) {
    Captured c;
    ASSERT_TRUE(vocam::sim::Bus::instance().configure("model_02:state=ready:fps=0"));
    const std::uint32_t product = vocam::sim::Bus::instance().devices().at(0)->product();
    int oom = 0;

    std::uint32_t count = 4;
    vocam_version found[4];
    oom += failEachAllocationIn(
        [&] { return vocam_enum_cameras(found, &count); },
        [&](int r, bool failed) { EXPECT_TRUE(failed ? r == 1 || r == -12 : r == 1) << r; });

    bool opened = false;
    // A handle that could not be allocated leaves the caller without one
    // (result 0); any other failure is a status. Either way the camera can be
    // opened again afterwards.
    oom += failEachAllocationIn(
        [&] {
            _vocam *h = nullptr;
            const int r = vocam_camera_open_by_pid(&h, product);
            EXPECT_TRUE(r == 0 || h == nullptr);
            opened = h != nullptr;
            vocam_camera_close(&h);
            return r;
        },
        [&](int r, bool failed) {
            EXPECT_TRUE(r == 0 || r == -12) << r;
            EXPECT_TRUE(failed || opened);
        });
    vocam::sim::Bus::instance().clear();

    // The first property call builds the colour engine and its tables.
    vocam::test::OpenCamera cam("model_02:state=ready:fps=0");
    oom += failEachAllocationIn(
        [&] { return vocam_property_set(cam.handle(), VOCAM_PROP_GAMMA, 180, 0); },
        [&](int r, bool failed) { EXPECT_TRUE(r == 0 || (failed && r == -12)) << r; });
    int value = 0;
    std::uint32_t flags = 0;
    ASSERT_EQ(vocam_property_get(cam.handle(), VOCAM_PROP_GAMMA, &value, &flags), 0);
    EXPECT_EQ(value, 180);

    EXPECT_GT(oom, 0) << "no failure reached a throwing allocation";
    EXPECT_GT(c.count, 0);
}

}  // namespace
