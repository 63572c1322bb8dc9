// Frame conversion: per-call records, kernel selection and the fixed-point
// colour-matrix stage that runs over the kernel's picture.
#include "colora.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <new>

#include "vocamkernels.h"
#include "votf.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VOCAM_MATRIX_SIMD 1
#define VOCAM_SSE41 __attribute__((target("sse4.1")))
#define VOCAM_AVX2 __attribute__((target("avx2")))
#endif

namespace {

using std::int32_t;
using std::int64_t;
using std::size_t;
using std::uint16_t;
using std::uint32_t;
using std::uint8_t;

// ---- matrix stage, portable ------------------------------------------------------

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

void Matrix24Portable(const short *m, uint8_t *p, size_t count) {
    const int32_t a0 = m[0], a1 = m[1], a2 = m[2];
    const int32_t b0 = m[4], b1 = m[5], b2 = m[6];
    const int32_t c0 = m[8], c1 = m[9], c2 = m[10];
    for (size_t i = 0; i < count; ++i, p += 3) {
        const int32_t p0 = p[0], p1 = p[1], p2 = p[2];
        p[0] = Channel8(a0 * p0 + a1 * p1 + a2 * p2);
        p[1] = Channel8(b0 * p0 + b1 * p1 + b2 * p2);
        p[2] = Channel8(c0 * p0 + c1 * p1 + c2 * p2);
    }
}

void Matrix32Portable(const short *m, uint8_t *p, size_t count) {
    for (size_t i = 0; i < count; ++i, p += 4) {
        const int32_t p0 = p[0], p1 = p[1], p2 = p[2], p3 = p[3];
        for (int r = 0; r < 3; ++r)
            p[r] =
                Channel8(m[4 * r] * p0 + m[4 * r + 1] * p1 + m[4 * r + 2] * p2 + m[4 * r + 3] * p3);
    }
}

// Three products of a coefficient near 8 (32767) and a sample near 65535
// exceed 32 bits, so the sums are 64-bit.
void Matrix48Portable(const short *m, uint16_t *p, size_t count) {
    for (size_t i = 0; i < count; ++i, p += 3) {
        const int64_t p0 = p[0], p1 = p[1], p2 = p[2];
        uint16_t out[3];
        for (int r = 0; r < 3; ++r)
            out[r] = Channel16(m[4 * r] * p0 + m[4 * r + 1] * p1 + m[4 * r + 2] * p2);
        p[0] = out[0];
        p[1] = out[1];
        p[2] = out[2];
    }
}

#ifdef VOCAM_MATRIX_SIMD

// ---- shuffle tables --------------------------------------------------------------------
//
// The vector paths multiply with pmaddwd: each 32-bit lane of a pair vector
// holds two samples of one pixel as 16-bit values and the coefficient vector
// the two matching coefficients, so one instruction forms two products and
// their sum exactly (samples are below 256, products far inside 32 bits).

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

// 48-bit pixels: table [output vector][channel].
constexpr std::array<std::array<Mask, 3>, 3> Interleave48() {
    std::array<std::array<Mask, 3>, 3> t{};
    for (int v = 0; v < 3; ++v)
        for (int c = 0; c < 3; ++c)
            for (int j = 0; j < 16; ++j) {
                const int g = 16 * v + j;
                const int k = g / 6, within = g % 6;
                t[v][c][j] = static_cast<int8_t>(within / 2 == c ? 2 * k + within % 2 : -1);
            }
    return t;
}

alignas(16) constexpr Mask kPair01At0 = PairMask24(0, true);
alignas(16) constexpr Mask kPair2At0 = PairMask24(0, false);
alignas(16) constexpr Mask kPair01At4 = PairMask24(4, true);
alignas(16) constexpr Mask kPair2At4 = PairMask24(4, false);
alignas(16) constexpr auto kInterleave24 = Interleave24();
alignas(16) constexpr auto kDeinterleave48 = Deinterleave48();
alignas(16) constexpr auto kInterleave48 = Interleave48();

// Two 16-bit coefficients in one 32-bit lane, the first in the low half.
inline int32_t CoefPair(short lo, short hi) {
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint16_t>(lo)) |
                                (static_cast<uint32_t>(static_cast<uint16_t>(hi)) << 16));
}

// ---- SSE4.1 ------------------------------------------------------------------------

VOCAM_SSE41 inline __m128i Load(const Mask &k) {
    return _mm_load_si128(reinterpret_cast<const __m128i *>(k.data()));
}

