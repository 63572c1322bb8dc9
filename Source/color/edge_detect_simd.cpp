// Interior spans of the edge-detecting one-pass kernels, 16 pixels a step, in
// 16-bit lanes so that sums of four samples need no tricks. The arithmetic is
// the scalar rules' exactly: floor means, larger-minus-smaller differences and
// the three-way choice of the green pair.
#include "color/edge_detect_simd.h"

#include "color/kernel_common.h"
#include "color/simd_pixels.h"

namespace vocam::kernels::simd {

#ifdef VOCAM_KERNELS_X86
namespace {

// Planar results of eight pixels in 16-bit lanes.
struct Half {
    __m128i b, g, r;
};

// ---- SSE4.1: two halves of eight 16-bit lanes ------------------------------------

struct Sse {
    using V = __m128i;
    // Eight samples starting at p, one every Step bytes.
    template <uint32_t Step>
    VOCAM_SSE41 static V load8(const uint8_t *p) {
        if constexpr (Step == 1)
            return _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)));
        else
            return _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)),
                                 _mm_set1_epi16(0xFF));
    }

    // The rules on eight lanes; `gm` has all ones in the lanes of green sites.
    template <uint32_t Step>
    VOCAM_SSE41 static Half half(const uint8_t *c, size_t rs, bool blue, V gm) {
        const uint8_t *u = c - rs, *d = c + rs;
        const V cc = load8<Step>(c);
        const V l = load8<Step>(c - Step), r = load8<Step>(c + Step);
        const V up = load8<Step>(u), dn = load8<Step>(d);
        const V ul = load8<Step>(u - Step), ur = load8<Step>(u + Step);
        const V dl = load8<Step>(d - Step), dr = load8<Step>(d + Step);
        const V lr = _mm_add_epi16(l, r), ud = _mm_add_epi16(up, dn);
        const V hm = _mm_srli_epi16(lr, 1), vm = _mm_srli_epi16(ud, 1);
        const V cross = _mm_srli_epi16(_mm_add_epi16(lr, ud), 2);
        const V diag =
            _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(ul, ur), _mm_add_epi16(dl, dr)), 2);
        const V dV = _mm_abs_epi16(_mm_sub_epi16(dn, up));
        const V dH = _mm_abs_epi16(_mm_sub_epi16(r, l));
        const V ge = _mm_blendv_epi8(_mm_blendv_epi8(cross, vm, _mm_cmpgt_epi16(dH, dV)), hm,
                                     _mm_cmpgt_epi16(dV, dH));
        const V gOut = _mm_blendv_epi8(ge, cc, gm);
        const V rc = _mm_blendv_epi8(cc, hm, gm);
        const V oc = _mm_blendv_epi8(diag, vm, gm);
        return blue ? Half{rc, gOut, oc} : Half{oc, gOut, rc};
    }

    template <uint32_t P, uint32_t Step, bool Flip>
    VOCAM_SSE41 static uint32_t span(uint8_t *outRow, const uint8_t *cur, size_t rs, uint32_t width,
                                     bool blue, bool green1) {
        const V gm = green1 ? _mm_set1_epi32(0x0000FFFF) : _mm_set1_epi32(int32_t(0xFFFF0000u));
        // Step 2 loads read one byte past sample x+16: keep it inside the row.
        const uint32_t margin = Step == 1 ? 16 : 17;
        uint32_t x = 1;
        for (; x + margin <= width - 1; x += 16) {
            const uint8_t *c = cur + size_t(x) * Step;
            const Half lo = half<Step>(c, rs, blue, gm);
            const Half hi = half<Step>(c + 8 * Step, rs, blue, gm);
            uint8_t *out = outRow + size_t(Flip ? width - 16 - x : x) * P;
            storeBlock<P, Flip>(out, _mm_packus_epi16(lo.b, hi.b), _mm_packus_epi16(lo.g, hi.g),
                                _mm_packus_epi16(lo.r, hi.r));
        }
        return x;
    }
};

// ---- AVX2: sixteen 16-bit lanes ------------------------------------------------------

