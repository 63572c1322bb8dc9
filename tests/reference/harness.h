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

// Both pictures are made alike, so only their bytes can differ.
inline ::testing::AssertionResult samePicture(const Picture &got, const Picture &want,
                                              const std::string &what) {
    const size_t i = std::mismatch(got.bytes.begin(), got.bytes.end(), want.bytes.begin()).first -
                     got.bytes.begin();
    if (i == got.bytes.size()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << what << ": first difference at memory row " << i / want.strideBytes << ", byte "
           << i % want.strideBytes;
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

// A family's kernels at every depth, as entries: 8-bit samples to 24- and
// 32-bit pixels and 16-bit ones to 24 and 32 (`model16` the model of these
// two), each named fn<depth><suffix>. VOCAM_DEPTHS5 adds 16-bit samples to
// 48-bit pixels, all under one model.
#define VOCAM_DEPTHS(form, fn, suffix, model, model16, mask)             \
    {form(fn##suffix), k8, 3, model, mask, 0, false},                    \
        {form(fn##32##suffix), k8, 4, model, mask, 0, false},            \
        {form(fn##16to8##suffix), k16to8, 3, model16, mask, 0, false}, { \
        form(fn##16to832##suffix), k16to8, 4, model16, mask, 0, false    \
    }
#define VOCAM_DEPTHS5(form, fn, suffix, model, mask)        \
    VOCAM_DEPTHS(form, fn, suffix, model, model, mask), {   \
        form(fn##16##suffix), k16, 3, model, mask, 0, false \
    }

// An in-place pass over the picture, taking blueRow and greenFirst as its two
// flags (a phase or two mirrors). The random picture is its input: every
// channel holds something, and a pass must read only the ones it is given.
template <class F>
void pass(F fn, Picture &p, const Flags &f) {
    if constexpr (std::is_invocable_v<F, uint16_t *, uint32_t, uint32_t, int, int>)
        if (p.wide) return fn(p.data16(), p.width, p.height, f.b, f.g);
    if constexpr (std::is_invocable_v<F, uint8_t *, uint32_t, uint32_t, int, int>)
        fn(p.data(), p.width, p.height, f.b, f.g);
}
#define PASS(fn)                                                   \
#fn, [](vocam::ref::Picture & p, const vocam::ref::RawFrame &, \
            const vocam::ref::Flags &f) { vocam::ref::pass(VOCAM_K(fn), p, f); }
inline Model onPicture(std::function<void(Picture &, bool, bool)> model) {
    return [=](Picture &p, const Grid &, const Flags &f) { model(p, f.b, f.g); };
}
constexpr int kPass = kX | kT | kD | kL;  // a pass takes blueRow and greenFirst only

// One-pass kernels that mirror on their own (no flip or weaving flags). The
// 16-bit ones read the byte they are pointed at in every sample (an empty
// frame has no buffer to step into).
#define ONE_PASS(fn) \
#fn, [](vocam::ref::Picture & p, const vocam::ref::RawFrame &r, const vocam::ref::Flags &f) { \
        const uint8_t *in = r.bytes.empty() ? nullptr : r.data8() + (r.wide && !f.m);     \
        fn(p.data(), in, p.width, p.height, f.b, f.g, f.t);                               \
    }
constexpr int kOnePass = kX | kD | kL;

// Frame size. The kernels run on the vector unit VOCAM_SIMD allows; ctest
// runs these suites once for every unit.
class KernelTest : public ::testing::TestWithParam<Size> {
  protected:
    // Every entry for every flag combination it takes (byte order only with
    // 16-bit samples). With `least`, the entries need even sizes of at least
    // that many pixels, and at any other size leave the picture as it was
    // instead of reaching past the frame (pictures and frames are sized
    // exactly). With `levels`, 16-bit samples are drawn from them, without
    // tables.
    template <size_t N>
    void checkEntries(const Entry (&entries)[N], uint32_t least = 0,
                      std::vector<uint16_t> levels = {}) {
        const bool served = least == 0 || (W % 2 == 0 && H % 2 == 0 && W >= least && H >= least);
        for (const Entry &e : entries) {
            for (int bits = 0; bits < 128; ++bits) {
                if ((bits & (e.mask | (e.depth == k8 ? kM : 0))) != e.value) continue;
                if (!levels.empty() && (bits & kL)) continue;
                const Flags f(bits);
                RawFrame raw = randomFrame(W, H, e.depth != k8, rng_);
                for (size_t i = 0; !levels.empty() && i < raw.bytes.size(); i += 2) {
                    const uint16_t v = levels[rng_() % levels.size()];
                    raw.bytes[i] = uint8_t(v);
                    raw.bytes[i + 1] = uint8_t(v >> 8);
                }
                const size_t row = size_t(W) * e.elems * (e.depth == k16 ? 2 : 1);
                const size_t stride = e.padded ? (row + 3) & ~size_t(3) : row;
                Picture got{W, H, e.elems, e.depth == k16, stride, randomBytes(stride * H, rng_)},
                    want = got;
                e.run(got, raw, f);
                if (served) e.model(want, fetchGrid(raw, f.fetch(e.depth)), f);
                ASSERT_TRUE(samePicture(got, want, std::string(e.name) + " " + f.str()));
            }
        }
    }

    const uint32_t W = GetParam().w, H = GetParam().h;
    std::mt19937 rng_{2024};
};

#define VOCAM_KERNEL_SIZES(suite, ...)                                                  \
    INSTANTIATE_TEST_SUITE_P(                                                           \
        Frames, suite, ::testing::ValuesIn(std::vector<vocam::ref::Size>{__VA_ARGS__}), \
        [](const auto &i) { return std::to_string(i.param.w) + "x" + std::to_string(i.param.h); })

}  // namespace vocam::ref