// Sixteen 24-bit pixels per step; returns how many pixels it left.
VOCAM_SSE41 size_t Matrix24Sse41(const short *m, uint8_t *p, size_t count) {
    __m128i c01[3], c2[3];
    for (int r = 0; r < 3; ++r) {
        c01[r] = _mm_set1_epi32(CoefPair(m[4 * r], m[4 * r + 1]));
        c2[r] = _mm_set1_epi32(CoefPair(m[4 * r + 2], 0));
    }
    const __m128i k01 = Load(kPair01At0), k2 = Load(kPair2At0);
    const __m128i k01h = Load(kPair01At4), k2h = Load(kPair2At4);
    __m128i out[3][3];
    for (int v = 0; v < 3; ++v)
        for (int ch = 0; ch < 3; ++ch) out[v][ch] = Load(kInterleave24[v][ch]);
    for (; count >= 16; count -= 16, p += 48) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 32));
        const __m128i e01[4] = {
            _mm_shuffle_epi8(a, k01), _mm_shuffle_epi8(_mm_alignr_epi8(b, a, 12), k01),
            _mm_shuffle_epi8(_mm_alignr_epi8(c, b, 8), k01), _mm_shuffle_epi8(c, k01h)};
        const __m128i e2[4] = {
            _mm_shuffle_epi8(a, k2), _mm_shuffle_epi8(_mm_alignr_epi8(b, a, 12), k2),
            _mm_shuffle_epi8(_mm_alignr_epi8(c, b, 8), k2), _mm_shuffle_epi8(c, k2h)};
        __m128i plane[3];
        for (int r = 0; r < 3; ++r) {
            __m128i s[4];
            for (int g = 0; g < 4; ++g)
                s[g] = _mm_srai_epi32(
                    _mm_add_epi32(_mm_madd_epi16(e01[g], c01[r]), _mm_madd_epi16(e2[g], c2[r])),
                    12);
            plane[r] = _mm_packus_epi16(_mm_packs_epi32(s[0], s[1]), _mm_packs_epi32(s[2], s[3]));
        }
        for (int v = 0; v < 3; ++v) {
            const __m128i o = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(plane[0], out[v][0]),
                                                        _mm_shuffle_epi8(plane[1], out[v][1])),
                                           _mm_shuffle_epi8(plane[2], out[v][2]));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(p + 16 * v), o);
        }
    }
    return count;
}

// Four 32-bit pixels per vector: the even bytes (p0, p2) and odd bytes
// (p1, p3) of each pixel are already pairs of 16-bit lanes.
VOCAM_SSE41 size_t Matrix32Sse41(const short *m, uint8_t *p, size_t count) {
    __m128i ce[3], co[3];
    for (int r = 0; r < 3; ++r) {
        ce[r] = _mm_set1_epi32(CoefPair(m[4 * r], m[4 * r + 2]));
        co[r] = _mm_set1_epi32(CoefPair(m[4 * r + 1], m[4 * r + 3]));
    }
    const __m128i lowBytes = _mm_set1_epi16(0x00FF);
    const __m128i byte3 = _mm_set1_epi32(static_cast<int32_t>(0xFF000000u));
    const __m128i zero = _mm_setzero_si128(), top = _mm_set1_epi32(255);
    for (; count >= 4; count -= 4, p += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i even = _mm_and_si128(x, lowBytes);
        const __m128i odd = _mm_srli_epi16(x, 8);
        __m128i t[3];
        for (int r = 0; r < 3; ++r) {
            const __m128i s =
                _mm_add_epi32(_mm_madd_epi16(even, ce[r]), _mm_madd_epi16(odd, co[r]));
            t[r] = _mm_min_epi32(_mm_max_epi32(_mm_srai_epi32(s, 12), zero), top);
        }
        __m128i o = _mm_or_si128(_mm_and_si128(x, byte3), t[0]);
        o = _mm_or_si128(o, _mm_or_si128(_mm_slli_epi32(t[1], 8), _mm_slli_epi32(t[2], 16)));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(p), o);
    }
    return count;
}

// 48-bit pixels: a sample v is split into bytes h, l (v = 256h + l) so that
// every product stays exact in pmaddwd. With Sh and Sl the channel sums over
// the high and low bytes, the full sum is 256 Sh + Sl, and
//   (256 Sh + Sl) >> 12 == (Sh >> 4) + ((((Sh & 15) << 8) + Sl) >> 12)
// because the 4096 (Sh >> 4) part divides exactly.
VOCAM_SSE41 inline __m128i Combine16(__m128i sh, __m128i sl) {
    const __m128i frac = _mm_slli_epi32(_mm_and_si128(sh, _mm_set1_epi32(15)), 8);
    return _mm_add_epi32(_mm_srai_epi32(sh, 4), _mm_srai_epi32(_mm_add_epi32(frac, sl), 12));
}

