// Grey and monochrome kernels: the raw frame shown as it is, as 24-bit,
// 32-bit, 48-bit or 8-bit grey pictures.
#include <cstring>
#include <type_traits>

#include "color/kernel_common.h"
#include "vocamkernels.h"

namespace vocam::kernels {
namespace {

// One sample into the three colour channels of a pixel. Word32 stores the
// whole 32-bit pixel at once, with its fourth byte 0.
template <uint32_t Step, bool Word32, bool Flip, class Fetch>
void greyRows(uint8_t *dst, size_t stride, const typename Fetch::In *src, uint32_t width,
              uint32_t height, int topDown, Fetch fetch) {
    if (width == 0) return;
    for (uint32_t y = 0; y < height; ++y) {
        const typename Fetch::In *in = src + size_t(y) * width;
        uint8_t *out = dst + size_t(memoryRow(y, height, topDown)) * stride;
        uint8_t *p = Flip ? out + size_t(width - 1) * Step : out;
        for (uint32_t x = 0; x < width; ++x) {
            const uint32_t v = fetch(in, x);
            if constexpr (Word32) {
                const uint32_t word = v * 0x010101u;
                std::memcpy(p, &word, 4);
            } else {
                p[0] = uint8_t(v);
                p[1] = uint8_t(v);
                p[2] = uint8_t(v);
            }
            if constexpr (Flip)
                p -= Step;
            else
                p += Step;
        }
    }
}

template <uint32_t Step, bool Word32, class Fetch>
void greyOnePass(uint8_t *dst, size_t stride, const typename Fetch::In *src, uint32_t width,
                 uint32_t height, int flipX, int topDown, Fetch fetch) {
    if (flipX)
        greyRows<Step, Word32, true>(dst, stride, src, width, height, topDown, fetch);
    else
        greyRows<Step, Word32, false>(dst, stride, src, width, height, topDown, fetch);
}

// Copies each pixel's placed channel into its other two colour channels.
template <class Px>
void secondGrey(typename Px::T *dst, uint32_t width, uint32_t height, int blueRow, int greenFirst) {
    if (!mosaicSizeOk(width, height)) return;
    Phase phase{blueRow != 0, greenFirst != 0};
    typename Px::T *p = dst;
    for (uint32_t y = 0; y < height; ++y, phase = phase.next()) {
        const uint32_t c0 = phase.channelAt(0), c1 = phase.channelAt(1);
        for (uint32_t x = 0; x < width; x += 2, p += 2 * Px::kStep) {
            const typename Px::T a = p[c0], b = p[Px::kStep + c1];
            p[0] = p[1] = p[2] = a;
            p[Px::kStep] = p[Px::kStep + 1] = p[Px::kStep + 2] = b;
        }
    }
}

// Any phase serves for the placement; the second pass is told where the
// sample of the first memory row went.
template <class Px, class Place>
void greyTwoPass(typename Px::T *dst, uint32_t width, uint32_t height, int flipX, int topDown,
                 Place place) {
    place();
    const Phase phase = memoryPhase(0, 0, flipX, topDown);
    secondGrey<Px>(dst, width, height, phase.blueRow, phase.greenFirst);
}

// 8-bit grey. Stride is the output row length in bytes.
template <bool Flip, class Fetch>
void monoRows(uint8_t *dst, size_t stride, const typename Fetch::In *src, uint32_t width,
              uint32_t height, int topDown, int deinterlace, Fetch fetch) {
    // A zero-width picture may come with no buffers at all, and memcpy must
    // not be handed a null pointer even for no bytes.
    if (width == 0) return;
    for (uint32_t r = 0; r < height; ++r) {
        const typename Fetch::In *in = src + size_t(wovenSourceRow(r, height, deinterlace)) * width;
        uint8_t *out = dst + size_t(memoryRow(r, height, topDown)) * stride;
        if constexpr (!Flip && std::is_same_v<Fetch, Fetch8>) {
            std::memcpy(out, in, width);
        } else {
            for (uint32_t x = 0; x < width; ++x)
                out[Flip ? width - 1 - x : x] = uint8_t(fetch(in, x));
        }
    }
}

template <class Fetch>
void monoCopy(uint8_t *dst, size_t stride, const typename Fetch::In *src, uint32_t width,
              uint32_t height, int flipX, int topDown, int deinterlace, Fetch fetch) {
    if (flipX)
        monoRows<true>(dst, stride, src, width, height, topDown, deinterlace, fetch);
    else
        monoRows<false>(dst, stride, src, width, height, topDown, deinterlace, fetch);
}

}  // namespace
}  // namespace vocam::kernels

using namespace vocam::kernels;

