// The fixed-point colour-matrix stage: a portable loop, and vector bodies
// (matrix_body.inc) built once per instruction set for the whole steps, the
// narrower sets and then the portable loop taking what each leaves.
#include <array>
#include <cstdint>

#include "color/isa.h"
#include "color/matrix48.h"
#include "color/matrix_stage.h"
#include "color/pixels48.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace vocam::colour {

namespace {

using std::int32_t;
using std::int64_t;
using std::size_t;
using std::uint16_t;
using std::uint32_t;
using std::uint8_t;

// Dropping the 12 fraction bits first and clamping afterwards gives the same
// byte as clamping the sum to 0 ... 255 x 4096 first: the shift is monotone.
inline uint8_t Channel8(int32_t sum) {
    const int32_t v = sum >> 12;
    return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

inline uint16_t Channel16(int64_t sum) {
    const int64_t v = sum >> 12;
    return static_cast<uint16_t>(v < 0 ? 0 : (v > 65535 ? 65535 : v));
}

void Matrix24Portable(const short *m, const uint8_t *in, uint8_t *p, size_t count) {
    const int32_t a0 = m[0], a1 = m[1], a2 = m[2];
    const int32_t b0 = m[4], b1 = m[5], b2 = m[6];
    const int32_t c0 = m[8], c1 = m[9], c2 = m[10];
    for (size_t i = 0; i < count; ++i, in += 3, p += 3) {
        const int32_t p0 = in[0], p1 = in[1], p2 = in[2];
        p[0] = Channel8(a0 * p0 + a1 * p1 + a2 * p2);
        p[1] = Channel8(b0 * p0 + b1 * p1 + b2 * p2);
        p[2] = Channel8(c0 * p0 + c1 * p1 + c2 * p2);
    }
}

void Matrix32Portable(const short *m, const uint8_t *in, uint8_t *p, size_t count) {
    for (size_t i = 0; i < count; ++i, in += 4, p += 4) {
        const int32_t p0 = in[0], p1 = in[1], p2 = in[2], p3 = in[3];
        for (int r = 0; r < 3; ++r)
            p[r] =
                Channel8(m[4 * r] * p0 + m[4 * r + 1] * p1 + m[4 * r + 2] * p2 + m[4 * r + 3] * p3);
        // The fourth byte passes through unchanged.
        p[3] = static_cast<uint8_t>(p3);
    }
}

// Three products of a coefficient near 8 (32767) and a sample near 65535
// exceed 32 bits, so the sums are 64-bit.
void Matrix48Portable(const short *m, const uint16_t *in, uint16_t *p, size_t count) {
    for (size_t i = 0; i < count; ++i, in += 3, p += 3) {
        const int64_t p0 = in[0], p1 = in[1], p2 = in[2];
        uint16_t out[3];
        for (int r = 0; r < 3; ++r)
            out[r] = Channel16(m[4 * r] * p0 + m[4 * r + 1] * p1 + m[4 * r + 2] * p2);
        p[0] = out[0];
        p[1] = out[1];
        p[2] = out[2];
    }
}

// ---- shuffle tables shared by every instruction set ------------------------------------

using Mask = std::array<int8_t, 16>;

// 24-bit pixels: a 16-byte window holding four pixels from byte `first` on
// gives the pair vectors (p0, p1) and (p2, 0) of those four pixels.
constexpr Mask PairMask24(int first, bool pair01) {
    Mask k{};
    for (int px = 0; px < 4; ++px) {
        const int at = first + 3 * px;
        k[4 * px + 0] = static_cast<int8_t>(pair01 ? at : at + 2);
        k[4 * px + 1] = -1;
        k[4 * px + 2] = static_cast<int8_t>(pair01 ? at + 1 : -1);
        k[4 * px + 3] = -1;
    }
    return k;
}

// 24-bit pixels: byte j of output vector v comes from channel (16v + j) % 3
// of pixel (16v + j) / 3; the mask of plane ch picks those bytes.
constexpr std::array<std::array<Mask, 3>, 3> Interleave24() {
    std::array<std::array<Mask, 3>, 3> t{};
    for (int v = 0; v < 3; ++v)
        for (int ch = 0; ch < 3; ++ch)
            for (int j = 0; j < 16; ++j) {
                const int g = 16 * v + j;
                t[v][ch][j] = static_cast<int8_t>(g % 3 == ch ? g / 3 : -1);
            }
    return t;
}

// 48-bit pixels (8 per 48 bytes): plane c lane k takes bytes 6k + 2c and
// 6k + 2c + 1; table [source vector][channel].
constexpr std::array<std::array<Mask, 3>, 3> Deinterleave48() {
    std::array<std::array<Mask, 3>, 3> t{};
    for (int src = 0; src < 3; ++src)
        for (int c = 0; c < 3; ++c)
            for (int k = 0; k < 8; ++k)
                for (int e = 0; e < 2; ++e) {
                    const int g = 6 * k + 2 * c + e;
                    t[src][c][2 * k + e] = static_cast<int8_t>(g / 16 == src ? g % 16 : -1);
                }
    return t;
}

alignas(16) constexpr Mask kPair01At0 = PairMask24(0, true);
alignas(16) constexpr Mask kPair2At0 = PairMask24(0, false);
alignas(16) constexpr Mask kPair01At4 = PairMask24(4, true);
alignas(16) constexpr Mask kPair2At4 = PairMask24(4, false);
alignas(16) constexpr auto kInterleave24 = Interleave24();
alignas(16) constexpr auto kDeinterleave48 = Deinterleave48();
// 48-bit pixels: table [output vector][channel], shared with the kernels.
using vocam::kernels::simd::kInterleave48;

// Two 16-bit coefficients in one 32-bit lane, the first in the low half.
inline int32_t CoefPair(short lo, short hi) {
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint16_t>(lo)) |
                                (static_cast<uint32_t>(static_cast<uint16_t>(hi)) << 16));
}

