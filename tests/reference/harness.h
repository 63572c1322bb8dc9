// Test harness for the kernels: runs each entry of a table over every flag
// combination it takes and compares the whole picture, padding included, with
// the per-pixel model. Random initial pictures stand in for the garbage a
// destination holds, so bytes a kernel must leave alone are checked too.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "color/isa.h"
#include "color/kernel_common.h"
#include "reference/reference.h"
#include "vocamkernels.h"

namespace vocam::ref {

struct Size {
    uint32_t w, h;
};

template <class T>
const T *randomTable(size_t n, unsigned seed) {
    static const std::vector<T> t = [&] {
        std::mt19937 rng(seed);
        std::vector<T> v(n);
        for (auto &e : v) e = T(rng());
        return v;
    }();
    return t.data();
}

// Flags of one run, as the kernels take them.
enum : int { kB = 1, kG = 2, kX = 4, kT = 8, kD = 16, kM = 32, kL = 64 };
struct Flags {
    int b, g, x, t, d, m, lut;
    // Random tables with kL, unless the caller gives its own.
    const uint8_t *t8 = nullptr;
    const uint16_t *t16 = nullptr;
    // kB .. kL are bits 0 .. 6, in the order of the members.
    explicit Flags(int bits) {
        for (int *flag : {&b, &g, &x, &t, &d, &m, &lut}) *flag = bits & 1, bits >>= 1;
        if (lut) {
            t8 = randomTable<uint8_t>(256, 11);
            t16 = randomTable<uint16_t>(65536, 12);
        }
    }
    std::string str() const {
        return "blueRow=" + std::to_string(b) + " greenFirst=" + std::to_string(g) +
               " flipX=" + std::to_string(x) + " topDown=" + std::to_string(t) +
               " deinterlace=" + std::to_string(d) + " msbFirst=" + std::to_string(m) +
               " lut=" + std::to_string(lut);
    }
    Orientation o() const { return {bool(b), bool(g), bool(x), bool(t), bool(d)}; }
    Fetch fetch(Depth dp) const { return {dp, bool(m), t8, t16}; }
};

// Runs `body` on the vector unit VOCAM_SIMD allows (ctest runs the kernel
// suites once for every unit), naming the unit in any failure.
template <class F>
void onSelectedIsa(F &&body) {
    SCOPED_TRACE(std::string("isa ") + vocam::kernels::isaName(vocam::kernels::bestIsa()));
    body();
}

inline ::testing::AssertionResult samePicture(const Picture &got, const Picture &want,
                                              const std::string &what) {
    if (got.bytes == want.bytes) return ::testing::AssertionSuccess();
    for (size_t i = 0; i < std::min(got.bytes.size(), want.bytes.size()); ++i)
        if (got.bytes[i] != want.bytes[i])
            return ::testing::AssertionFailure()
                   << what << ": first difference at memory row " << i / want.strideBytes
                   << ", byte " << i % want.strideBytes << " of the row: got " << int(got.bytes[i])
                   << ", want " << int(want.bytes[i]);
    return ::testing::AssertionFailure() << what << ": sizes differ";
}

// A kernel name, overloaded or not, as a callable that accepts exactly the
// argument lists one of its forms takes.
#define VOCAM_K(fn) [](auto... a) -> decltype(fn(a...)) { return fn(a...); }

// Calls a kernel with the source, byte order and table its form takes.
template <class F, class... A>
void call(F fn, Picture &p, const RawFrame &r, const Flags &f, A... a) {
    const uint32_t w = p.width, h = p.height;
    using U8 = uint8_t *;
    if constexpr (std::is_invocable_v<F, U8, const uint8_t *, uint32_t, uint32_t, A...,
                                      const uint8_t *>)
        fn(p.data(), r.data8(), w, h, a..., f.t8);
    else if constexpr (std::is_invocable_v<F, U8, const uint16_t *, uint32_t, uint32_t, A..., int,
                                           const uint16_t *>)
        fn(p.data(), r.data16(), w, h, a..., f.m, f.t16);
    else
        fn(p.data16(), r.data16(), w, h, a..., f.m, f.t16);
}

using Model = std::function<void(Picture &, const Grid &, const Flags &)>;
// Placement, then the second pass (if any) in the phase of the first memory row.
inline Model placed(void (*second)(Picture &, bool, bool), bool four = false) {
    return [=](Picture &p, const Grid &g, const Flags &f) {
        place(p, g, f.o(), four);
        bool b, gf;
        secondPhase(f.o(), b, gf);
        if (second) second(p, b, gf);
    };
}

struct Entry {
    const char *name;
    void (*run)(Picture &, const RawFrame &, const Flags &);
    Depth depth;
    uint32_t elems;  // per pixel
    Model model;
    int mask, value;  // runs the flag combinations with (bits & mask) == value
    bool padded;      // rows padded to four bytes
};
#define VOCAM_RUN(fn, ...)                                                                  \
    [](vocam::ref::Picture &p, const vocam::ref::RawFrame &r, const vocam::ref::Flags &f) { \
        vocam::ref::call(VOCAM_K(fn), p, r, f, __VA_ARGS__);                                \
    }
// The argument lists of the kernel families.
#define GREY(fn) #fn, VOCAM_RUN(fn, f.x, f.t)
#define GREY2(fn) #fn, VOCAM_RUN(fn, f.x, f.t, f.d)
#define SEL(fn) #fn, VOCAM_RUN(fn, f.b, f.g, f.x, f.t)
#define FULL(fn) #fn, VOCAM_RUN(fn, f.b, f.g, f.x, f.t, f.d)
constexpr Depth k8 = Depth::k8to8, k16to8 = Depth::k16to8, k16 = Depth::k16to16;

// An in-place pass over a picture, taking two flags (a phase or two mirrors).
struct Pass {
    const char *name;
    void (*kernel8)(uint8_t *, uint32_t, uint32_t, int, int);
    void (*kernel16)(uint16_t *, uint32_t, uint32_t, int, int);
    std::function<void(Picture &, bool, bool)> model;
    uint32_t elems;
};

// Frame size. The kernels run on the vector unit VOCAM_SIMD allows; ctest
// runs these suites once for every unit.
class KernelTest : public ::testing::TestWithParam<Size> {
  protected:
    void SetUp() override {
        RecordProperty("isa", vocam::kernels::isaName(vocam::kernels::bestIsa()));
    }

