// Vector helpers shared by the edge-detecting and gradient-corrected kernels:
// turning three 16-byte colour planes into 16 interleaved 24-bit or 32-bit
// pixels, in order or mirrored. x86 only; every function carries the
// instruction set it needs, so the file is compiled without -m flags.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#define VOCAM_KERNELS_X86 1
#include <immintrin.h>

#include <array>
#include <cstdint>

#define VOCAM_SSE41 __attribute__((target("sse4.1")))
#define VOCAM_AVX2 __attribute__((target("avx2")))

namespace vocam::kernels::simd {

// Shuffle masks that gather channel `ch` of output bytes [16*chunk, 16*chunk+16)
// from a plane of 16 values, for pixels of P bytes. Bytes of other channels
// (and the fourth byte of 32-bit pixels) get 0x80, i.e. zero.
template <uint32_t P>
constexpr std::array<uint8_t, 16> interleaveMask(uint32_t chunk, uint32_t ch) {
    std::array<uint8_t, 16> m{};
    for (uint32_t i = 0; i < 16; ++i) {
        const uint32_t k = 16 * chunk + i;
        m[i] = (k % P == ch) ? uint8_t(k / P) : uint8_t(0x80);
    }
    return m;
}

template <uint32_t P>
struct InterleaveMasks {
    alignas(16) static constexpr std::array<std::array<std::array<uint8_t, 16>, 3>, P> m = [] {
        std::array<std::array<std::array<uint8_t, 16>, 3>, P> r{};
        for (uint32_t j = 0; j < P; ++j)
            for (uint32_t c = 0; c < 3; ++c) r[j][c] = interleaveMask<P>(j, c);
        return r;
    }();
};

VOCAM_SSE41 inline __m128i loadMask(const std::array<uint8_t, 16> &m) {
    return _mm_load_si128(reinterpret_cast<const __m128i *>(m.data()));
}

VOCAM_SSE41 inline __m128i reverseBytes(__m128i v) {
    return _mm_shuffle_epi8(v, _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0));
}

// Stores 16 pixels from the planes b, g, r (byte 0, 1, 2 of each pixel) at
// `out`. 32-bit pixels keep their fourth byte.
template <uint32_t P>
VOCAM_SSE41 inline void storePixels(uint8_t *out, __m128i b, __m128i g, __m128i r) {
    if constexpr (P == 4) {
        // Unpacking b with g and r with zeros builds whole pixels in fewer
        // shuffles than gathering each channel; the old fourth bytes are
        // merged in afterwards.
        const __m128i z = _mm_setzero_si128(), keep = _mm_set1_epi32(int32_t(0xFF000000u));
        const __m128i bgL = _mm_unpacklo_epi8(b, g), bgH = _mm_unpackhi_epi8(b, g);
        const __m128i rL = _mm_unpacklo_epi8(r, z), rH = _mm_unpackhi_epi8(r, z);
        const __m128i q[4] = {_mm_unpacklo_epi16(bgL, rL), _mm_unpackhi_epi16(bgL, rL),
                              _mm_unpacklo_epi16(bgH, rH), _mm_unpackhi_epi16(bgH, rH)};
        for (uint32_t j = 0; j < 4; ++j) {
            __m128i *p = reinterpret_cast<__m128i *>(out + 16 * j);
            _mm_storeu_si128(p, _mm_or_si128(q[j], _mm_and_si128(_mm_loadu_si128(p), keep)));
        }
        return;
    }
    const auto &m = InterleaveMasks<P>::m;
    for (uint32_t j = 0; j < P; ++j) {
        __m128i v = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(b, loadMask(m[j][0])),
                                              _mm_shuffle_epi8(g, loadMask(m[j][1]))),
                                 _mm_shuffle_epi8(r, loadMask(m[j][2])));
        __m128i *p = reinterpret_cast<__m128i *>(out + 16 * j);
        if constexpr (P == 4) {
            const __m128i keep = _mm_set1_epi32(int32_t(0xFF000000u));
            v = _mm_blendv_epi8(v, _mm_loadu_si128(p), keep);
        }
        _mm_storeu_si128(p, v);
    }
}