VOCAM_SSE41 size_t Matrix48Sse41(const short *m, uint16_t *p16, size_t count) {
    auto *p = reinterpret_cast<uint8_t *>(p16);
    __m128i c01[3], c2[3];
    for (int r = 0; r < 3; ++r) {
        c01[r] = _mm_set1_epi32(CoefPair(m[4 * r], m[4 * r + 1]));
        c2[r] = _mm_set1_epi32(CoefPair(m[4 * r + 2], 0));
    }
    const __m128i lowBytes = _mm_set1_epi16(0x00FF), zero = _mm_setzero_si128();
    for (; count >= 8; count -= 8, p += 48) {
        __m128i in[3];
        for (int v = 0; v < 3; ++v)
            in[v] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * v));
        __m128i hi[3], lo[3];
        for (int c = 0; c < 3; ++c) {
            const __m128i plane =
                _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(in[0], Load(kDeinterleave48[0][c])),
                                          _mm_shuffle_epi8(in[1], Load(kDeinterleave48[1][c]))),
                             _mm_shuffle_epi8(in[2], Load(kDeinterleave48[2][c])));
            hi[c] = _mm_srli_epi16(plane, 8);
            lo[c] = _mm_and_si128(plane, lowBytes);
        }
        const __m128i h01[2] = {_mm_unpacklo_epi16(hi[0], hi[1]), _mm_unpackhi_epi16(hi[0], hi[1])};
        const __m128i h2[2] = {_mm_unpacklo_epi16(hi[2], zero), _mm_unpackhi_epi16(hi[2], zero)};
        const __m128i l01[2] = {_mm_unpacklo_epi16(lo[0], lo[1]), _mm_unpackhi_epi16(lo[0], lo[1])};
        const __m128i l2[2] = {_mm_unpacklo_epi16(lo[2], zero), _mm_unpackhi_epi16(lo[2], zero)};
        __m128i res[3];
        for (int r = 0; r < 3; ++r) {
            __m128i half[2];
            for (int h = 0; h < 2; ++h) {
                const __m128i sh =
                    _mm_add_epi32(_mm_madd_epi16(h01[h], c01[r]), _mm_madd_epi16(h2[h], c2[r]));
                const __m128i sl =
                    _mm_add_epi32(_mm_madd_epi16(l01[h], c01[r]), _mm_madd_epi16(l2[h], c2[r]));
                half[h] = Combine16(sh, sl);
            }
            res[r] = _mm_packus_epi32(half[0], half[1]);
        }
        for (int v = 0; v < 3; ++v) {
            const __m128i o =
                _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(res[0], Load(kInterleave48[v][0])),
                                          _mm_shuffle_epi8(res[1], Load(kInterleave48[v][1]))),
                             _mm_shuffle_epi8(res[2], Load(kInterleave48[v][2])));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(p + 16 * v), o);
        }
    }
    return count;
}

// ---- AVX2 -----------------------------------------------------------------------------
//
// Each 128-bit lane does what one SSE step does: the low lane takes a block of
// 48 bytes and the high lane the next, so the in-lane shuffles of the SSE
// tables serve unchanged.

VOCAM_AVX2 inline __m256i Load2(const Mask &k) {
    return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i *>(k.data())));
}

VOCAM_AVX2 inline __m256i LoadLanes(const uint8_t *lo, const uint8_t *hi) {
    return _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(lo))),
        _mm_loadu_si128(reinterpret_cast<const __m128i *>(hi)), 1);
}

VOCAM_AVX2 inline void StoreLanes(uint8_t *lo, uint8_t *hi, __m256i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(lo), _mm256_castsi256_si128(v));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(hi), _mm256_extracti128_si256(v, 1));
}

VOCAM_AVX2 size_t Matrix24Avx2(const short *m, uint8_t *p, size_t count) {
    __m256i c01[3], c2[3];
    for (int r = 0; r < 3; ++r) {
        c01[r] = _mm256_set1_epi32(CoefPair(m[4 * r], m[4 * r + 1]));
        c2[r] = _mm256_set1_epi32(CoefPair(m[4 * r + 2], 0));
    }
    const __m256i k01 = Load2(kPair01At0), k2 = Load2(kPair2At0);
    const __m256i k01h = Load2(kPair01At4), k2h = Load2(kPair2At4);
    __m256i out[3][3];
    for (int v = 0; v < 3; ++v)
        for (int ch = 0; ch < 3; ++ch) out[v][ch] = Load2(kInterleave24[v][ch]);
    for (; count >= 32; count -= 32, p += 96) {
        const __m256i a = LoadLanes(p, p + 48);
        const __m256i b = LoadLanes(p + 16, p + 64);
        const __m256i c = LoadLanes(p + 32, p + 80);
        const __m256i w1 = _mm256_alignr_epi8(b, a, 12), w2 = _mm256_alignr_epi8(c, b, 8);
        const __m256i e01[4] = {_mm256_shuffle_epi8(a, k01), _mm256_shuffle_epi8(w1, k01),
                                _mm256_shuffle_epi8(w2, k01), _mm256_shuffle_epi8(c, k01h)};
        const __m256i e2[4] = {_mm256_shuffle_epi8(a, k2), _mm256_shuffle_epi8(w1, k2),
                               _mm256_shuffle_epi8(w2, k2), _mm256_shuffle_epi8(c, k2h)};
        __m256i plane[3];
        for (int r = 0; r < 3; ++r) {
            __m256i s[4];
            for (int g = 0; g < 4; ++g)
                s[g] = _mm256_srai_epi32(_mm256_add_epi32(_mm256_madd_epi16(e01[g], c01[r]),
                                                          _mm256_madd_epi16(e2[g], c2[r])),
                                         12);
            plane[r] =
                _mm256_packus_epi16(_mm256_packs_epi32(s[0], s[1]), _mm256_packs_epi32(s[2], s[3]));
        }
        for (int v = 0; v < 3; ++v) {
            const __m256i o =
                _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(plane[0], out[v][0]),
                                                _mm256_shuffle_epi8(plane[1], out[v][1])),
                                _mm256_shuffle_epi8(plane[2], out[v][2]));
            StoreLanes(p + 16 * v, p + 48 + 16 * v, o);
        }
    }
    return count;
}