struct MatrixBodies {
    size_t (*m24)(const short *m, const uint8_t *in, uint8_t *out, size_t count);
    size_t (*m32)(const short *m, const uint8_t *in, uint8_t *out, size_t count);
    size_t (*m48)(const short *m, const uint16_t *in, uint16_t *out, size_t count);
};

#define VOCAM_ISA_BODY "color/matrix_body.inc"
#define VOCAM_ISA_TABLE MatrixBodies
#include "color/per_isa.inc"

// Runs the bodies from the widest allowed down; returns the pixels left for
// the portable loop.
template <class T>
size_t vectorSteps(size_t (*MatrixBodies::*body)(const short *, const T *, T *, size_t),
                   const short *m, const T *in, T *out, size_t count, size_t elems) {
    using vocam::kernels::capabilities;
    using vocam::kernels::kIsaCount;
    const uint32_t caps = capabilities();
    size_t left = count;
    for (uint32_t n = kIsaCount; n-- > 1;)
        if (((caps >> n) & 1) != 0 && kPerIsa[n] != nullptr) {
            const size_t done = elems * (count - left);
            left = (kPerIsa[n]->*body)(m, in + done, out + done, left);
        }
    return left;
}

}  // namespace

void matrix24(const short *m, const uint8_t *in, uint8_t *out, size_t count) {
    const size_t done = 3 * (count - vectorSteps(&MatrixBodies::m24, m, in, out, count, 3));
    Matrix24Portable(m, in + done, out + done, count - done / 3);
}

void matrix32(const short *m, const uint8_t *in, uint8_t *out, size_t count) {
    const size_t done = 4 * (count - vectorSteps(&MatrixBodies::m32, m, in, out, count, 4));
    Matrix32Portable(m, in + done, out + done, count - done / 4);
}

void matrix48(const short *m, const uint16_t *in, uint16_t *out, size_t count) {
    // What the stage of 32-bit sums leaves (all of it for a matrix whose sums
    // may not fit) goes through the general bodies, then the portable loop.
    size_t left = matrix48NarrowSteps(m, in, out, count);
    size_t done = 3 * (count - left);
    left = vectorSteps(&MatrixBodies::m48, m, in + done, out + done, left, 3);
    done = 3 * (count - left);
    Matrix48Portable(m, in + done, out + done, left);
}

}  // namespace vocam::colour