struct Avx {
    using V = __m256i;
    template <uint32_t Step>
    VOCAM_AVX2 static V load16(const uint8_t *p) {
        if constexpr (Step == 1)
            return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
        else
            return _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)),
                                    _mm256_set1_epi16(0xFF));
    }

    // Sixteen 16-bit lanes to sixteen bytes.
    VOCAM_AVX2 static __m128i narrow(V v) {
        return _mm_packus_epi16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    }

    template <uint32_t P, uint32_t Step, bool Flip>
    VOCAM_AVX2 static uint32_t span(uint8_t *outRow, const uint8_t *cur, size_t rs, uint32_t width,
                                    bool blue, bool green1) {
        const V gm =
            green1 ? _mm256_set1_epi32(0x0000FFFF) : _mm256_set1_epi32(int32_t(0xFFFF0000u));
        const uint32_t margin = Step == 1 ? 16 : 17;
        uint32_t x = 1;
        for (; x + margin <= width - 1; x += 16) {
            const uint8_t *c = cur + size_t(x) * Step;
            const uint8_t *u = c - rs, *d = c + rs;
            const V cc = load16<Step>(c);
            const V l = load16<Step>(c - Step), r = load16<Step>(c + Step);
            const V up = load16<Step>(u), dn = load16<Step>(d);
            const V ul = load16<Step>(u - Step), ur = load16<Step>(u + Step);
            const V dl = load16<Step>(d - Step), dr = load16<Step>(d + Step);
            const V lr = _mm256_add_epi16(l, r), ud = _mm256_add_epi16(up, dn);
            const V hm = _mm256_srli_epi16(lr, 1), vm = _mm256_srli_epi16(ud, 1);
            const V cross = _mm256_srli_epi16(_mm256_add_epi16(lr, ud), 2);
            const V diag = _mm256_srli_epi16(
                _mm256_add_epi16(_mm256_add_epi16(ul, ur), _mm256_add_epi16(dl, dr)), 2);
            const V dV = _mm256_abs_epi16(_mm256_sub_epi16(dn, up));
            const V dH = _mm256_abs_epi16(_mm256_sub_epi16(r, l));
            const V ge =
                _mm256_blendv_epi8(_mm256_blendv_epi8(cross, vm, _mm256_cmpgt_epi16(dH, dV)), hm,
                                   _mm256_cmpgt_epi16(dV, dH));
            const V gOut = _mm256_blendv_epi8(ge, cc, gm);
            const V rc = _mm256_blendv_epi8(cc, hm, gm);
            const V oc = _mm256_blendv_epi8(diag, vm, gm);
            uint8_t *out = outRow + size_t(Flip ? width - 16 - x : x) * P;
            if (blue)
                storeBlock<P, Flip>(out, narrow(rc), narrow(gOut), narrow(oc));
            else
                storeBlock<P, Flip>(out, narrow(oc), narrow(gOut), narrow(rc));
        }
        return x;
    }
};

template <class Impl>
EdgeSpanFn pick(uint32_t P, uint32_t Step, bool flip) {
    if (P == 3) {
        if (Step == 1)
            return flip ? &Impl::template span<3, 1, true> : &Impl::template span<3, 1, false>;
        return flip ? &Impl::template span<3, 2, true> : &Impl::template span<3, 2, false>;
    }
    if (Step == 1)
        return flip ? &Impl::template span<4, 1, true> : &Impl::template span<4, 1, false>;
    return flip ? &Impl::template span<4, 2, true> : &Impl::template span<4, 2, false>;
}

}  // namespace

EdgeSpanFn edgeSpan(uint32_t P, uint32_t Step, bool flip) {
    switch (bestIsa()) {
        case Isa::kAvx2:
            return pick<Avx>(P, Step, flip);
        case Isa::kSse41:
            return pick<Sse>(P, Step, flip);
        default:
            return nullptr;
    }
}

#else

EdgeSpanFn edgeSpan(uint32_t, uint32_t, bool) {
    return nullptr;
}

#endif

}  // namespace vocam::kernels::simd