VOCAM_AVX2 size_t Matrix32Avx2(const short *m, uint8_t *p, size_t count) {
    __m256i ce[3], co[3];
    for (int r = 0; r < 3; ++r) {
        ce[r] = _mm256_set1_epi32(CoefPair(m[4 * r], m[4 * r + 2]));
        co[r] = _mm256_set1_epi32(CoefPair(m[4 * r + 1], m[4 * r + 3]));
    }
    const __m256i lowBytes = _mm256_set1_epi16(0x00FF);
    const __m256i byte3 = _mm256_set1_epi32(static_cast<int32_t>(0xFF000000u));
    const __m256i zero = _mm256_setzero_si256(), top = _mm256_set1_epi32(255);
    for (; count >= 8; count -= 8, p += 32) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
        const __m256i even = _mm256_and_si256(x, lowBytes);
        const __m256i odd = _mm256_srli_epi16(x, 8);
        __m256i t[3];
        for (int r = 0; r < 3; ++r) {
            const __m256i s =
                _mm256_add_epi32(_mm256_madd_epi16(even, ce[r]), _mm256_madd_epi16(odd, co[r]));
            t[r] = _mm256_min_epi32(_mm256_max_epi32(_mm256_srai_epi32(s, 12), zero), top);
        }
        __m256i o = _mm256_or_si256(_mm256_and_si256(x, byte3), t[0]);
        o = _mm256_or_si256(
            o, _mm256_or_si256(_mm256_slli_epi32(t[1], 8), _mm256_slli_epi32(t[2], 16)));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), o);
    }
    return count;
}

VOCAM_AVX2 inline __m256i Combine16x2(__m256i sh, __m256i sl) {
    const __m256i frac = _mm256_slli_epi32(_mm256_and_si256(sh, _mm256_set1_epi32(15)), 8);
    return _mm256_add_epi32(_mm256_srai_epi32(sh, 4),
                            _mm256_srai_epi32(_mm256_add_epi32(frac, sl), 12));
}

VOCAM_AVX2 size_t Matrix48Avx2(const short *m, uint16_t *p16, size_t count) {
    auto *p = reinterpret_cast<uint8_t *>(p16);
    __m256i c01[3], c2[3];
    for (int r = 0; r < 3; ++r) {
        c01[r] = _mm256_set1_epi32(CoefPair(m[4 * r], m[4 * r + 1]));
        c2[r] = _mm256_set1_epi32(CoefPair(m[4 * r + 2], 0));
    }
    __m256i de[3][3], il[3][3];
    for (int i = 0; i < 3; ++i)
        for (int c = 0; c < 3; ++c) {
            de[i][c] = Load2(kDeinterleave48[i][c]);
            il[i][c] = Load2(kInterleave48[i][c]);
        }
    const __m256i lowBytes = _mm256_set1_epi16(0x00FF), zero = _mm256_setzero_si256();
    for (; count >= 16; count -= 16, p += 96) {
        __m256i in[3];
        for (int v = 0; v < 3; ++v) in[v] = LoadLanes(p + 16 * v, p + 48 + 16 * v);
        __m256i hi[3], lo[3];
        for (int c = 0; c < 3; ++c) {
            const __m256i plane =
                _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(in[0], de[0][c]),
                                                _mm256_shuffle_epi8(in[1], de[1][c])),
                                _mm256_shuffle_epi8(in[2], de[2][c]));
            hi[c] = _mm256_srli_epi16(plane, 8);
            lo[c] = _mm256_and_si256(plane, lowBytes);
        }
        const __m256i h01[2] = {_mm256_unpacklo_epi16(hi[0], hi[1]),
                                _mm256_unpackhi_epi16(hi[0], hi[1])};
        const __m256i h2[2] = {_mm256_unpacklo_epi16(hi[2], zero),
                               _mm256_unpackhi_epi16(hi[2], zero)};
        const __m256i l01[2] = {_mm256_unpacklo_epi16(lo[0], lo[1]),
                                _mm256_unpackhi_epi16(lo[0], lo[1])};
        const __m256i l2[2] = {_mm256_unpacklo_epi16(lo[2], zero),
                               _mm256_unpackhi_epi16(lo[2], zero)};
        __m256i res[3];
        for (int r = 0; r < 3; ++r) {
            __m256i half[2];
            for (int h = 0; h < 2; ++h) {
                const __m256i sh = _mm256_add_epi32(_mm256_madd_epi16(h01[h], c01[r]),
                                                    _mm256_madd_epi16(h2[h], c2[r]));
                const __m256i sl = _mm256_add_epi32(_mm256_madd_epi16(l01[h], c01[r]),
                                                    _mm256_madd_epi16(l2[h], c2[r]));
                half[h] = Combine16x2(sh, sl);
            }
            res[r] = _mm256_packus_epi32(half[0], half[1]);
        }
        for (int v = 0; v < 3; ++v) {
            const __m256i o =
                _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(res[0], il[v][0]),
                                                _mm256_shuffle_epi8(res[1], il[v][1])),
                                _mm256_shuffle_epi8(res[2], il[v][2]));
            StoreLanes(p + 16 * v, p + 48 + 16 * v, o);
        }
    }
    return count;
}