    Picture picture(uint32_t elems, bool wide, bool padded = false) {
        const size_t row = size_t(W) * elems * (wide ? 2 : 1);
        return Picture::make(W, H, elems, wide, padded ? (row + 3) & ~size_t(3) : row, rng_);
    }

    // Every entry for every flag combination it takes (byte order only with
    // 16-bit samples).
    template <size_t N>
    void checkEntries(const Entry (&entries)[N]) {
        for (const Entry &e : entries) {
            for (int bits = 0; bits < 128; ++bits) {
                if ((bits & (e.mask | (e.depth == k8 ? kM : 0))) != e.value) continue;
                const Flags f(bits);
                const RawFrame raw = randomFrame(W, H, e.depth != k8, rng_);
                Picture got = picture(e.elems, e.depth == k16, e.padded), want = got;
                e.run(got, raw, f);
                e.model(want, fetchGrid(raw, f.fetch(e.depth)), f);
                ASSERT_TRUE(samePicture(got, want, std::string(e.name) + " " + f.str()));
            }
        }
    }

    // A random picture serves as the input of an in-place pass: every channel
    // holds something, and the passes must read only the ones they are given.
    template <size_t N>
    void checkPasses(const Pass (&passes)[N]) {
        for (const Pass &p : passes) {
            for (int bits = 0; bits < 4; ++bits) {
                const bool a = bits & 1, b = bits & 2;
                Picture got = picture(p.elems, p.kernel16 != nullptr), want = got;
                if (p.kernel16)
                    p.kernel16(got.data16(), W, H, a, b);
                else
                    p.kernel8(got.data(), W, H, a, b);
                p.model(want, a, b);
                ASSERT_TRUE(
                    samePicture(got, want, std::string(p.name) + " flags " + std::to_string(bits)));
            }
        }
    }

    // One-pass kernels that mirror on their own (no flip or weaving flags);
    // byte order only with 16-bit samples.
    using OnePassFn = void (*)(uint8_t *, const uint8_t *, uint32_t, uint32_t, int, int, int);
    struct OnePass {
        OnePassFn fn;
        bool wide, out32, flip;
    };
    // model(picture, grid, flags, wide, flip)
    template <size_t N, class M>
    void checkOnePasses(const OnePass (&runs)[N], M model) {
        for (int bits = 0; bits < 64; ++bits) {
            const Flags f(bits);
            if (f.x || f.d) continue;
            for (size_t i = 0; i < N; ++i) {
                const OnePass &run = runs[i];
                if (!run.wide && f.m) continue;
                const RawFrame raw = randomFrame(W, H, run.wide, rng_);
                Picture got = picture(run.out32 ? 4 : 3, false), want = got;
                // The 16-bit kernels read the byte they are pointed at in every sample.
                run.fn(got.data(), raw.data8() + (run.wide && !f.m), W, H, f.b, f.g, f.t);
                model(want, fetchGrid(raw, f.fetch(run.wide ? k16to8 : k8)), f, run.wide, run.flip);
                ASSERT_TRUE(
                    samePicture(got, want, "one-pass " + std::to_string(i) + " " + f.str()));
            }
        }
    }

    const uint32_t W = GetParam().w, H = GetParam().h;
    std::mt19937 rng_{2024};
};

inline std::string kernelTestName(const ::testing::TestParamInfo<Size> &info) {
    return std::to_string(info.param.w) + "x" + std::to_string(info.param.h);
}

#define VOCAM_KERNEL_SIZES(suite, ...)                                                        \
    INSTANTIATE_TEST_SUITE_P(Frames, suite,                                                   \
                             ::testing::ValuesIn(std::vector<vocam::ref::Size>{__VA_ARGS__}), \
                             vocam::ref::kernelTestName)

}  // namespace vocam::ref