// Stores 16 pixels computed for source positions x .. x+15; mirrored output
// puts them, reversed, at positions W-16-x .. W-1-x, so `out` must already
// point there.
template <uint32_t P, bool Flip>
VOCAM_SSE41 inline void storeBlock(uint8_t *out, __m128i b, __m128i g, __m128i r) {
    if constexpr (Flip) {
        b = reverseBytes(b);
        g = reverseBytes(g);
        r = reverseBytes(r);
    }
    storePixels<P>(out, b, g, r);
}

// Two blocks of 16 pixels at once: lane 0 of the planes (pixels x .. x+15) goes
// to `lo`, lane 1 (pixels x+16 .. x+31) to `hi`; mirrored output reverses each
// block, and the caller swaps the two addresses.
template <uint32_t P, bool Flip>
VOCAM_AVX2 inline void storeBlocks(uint8_t *lo, uint8_t *hi, __m256i b, __m256i g, __m256i r) {
    if constexpr (Flip) {
        const __m256i rev = _mm256_broadcastsi128_si256(
            _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0));
        b = _mm256_shuffle_epi8(b, rev);
        g = _mm256_shuffle_epi8(g, rev);
        r = _mm256_shuffle_epi8(r, rev);
    }
    if constexpr (P == 4) {
        // In-lane unpacks give pixels 0-3, 4-7, 8-11 and 12-15 of both blocks;
        // pairing their lanes makes each block two contiguous 32-byte stores.
        const __m256i z = _mm256_setzero_si256(), keep = _mm256_set1_epi32(int32_t(0xFF000000u));
        const __m256i bgL = _mm256_unpacklo_epi8(b, g), bgH = _mm256_unpackhi_epi8(b, g);
        const __m256i rL = _mm256_unpacklo_epi8(r, z), rH = _mm256_unpackhi_epi8(r, z);
        const __m256i q0 = _mm256_unpacklo_epi16(bgL, rL), q1 = _mm256_unpackhi_epi16(bgL, rL);
        const __m256i q2 = _mm256_unpacklo_epi16(bgH, rH), q3 = _mm256_unpackhi_epi16(bgH, rH);
        const __m256i part[4] = {
            _mm256_permute2x128_si256(q0, q1, 0x20), _mm256_permute2x128_si256(q2, q3, 0x20),
            _mm256_permute2x128_si256(q0, q1, 0x31), _mm256_permute2x128_si256(q2, q3, 0x31)};
        uint8_t *const at[4] = {lo, lo + 32, hi, hi + 32};
        for (uint32_t j = 0; j < 4; ++j) {
            __m256i *p = reinterpret_cast<__m256i *>(at[j]);
            _mm256_storeu_si256(
                p, _mm256_or_si256(part[j], _mm256_and_si256(_mm256_loadu_si256(p), keep)));
        }
        return;
    }
    const auto &m = InterleaveMasks<P>::m;
    for (uint32_t j = 0; j < P; ++j) {
        const __m256i mb = _mm256_broadcastsi128_si256(loadMask(m[j][0]));
        const __m256i mg = _mm256_broadcastsi128_si256(loadMask(m[j][1]));
        const __m256i mr = _mm256_broadcastsi128_si256(loadMask(m[j][2]));
        __m256i v =
            _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(b, mb), _mm256_shuffle_epi8(g, mg)),
                            _mm256_shuffle_epi8(r, mr));
        __m128i *pl = reinterpret_cast<__m128i *>(lo + 16 * j);
        __m128i *ph = reinterpret_cast<__m128i *>(hi + 16 * j);
        if constexpr (P == 4) {
            const __m256i old = _mm256_set_m128i(_mm_loadu_si128(ph), _mm_loadu_si128(pl));
            v = _mm256_blendv_epi8(v, old, _mm256_set1_epi32(int32_t(0xFF000000u)));
        }
        _mm_storeu_si128(pl, _mm256_castsi256_si128(v));
        _mm_storeu_si128(ph, _mm256_extracti128_si256(v, 1));
    }
}
}  // namespace vocam::kernels::simd
#endif