#endif  // VOCAM_MATRIX_SIMD

// ---- conversion records ----------------------------------------------------------------

// The parameters record is little-endian whatever the host.
uint32_t LoadLe32(const uint8_t *b) {
    return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
           (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

double LoadLeFloat(const uint8_t *b) {
    return static_cast<double>(std::bit_cast<float>(LoadLe32(b)));
}

// The kernels walk the mosaic two rows and two columns at a time and look
// one site beyond in each direction; smaller or odd frames would make them
// read outside the frame.
bool FrameSizeServed(std::uint64_t width, std::uint64_t height) {
    return width >= 4 && height >= 4 && width % 2 == 0 && height % 2 == 0 && width <= UINT32_MAX &&
           height <= UINT32_MAX;
}

// A matrix that maps every pixel to itself: 4096 on the diagonal and 0
// elsewhere in the columns the stage reads (column 3 only for 4-byte pixels).
// The default settings compose correction 14 to exactly this, and a pass with
// it would rewrite every byte with its own value.
bool LeavesPixelsAlone(const std::int16_t *m, bool column3) {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < (column3 ? 4 : 3); ++c)
            if (m[4 * r + c] != (r == c ? 4096 : 0)) return false;
    return true;
}

// Row stride of NoneMove and NoneMove16to8: 3 x width rounded up to 4 bytes.
size_t PaddedStride24(uint32_t width) {
    return ((static_cast<size_t>(width) + 1) * 3) & ~static_cast<size_t>(3);
}

}  // namespace

// ---- matrix stage entry points ----------------------------------------------------------

namespace vocam::colour {

MatrixIsa matrixIsa() {
#ifdef VOCAM_MATRIX_SIMD
    static const MatrixIsa detected = [] {
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx2")) return MatrixIsa::kAvx2;
        if (__builtin_cpu_supports("sse4.1")) return MatrixIsa::kSse41;
        return MatrixIsa::kPortable;
    }();
    return detected < matrixIsaLimit ? detected : matrixIsaLimit;
#else
    return MatrixIsa::kPortable;
#endif
}

}  // namespace vocam::colour

void MatrixPostProcess4096(const short *m, unsigned char *pixels, unsigned long count) {
    size_t left = count;
#ifdef VOCAM_MATRIX_SIMD
    switch (vocam::colour::matrixIsa()) {
        case vocam::colour::MatrixIsa::kAvx2:
            left = Matrix24Avx2(m, pixels, left);
            [[fallthrough]];
        case vocam::colour::MatrixIsa::kSse41:
            left = Matrix24Sse41(m, pixels + 3 * (count - left), left);
            break;
        case vocam::colour::MatrixIsa::kPortable:
            break;
    }
#endif
    Matrix24Portable(m, pixels + 3 * (count - left), left);
}

void MatrixPostProcess4096to32(const short *m, unsigned char *pixels, unsigned long count) {
    size_t left = count;
#ifdef VOCAM_MATRIX_SIMD
    switch (vocam::colour::matrixIsa()) {
        case vocam::colour::MatrixIsa::kAvx2:
            left = Matrix32Avx2(m, pixels, left);
            [[fallthrough]];
        case vocam::colour::MatrixIsa::kSse41:
            left = Matrix32Sse41(m, pixels + 4 * (count - left), left);
            break;
        case vocam::colour::MatrixIsa::kPortable:
            break;
    }
#endif
    Matrix32Portable(m, pixels + 4 * (count - left), left);
}

void MatrixPostProcess16_4096(const short *m, unsigned short *pixels, unsigned long count) {
    size_t left = count;
#ifdef VOCAM_MATRIX_SIMD
    switch (vocam::colour::matrixIsa()) {
        case vocam::colour::MatrixIsa::kAvx2:
            left = Matrix48Avx2(m, pixels, left);
            [[fallthrough]];
        case vocam::colour::MatrixIsa::kSse41:
            left = Matrix48Sse41(m, pixels + 3 * (count - left), left);
            break;
        case vocam::colour::MatrixIsa::kPortable:
            break;
    }
#endif
    Matrix48Portable(m, pixels + 3 * (count - left), left);
}

// ---- conversion driver ------------------------------------------------------------------