extern "C" {

void NoneMove(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height, int flipX,
              int topDown, const uint8_t *lut) {
    withFetch8(lut, [&](auto f) {
        greyOnePass<3, false>(dst, paddedGreyStride(width), src, width, height, flipX, topDown, f);
    });
}

void NoneMove32(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height, int flipX,
                int topDown, const uint8_t *lut) {
    withFetch8(lut, [&](auto f) {
        greyOnePass<4, true>(dst, size_t(width) * 4, src, width, height, flipX, topDown, f);
    });
}

void NoneMove16to8(uint8_t *dst, const uint16_t *src, uint32_t width, uint32_t height, int flipX,
                   int topDown, int msbFirst, const uint16_t *lut) {
    withFetch16to8(msbFirst, lut, [&](auto f) {
        greyOnePass<3, false>(dst, paddedGreyStride(width), src, width, height, flipX, topDown, f);
    });
}

void NoneMove16to832(uint8_t *dst, const uint16_t *src, uint32_t width, uint32_t height, int flipX,
                     int topDown, int msbFirst, const uint16_t *lut) {
    withFetch16to8(msbFirst, lut, [&](auto f) {
        greyOnePass<4, false>(dst, size_t(width) * 4, src, width, height, flipX, topDown, f);
    });
}

void SecondNoneMove(uint8_t *dst, uint32_t width, uint32_t height, int blueRow, int greenFirst) {
    secondGrey<Bgr24>(dst, width, height, blueRow, greenFirst);
}

void SecondNoneMove32(uint8_t *dst, uint32_t width, uint32_t height, int blueRow, int greenFirst) {
    secondGrey<Bgr32>(dst, width, height, blueRow, greenFirst);
}

void SecondNoneMove16(uint16_t *dst, uint32_t width, uint32_t height, int blueRow, int greenFirst) {
    secondGrey<Bgr48>(dst, width, height, blueRow, greenFirst);
}

void NoneMoveInPlace(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height, int flipX,
                     int topDown, int deinterlace, const uint8_t *lut) {
    greyTwoPass<Bgr24>(dst, width, height, flipX, topDown, [&] {
        FirstCopy(dst, src, width, height, 0, 0, flipX, topDown, deinterlace, lut);
    });
}

void NoneMove32InPlace(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height, int flipX,
                       int topDown, int deinterlace, const uint8_t *lut) {
    greyTwoPass<Bgr32>(dst, width, height, flipX, topDown, [&] {
        FirstCopy32(dst, src, width, height, 0, 0, flipX, topDown, deinterlace, lut);
    });
}

void NoneMove16to8InPlace(uint8_t *dst, const uint16_t *src, uint32_t width, uint32_t height,
                          int flipX, int topDown, int deinterlace, int msbFirst,
                          const uint16_t *lut) {
    greyTwoPass<Bgr24>(dst, width, height, flipX, topDown, [&] {
        FirstCopy16to8(dst, src, width, height, 0, 0, flipX, topDown, deinterlace, msbFirst, lut);
    });
}

void NoneMove16to832InPlace(uint8_t *dst, const uint16_t *src, uint32_t width, uint32_t height,
                            int flipX, int topDown, int deinterlace, int msbFirst,
                            const uint16_t *lut) {
    greyTwoPass<Bgr32>(dst, width, height, flipX, topDown, [&] {
        FirstCopy16to832(dst, src, width, height, 0, 0, flipX, topDown, deinterlace, msbFirst, lut);
    });
}

void NoneMove16InPlace(uint16_t *dst, const uint16_t *src, uint32_t width, uint32_t height,
                       int flipX, int topDown, int deinterlace, int msbFirst, const uint16_t *lut) {
    greyTwoPass<Bgr48>(dst, width, height, flipX, topDown, [&] {
        FirstCopy16(dst, src, width, height, 0, 0, flipX, topDown, deinterlace, msbFirst, lut);
    });
}

void MonoToMonoMove(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height, int flipX,
                    int topDown, const uint8_t *lut) {
    withFetch8(lut, [&](auto f) {
        monoCopy(dst, paddedMonoStride(width), src, width, height, flipX, topDown, 0, f);
    });
}

void MonoToMonoMove16to8(uint8_t *dst, const uint16_t *src, uint32_t width, uint32_t height,
                         int flipX, int topDown, int msbFirst, const uint16_t *lut) {
    withFetch16to8(msbFirst, lut, [&](auto f) {
        monoCopy(dst, paddedMonoStride(width), src, width, height, flipX, topDown, 0, f);
    });
}

void MonoToMonoMoveDeinterl(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                            int flipX, int topDown, const uint8_t *lut) {
    withFetch8(lut,
               [&](auto f) { monoCopy(dst, width, src, width, height, flipX, topDown, 1, f); });
}

void MonoToMonoMove16to8Deinterl(uint8_t *dst, const uint16_t *src, uint32_t width, uint32_t height,
                                 int flipX, int topDown, int msbFirst, const uint16_t *lut) {
    withFetch16to8(msbFirst, lut,
                   [&](auto f) { monoCopy(dst, width, src, width, height, flipX, topDown, 1, f); });
}

}  // extern "C"
