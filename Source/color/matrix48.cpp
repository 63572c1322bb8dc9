// The 16-bit colour-matrix stage for matrices whose sums stay inside 32 bits
// (every realistic colour correction): the body in matrix48_body.inc, built
// once per instruction set. Other matrices take the general 16-bit stage.
#include "color/matrix48.h"

#include <array>
#include <cstdint>

#include "color/isa.h"

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

// A block of eight 48-bit pixels is 48 bytes and 24 output words, computed
// a quarter (four words, at most two pixels) at a time. Quarter q reads the
// 16 bytes from kWindow48[q] on, which hold its pixels and stay inside the
// block, so a block never reads what an earlier block of the same step wrote.
constexpr std::array<uint32_t, 6> kWindow48 = {0, 6, 12, 24, 30, 32};

// For each quarter, the pshufb control of its four 32-bit lanes: [0] the
// words (v0, v1) of the lane's pixel, [1] the word v2 and a zero word.
constexpr std::array<std::array<std::array<int32_t, 4>, 2>, 6> Shuffle48() {
    std::array<std::array<std::array<int32_t, 4>, 2>, 6> t{};
    auto bytes = [](uint32_t b0, uint32_t b1, uint32_t b2, uint32_t b3) {
        return static_cast<int32_t>(b0 | (b1 << 8) | (b2 << 16) | (b3 << 24));
    };
    for (uint32_t q = 0; q < 6; ++q)
        for (uint32_t i = 0; i < 4; ++i) {
            const uint32_t at = 6 * ((4 * q + i) / 3) - kWindow48[q];
            t[q][0][i] = bytes(at, at + 1, at + 2, at + 3);
            t[q][1][i] = bytes(at + 4, at + 5, 0x80, 0x80);
        }
    return t;
}
constexpr auto kShuffle48 = Shuffle48();

// Two 16-bit coefficients in one 32-bit lane, the first in the low half.
inline int32_t CoefPair(short lo, short hi) {
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint16_t>(lo)) |
                                (static_cast<uint32_t>(static_cast<uint16_t>(hi)) << 16));
}

struct Matrix48Bodies {
    size_t (*narrow)(const short *m, const uint16_t *in, uint16_t *out, size_t count);
};

#define VOCAM_ISA_BODY "color/matrix48_body.inc"
#define VOCAM_ISA_TABLE Matrix48Bodies
#include "color/per_isa.inc"

}  // namespace

bool matrix48Narrow(const short *m) {
    for (int r = 0; r < 3; ++r) {
        int64_t pos = 0, neg = 0;
        for (int c = 0; c < 3; ++c) (m[4 * r + c] > 0 ? pos : neg) += m[4 * r + c];
        // Every sum of the row inside the signed 32-bit range, and the
        // negated row sum a 16-bit coefficient.
        if (pos * 65535 > INT32_MAX || neg * 65535 < INT32_MIN || pos + neg < -32767) return false;
    }
    return true;
}

size_t matrix48NarrowSteps(const short *m, const uint16_t *in, uint16_t *out, size_t count) {
    const Matrix48Bodies *bodies = vocam::kernels::widestBodies(kPerIsa);
    if (bodies == nullptr || !matrix48Narrow(m)) return count;
    return bodies->narrow(m, in, out, count);
}

}  // namespace vocam::colour