namespace {

// The 16-bit table for the tone settings of s and the byte order, rebuilt only
// when either differs from the last build; null when no table can be had.
const std::uint16_t *ConversionLut16(Lut16Cache &c, const _votf_settings &s, int lsbFirst) {
    if (s.toneTable == nullptr || s.toneTableSize < kToneTableBare) return nullptr;
    const size_t keyBytes = s.toneTableSize < c.tone.size() ? s.toneTableSize : c.tone.size();
    if (c.valid && c.toneSize == s.toneTableSize && c.lsbFirst == lsbFirst &&
        std::memcmp(c.tone.data(), s.toneTable, keyBytes) == 0)
        return c.table.get();
    if (!c.table) c.table.reset(new (std::nothrow) std::uint16_t[kLut16Entries]);
    // Without a table the frame is converted without tone mapping.
    if (!c.table) return nullptr;
    MakeLut16(c.table.get(), s.toneTable, s.toneTableSize, lsbFirst);
    std::memcpy(c.tone.data(), s.toneTable, keyBytes);
    c.toneSize = s.toneTableSize;
    c.lsbFirst = lsbFirst;
    c.valid = true;
    return c.table.get();
}

}  // namespace

int CVotf::ConvertToRgb(unsigned char *dst, const unsigned char *src, unsigned bits,
                        const void *imageFormat, const void *params) noexcept {
    _votf_format f = format;
    _votf_settings s = settings;
    s.matrixDirty = 1;

    if (imageFormat != nullptr) {
        // Thirteen host-order words: Size, Width, Height, PixelFormat,
        // ImageSize, VocamReserved[8].
        uint32_t word[kImageFormatSize / 4];
        std::memcpy(word, imageFormat, sizeof word[0]);
        if (word[0] != kImageFormatSize) return -22;
        std::memcpy(word, imageFormat, sizeof word);
        const uint32_t flags = word[5];
        f.bottomUp = (flags >> 4) & 1;
        f.height = word[2];
        if (word[3] == 0)
            f.sampleFormat = 0;
        else if (word[3] == 1)
            f.sampleFormat = (flags & 2) ? 2 : 1;
        else
            return -14;
        f.firstRowBlue = (flags >> 2) & 1;
        f.greenFirst = (flags >> 3) & 1;
        f.deinterlace = word[9] & 0xFF;
        f.mono = flags & 1;
        f.width = word[1];
    }

    if (params != nullptr) {
        const auto *b = static_cast<const uint8_t *>(params);
        const uint32_t size = LoadLe32(b);
        if (size != kConversionParamsShort && size != kConversionParamsFull) return -22;
        s.demosaicMethod = LoadLe32(b + 4);
        s.correctionMatrix = LoadLe32(b + 8);
        if (size == kConversionParamsFull) {
            s.flipX = static_cast<int32_t>(LoadLe32(b + 12));
            s.flipY = static_cast<int32_t>(LoadLe32(b + 16));
            const double saturation = LoadLeFloat(b + 24);
            s.saturationU = s.saturationV = saturation;
            s.hue = LoadLeFloat(b + 20);
            if (LoadLe32(b + 28) != 0) {
                if (!ConvertDigitalGainsColorToWBGainY(saturation, saturation, LoadLeFloat(b + 32),
                                                       LoadLeFloat(b + 36), LoadLeFloat(b + 40),
                                                       &s.whiteBalanceU, &s.whiteBalanceV, &s.gain))
                    return -14;
            } else {
                s.gain = LoadLeFloat(b + 32);
                s.whiteBalanceU = LoadLeFloat(b + 36) / 100.0;
                s.whiteBalanceV = LoadLeFloat(b + 40) / 100.0;
            }
        }
    }

    if (!FrameSizeServed(f.width, f.height)) return -22;
    // Refuses correction ids beyond the sixteen slots.
    if (!BuildMatrix(&s)) return -14;
    s.matrixDirty = 0;

    s.toneTable16 = nullptr;
    if (f.sampleFormat != 0 && s.toneTable != nullptr && s.toneTableSize != 0)
        s.toneTable16 =
            const_cast<std::uint16_t *>(ConversionLut16(lut16Cache_, s, f.sampleFormat == 2));

    return ConvertBayerToRgb(dst, src, bits, &f, &s) == 1 ? 0 : -14;
}

int CVotf::ConvertBayerToRgb(unsigned char *dst, const unsigned char *src, unsigned bits,
                             const _votf_format *f, const _votf_settings *s) const noexcept {
    if (dst == nullptr || src == nullptr || f == nullptr || s == nullptr) return 0;
    if (!FrameSizeServed(f->width, f->height)) return 0;
    const auto w = static_cast<uint32_t>(f->width);
    const auto h = static_cast<uint32_t>(f->height);
    const uint32_t sampleFormat = f->sampleFormat;
    const bool wide = sampleFormat == 1 || sampleFormat == 2;
    const uint8_t *lut8 =
        (s->toneTableSize != 0 && s->toneTable != nullptr) ? s->toneTable->table : nullptr;
    const uint16_t *lut16 = s->toneTableSize != 0 ? s->toneTable16 : nullptr;
    const int topDown = (s->flipY == 0) != (f->bottomUp != 0);
    const int msbFirst = sampleFormat == 1;
    const int blueRow = f->firstRowBlue == 0;
    const int greenFirst = f->greenFirst != 0;
    const int flipX = s->flipX;
    const bool deinterlace = f->deinterlace != 0;
    const unsigned method = s->demosaicMethod;
    const auto *src16 = reinterpret_cast<const uint16_t *>(src);
    const size_t pixels = static_cast<size_t>(w) * h;

    if (bits == 48) {
        if (!wide) return 0;
        auto *dst16 = reinterpret_cast<uint16_t *>(dst);
        const int di = static_cast<int>(f->deinterlace);
        if (f->mono || method == 0) {
            NoneMove16InPlace(dst16, src16, w, h, flipX, topDown, di, msbFirst, lut16);
        } else if (method == 1) {
            NearestNeighbor16InPlace(dst16, src16, w, h, blueRow, greenFirst, flipX, topDown, di,
                                     msbFirst, lut16);
        } else if (method == 2) {
            EdgeDetectMove16InPlace(dst16, src16, w, h, blueRow, greenFirst, flipX, topDown, di,
                                    msbFirst, lut16);
        } else if (method == 3) {
            QarexMove16(dst16, src16, w, h, blueRow, greenFirst, flipX, topDown, di, msbFirst,
                        lut16);
        } else if (method == 8) {
            UlmetMove16InPlace(dst16, src16, w, h, blueRow, greenFirst, flipX, topDown, di,
                               msbFirst, lut16);
        } else {
            return 0;
        }
        if (!f->mono && s->correctionMatrix != 0 && !LeavesPixelsAlone(s->matrix, false))
            MatrixPostProcess16_4096(s->matrix, dst16, pixels);
        return 1;
    }

    if (f->mono) {
        if (sampleFormat == 0) {
            if (bits == 8)
                deinterlace ? MonoToMonoMoveDeinterl(dst, src, w, h, flipX, topDown, lut8)
                            : MonoToMonoMove(dst, src, w, h, flipX, topDown, lut8);
            else if (bits == 32)
                deinterlace ? NoneMove32InPlace(dst, src, w, h, flipX, topDown, 1, lut8)
                            : NoneMove32(dst, src, w, h, flipX, topDown, lut8);
            else
                deinterlace ? NoneMoveInPlace(dst, src, w, h, flipX, topDown, 1, lut8)
                            : NoneMove(dst, src, w, h, flipX, topDown, lut8);
        } else if (wide) {
            if (bits == 8)
                deinterlace
                    ? MonoToMonoMove16to8Deinterl(dst, src16, w, h, flipX, topDown, msbFirst, lut16)
                    : MonoToMonoMove16to8(dst, src16, w, h, flipX, topDown, msbFirst, lut16);
            else if (bits == 32)
                deinterlace
                    ? NoneMove16to832InPlace(dst, src16, w, h, flipX, topDown, 1, msbFirst, lut16)
                    : NoneMove16to832(dst, src16, w, h, flipX, topDown, msbFirst, lut16);
            else
                deinterlace
                    ? NoneMove16to8InPlace(dst, src16, w, h, flipX, topDown, 1, msbFirst, lut16)
                    : NoneMove16to8(dst, src16, w, h, flipX, topDown, msbFirst, lut16);
        } else {
            // No kernel reads this sample format; say so rather than report a
            // picture that was never written.
            return 0;
        }
        return 1;
    }

    const bool out32 = bits == 32;
    const int di = deinterlace ? 1 : 0;
    bool padded = false;
    if (sampleFormat == 0) {
        switch (method) {
            case 0:
                if (deinterlace)
                    out32 ? NoneMove32InPlace(dst, src, w, h, flipX, topDown, 1, lut8)
                          : NoneMoveInPlace(dst, src, w, h, flipX, topDown, 1, lut8);
                else if (out32)
                    NoneMove32(dst, src, w, h, flipX, topDown, lut8);
                else {
                    NoneMove(dst, src, w, h, flipX, topDown, lut8);
                    padded = true;
                }
                break;
            case 1:
                if (deinterlace)
                    out32 ? NearestNeighbor32InPlace(dst, src, w, h, blueRow, greenFirst, flipX,
                                                     topDown, 1, lut8)
                          : NearestNeighborInPlace(dst, src, w, h, blueRow, greenFirst, flipX,
                                                   topDown, 1, lut8);
                else
                    out32 ? NearestNeighbor32(dst, src, w, h, blueRow, greenFirst, flipX, topDown,
                                              lut8)
                          : NearestNeighbor(dst, src, w, h, blueRow, greenFirst, flipX, topDown,
                                            lut8);
                break;
            case 2:
                if (deinterlace)
                    out32 ? EdgeDetectMove32InPlace(dst, src, w, h, blueRow, greenFirst, flipX,
                                                    topDown, 1, lut8)
                          : EdgeDetectMoveInPlace(dst, src, w, h, blueRow, greenFirst, flipX,
                                                  topDown, 1, lut8);
                else
                    out32
                        ? EdgeDetectMove32(dst, src, w, h, blueRow, greenFirst, flipX, topDown,
                                           lut8)
                        : EdgeDetectMove(dst, src, w, h, blueRow, greenFirst, flipX, topDown, lut8);
                break;
            case 3:
                out32 ? QarexMove32(dst, src, w, h, blueRow, greenFirst, flipX, topDown, di, lut8)
                      : QarexMove(dst, src, w, h, blueRow, greenFirst, flipX, topDown, di, lut8);
                break;
            case 8:
                out32 ? UlmetMove32InPlace(dst, src, w, h, blueRow, greenFirst, flipX, topDown, di,
                                           lut8)
                      : UlmetMoveInPlace(dst, src, w, h, blueRow, greenFirst, flipX, topDown, di,
                                         lut8);
                break;
            case 9:
                if (out32)
                    FourColorsInterMove32InPlace(dst, src, w, h, blueRow, greenFirst, flipX,
                                                 topDown, di, lut8);
                else if (!deinterlace)
                    UlmetMoveInPlace(dst, src, w, h, blueRow, greenFirst, flipX, topDown, 0, lut8);
                else
                    return 0;
                break;
            default:
                return 0;
        }
    } else if (wide) {
        switch (method) {
            case 0:
                if (deinterlace)
                    out32 ? NoneMove16to832InPlace(dst, src16, w, h, flipX, topDown, 1, msbFirst,
                                                   lut16)
                          : NoneMove16to8InPlace(dst, src16, w, h, flipX, topDown, 1, msbFirst,
                                                 lut16);
                else if (out32)
                    NoneMove16to832(dst, src16, w, h, flipX, topDown, msbFirst, lut16);
                else {
                    NoneMove16to8(dst, src16, w, h, flipX, topDown, msbFirst, lut16);
                    padded = true;
                }
                break;
            case 1:
                if (deinterlace)
                    out32 ? NearestNeighbor16to832InPlace(dst, src16, w, h, blueRow, greenFirst,
                                                          flipX, topDown, 1, msbFirst, lut16)
                          : NearestNeighbor16to8InPlace(dst, src16, w, h, blueRow, greenFirst,
                                                        flipX, topDown, 1, msbFirst, lut16);
                else
                    out32 ? NearestNeighbor16to832(dst, src16, w, h, blueRow, greenFirst, flipX,
                                                   topDown, msbFirst, lut16)
                          : NearestNeighbor16to8(dst, src16, w, h, blueRow, greenFirst, flipX,
                                                 topDown, msbFirst, lut16);
                break;
            case 2:
                if (deinterlace)
                    out32 ? EdgeDetectMove16to832InPlace(dst, src16, w, h, blueRow, greenFirst,
                                                         flipX, topDown, 1, msbFirst, lut16)
                          : EdgeDetectMove16to8InPlace(dst, src16, w, h, blueRow, greenFirst, flipX,
                                                       topDown, 1, msbFirst, lut16);
                else
                    out32 ? EdgeDetectMove16to832(dst, src16, w, h, blueRow, greenFirst, flipX,
                                                  topDown, msbFirst, lut16)
                          : EdgeDetectMove16to8(dst, src16, w, h, blueRow, greenFirst, flipX,
                                                topDown, msbFirst, lut16);
                break;
            case 3:
                out32 ? QarexMove16to832(dst, src16, w, h, blueRow, greenFirst, flipX, topDown, di,
                                         msbFirst, lut16)
                      : QarexMove16to8(dst, src16, w, h, blueRow, greenFirst, flipX, topDown, di,
                                       msbFirst, lut16);
                break;
            case 8:
            case 9:
                out32 ? UlmetMove16to832InPlace(dst, src16, w, h, blueRow, greenFirst, flipX,
                                                topDown, di, msbFirst, lut16)
                      : UlmetMove16to8InPlace(dst, src16, w, h, blueRow, greenFirst, flipX, topDown,
                                              di, msbFirst, lut16);
                break;
            default:
                return 0;
        }
    } else {
        // No kernel reads this sample format; running the matrix stage over a
        // picture that was never written would only report garbage as done.
        return 0;
    }

    if (s->correctionMatrix == 0 || LeavesPixelsAlone(s->matrix, out32)) return 1;
    if (out32) {
        MatrixPostProcess4096to32(s->matrix, dst, pixels);
    } else if (padded && PaddedStride24(w) != 3 * static_cast<size_t>(w)) {
        // The grey kernels pad each row to 4 bytes: correct every pixel of
        // each row and leave the pad bytes alone.
        const size_t stride = PaddedStride24(w);
        for (uint32_t y = 0; y < h; ++y) MatrixPostProcess4096(s->matrix, dst + y * stride, w);
    } else {
        MatrixPostProcess4096(s->matrix, dst, pixels);
    }
    return 1;
}
