// Gradient-corrected demosaic (method 3) entries, the in-place interpolation
// and the in-place mirror.
//
// The interpolation treats left and right, and up and down, alike (every
// choice between two directions either takes the one of smaller change or
// averages both), so interpolating the mosaic in its final orientation gives
// exactly the picture that interpolating it top-down and then mirroring
// would. With a vector unit, the entries compute the picture straight from
// the raw (or table-fetched) rows (gradient_simd.h). Otherwise, and for
// frames wider than the vector paths' rings, the entries place each row
// where it ends up and run the interpolation a few rows behind the
// placement, while those rows are still in cache, instead of walking the
// picture four times.
#include <cstdint>
#include <type_traits>
#include <utility>

#include "color/gradient.h"
#include "color/gradient_simd.h"
#include "color/kernel_common.h"
#include "vocamkernels.h"

namespace vocam::kernels {
namespace {

// Places memory row m of the picture: the source row that ends up there,
// mirrored when asked, each sample in the channel of its site.
template <class Px, class Fetch>
void placeRow(typename Px::T *dst, const typename Fetch::In *src, uint32_t width, uint32_t height,
              uint32_t m, Phase memPhase, int flipX, int topDown, int deinterlace, Fetch fetch) {
    const uint32_t r = memoryRow(m, height, topDown);  // its own inverse
    const typename Fetch::In *in = src + size_t(wovenSourceRow(r, height, deinterlace)) * width;
    typename Px::T *out = dst + size_t(m) * rowElems<Px>(width);
    const uint32_t c0 = memPhase.channelAt(0), c1 = memPhase.channelAt(1);
    if (flipX) {
        for (uint32_t x = 0; x < width; x += 2) {
            out[size_t(x) * Px::kStep + c0] = typename Px::T(fetch(in, width - 1 - x));
            out[size_t(x + 1) * Px::kStep + c1] = typename Px::T(fetch(in, width - 2 - x));
        }
    } else {
        for (uint32_t x = 0; x < width; x += 2) {
            out[size_t(x) * Px::kStep + c0] = typename Px::T(fetch(in, x));
            out[size_t(x + 1) * Px::kStep + c1] = typename Px::T(fetch(in, x + 1));
        }
    }
}

// Placement and interpolation pipelined: green of row m-2 once rows up to m
// are placed, colours of row m-3 once greens up to m-2 are complete.
template <class Px, int M, class Fetch>
void pipelined(typename Px::T *dst, const typename Fetch::In *src, uint32_t width, uint32_t height,
               int blueRow, int greenFirst, int flipX, int topDown, int deinterlace, Fetch fetch) {
    const Phase mem = memoryPhase(blueRow, greenFirst, flipX, topDown);
    const gradient::Job<Px, M> job{dst, width, height, mem};
    for (uint32_t m = 0; m < height + 2; ++m) {
        if (m < height)
            placeRow<Px>(dst, src, width, height, m, phaseOfRow(mem, m), flipX, topDown,
                         deinterlace, fetch);
        if (m >= 2) job.greenRow(m - 2);
        if (m >= 4 && m - 3 + 1 < height) job.colourRow(m - 3);
    }
}

// Samples that reach 8-bit channels unchanged (no table) can be read
// straight from the frame by the vectorised path.
inline bool fromRaw(uint8_t *dst, const uint8_t *src, uint32_t P, uint32_t width, uint32_t height,
                    int blueRow, int greenFirst, int flipX, int topDown, int deinterlace, Fetch8) {
    return simd::gradientFromRaw(dst, src, P, 1, width, height, {blueRow != 0, greenFirst != 0},
                                 flipX, topDown, deinterlace);
}
inline bool fromRaw(uint8_t *dst, const uint16_t *src, uint32_t P, uint32_t width, uint32_t height,
                    int blueRow, int greenFirst, int flipX, int topDown, int deinterlace,
                    Fetch16to8 fetch) {
    return simd::gradientFromRaw(dst, reinterpret_cast<const uint8_t *>(src) + fetch.byte, P, 2,
                                 width, height, {blueRow != 0, greenFirst != 0}, flipX, topDown,
                                 deinterlace);
}
// Samples through a table are fetched a row at a time into the vector
// path's ring.
template <class Fetch>
struct RowSource {
    const typename Fetch::In *src;
    uint32_t width;
    Fetch fetch;
    static void row(const void *ctx, uint32_t srcRow, uint8_t *out) {
        const auto *self = static_cast<const RowSource *>(ctx);
        const typename Fetch::In *in = self->src + size_t(srcRow) * self->width;
        for (uint32_t x = 0; x < self->width; ++x) out[x] = uint8_t(self->fetch(in, x));
    }
};
template <class In, class Fetch>
bool fromRaw(uint8_t *dst, const In *src, uint32_t P, uint32_t width, uint32_t height, int blueRow,
             int greenFirst, int flipX, int topDown, int deinterlace, Fetch fetch) {
    const RowSource<Fetch> rows{src, width, fetch};
    const simd::RowFetch rowFetch{&RowSource<Fetch>::row, &rows};
    return simd::gradientFromRaw(dst, nullptr, P, 1, width, height, {blueRow != 0, greenFirst != 0},
                                 flipX, topDown, deinterlace, &rowFetch);
}

// 16-bit samples through the table or byte order, a row at a time, for the
// 48-bit vector path's ring.
template <class Fetch>
struct RowSource16 {
    const uint16_t *src;
    uint32_t width;
    Fetch fetch;
    static void row(const void *ctx, uint32_t srcRow, uint16_t *out) {
        const auto *self = static_cast<const RowSource16 *>(ctx);
        const uint16_t *in = self->src + size_t(srcRow) * self->width;
        for (uint32_t x = 0; x < self->width; ++x) out[x] = uint16_t(self->fetch(in, x));
    }
};
template <class Fetch>
bool fromRows48(uint16_t *dst, const uint16_t *src, uint32_t width, uint32_t height, int blueRow,
                int greenFirst, int flipX, int topDown, int deinterlace, Fetch fetch) {
    const RowSource16<Fetch> rows{src, width, fetch};
    const simd::RowFetch16 rowFetch{&RowSource16<Fetch>::row, &rows};
    return simd::gradient48FromRows(dst, rowFetch, width, height, {blueRow != 0, greenFirst != 0},
                                    flipX, topDown, deinterlace);
}

template <class Px, int M, class Fetch>
void qarexMove(typename Px::T *dst, const typename Fetch::In *src, uint32_t width, uint32_t height,
               int blueRow, int greenFirst, int flipX, int topDown, int deinterlace, Fetch fetch) {
    if (!edge::framesFit(width, height)) return;
    if constexpr (!std::is_same_v<Px, Bgr48>) {
        if (fromRaw(dst, src, Px::kStep, width, height, blueRow, greenFirst, flipX, topDown,
                    deinterlace, fetch))
            return;
    } else {
        if (fromRows48(dst, src, width, height, blueRow, greenFirst, flipX, topDown, deinterlace,
                       fetch))
            return;
    }
    pipelined<Px, M>(dst, src, width, height, blueRow, greenFirst, flipX, topDown, deinterlace,
                     fetch);
}

template <class Px>
void flipAround(typename Px::T *pic, uint32_t width, uint32_t height, int flipX, int flipY) {
    using T = typename Px::T;
    const size_t stride = rowElems<Px>(width);
    auto swapPixels = [](T *a, T *b) {
        for (uint32_t c = 0; c < 3; ++c) std::swap(a[c], b[c]);
    };
    if (flipX && flipY) {
        const size_t count = size_t(width) * height;
        for (size_t i = 0; i < count / 2; ++i)
            swapPixels(pic + i * Px::kStep, pic + (count - 1 - i) * Px::kStep);
    } else if (flipY) {
        for (uint32_t r = 0; r < height / 2; ++r) {
            T *a = pic + size_t(r) * stride, *b = pic + size_t(height - 1 - r) * stride;
            for (uint32_t x = 0; x < width; ++x) swapPixels(a + x * Px::kStep, b + x * Px::kStep);
        }
    } else if (flipX) {
        for (uint32_t r = 0; r < height; ++r) {
            T *row = pic + size_t(r) * stride;
            for (uint32_t x = 0; x < width / 2; ++x)
                swapPixels(row + size_t(x) * Px::kStep, row + size_t(width - 1 - x) * Px::kStep);
        }
    }
}

template <class Px, int M>
void job(typename Px::T *pic, uint32_t width, uint32_t height, int blueRow, int greenFirst) {
    if (!edge::framesFit(width, height)) return;
    gradient::Job<Px, M>{pic, width, height, Phase{blueRow != 0, greenFirst != 0}}.run();
}

}  // namespace
}  // namespace vocam::kernels

using namespace vocam::kernels;

extern "C" {

VOCAM_API void QarexMove(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                         int blueRow, int greenFirst, int flipX, int topDown, int deinterlace,
                         const uint8_t *lut) {
    withFetch8(lut, [&](auto fetch) {
        qarexMove<Bgr24, 255>(dst, src, width, height, blueRow, greenFirst, flipX, topDown,
                              deinterlace, fetch);
    });
}
VOCAM_API void QarexMove32(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                           int blueRow, int greenFirst, int flipX, int topDown, int deinterlace,
                           const uint8_t *lut) {
    withFetch8(lut, [&](auto fetch) {
        qarexMove<Bgr32, 255>(dst, src, width, height, blueRow, greenFirst, flipX, topDown,
                              deinterlace, fetch);
    });
}
VOCAM_API void QarexMove16to8(uint8_t *dst, const uint16_t *src, uint32_t width, uint32_t height,
                              int blueRow, int greenFirst, int flipX, int topDown, int deinterlace,
                              int msbFirst, const uint16_t *lut) {
    withFetch16to8(msbFirst, lut, [&](auto fetch) {
        qarexMove<Bgr24, 255>(dst, src, width, height, blueRow, greenFirst, flipX, topDown,
                              deinterlace, fetch);
    });
}
VOCAM_API void QarexMove16to832(uint8_t *dst, const uint16_t *src, uint32_t width, uint32_t height,
                                int blueRow, int greenFirst, int flipX, int topDown,
                                int deinterlace, int msbFirst, const uint16_t *lut) {
    withFetch16to8(msbFirst, lut, [&](auto fetch) {
        qarexMove<Bgr32, 255>(dst, src, width, height, blueRow, greenFirst, flipX, topDown,
                              deinterlace, fetch);
    });
}
VOCAM_API void QarexMove16(uint16_t *dst, const uint16_t *src, uint32_t width, uint32_t height,
                           int blueRow, int greenFirst, int flipX, int topDown, int deinterlace,
                           int msbFirst, const uint16_t *lut) {
    withFetch16(msbFirst, lut, [&](auto fetch) {
        qarexMove<Bgr48, 65535>(dst, src, width, height, blueRow, greenFirst, flipX, topDown,
                                deinterlace, fetch);
    });
}

VOCAM_API void QarexMoveJob(uint8_t *dst, uint32_t width, uint32_t height, int blueRow,
                            int greenFirst) {
    job<Bgr24, 255>(dst, width, height, blueRow, greenFirst);
}
VOCAM_API void QarexMoveJob32(uint8_t *dst, uint32_t width, uint32_t height, int blueRow,
                              int greenFirst) {
    job<Bgr32, 255>(dst, width, height, blueRow, greenFirst);
}
VOCAM_API void QarexMoveJob16(uint16_t *dst, uint32_t width, uint32_t height, int blueRow,
                              int greenFirst) {
    job<Bgr48, 65535>(dst, width, height, blueRow, greenFirst);
}

VOCAM_API void FlipBgrAround(uint8_t *dst, uint32_t width, uint32_t height, int flipX, int flipY) {
    flipAround<Bgr24>(dst, width, height, flipX, flipY);
}
VOCAM_API void FlipBgrAround32(uint8_t *dst, uint32_t width, uint32_t height, int flipX,
                               int flipY) {
    flipAround<Bgr32>(dst, width, height, flipX, flipY);
}
VOCAM_API void FlipBgrAround16(uint16_t *dst, uint32_t width, uint32_t height, int flipX,
                               int flipY) {
    flipAround<Bgr48>(dst, width, height, flipX, flipY);
}

}  // extern "C"

VOCAM_API void QarexMoveJob(uint16_t *dst, uint32_t width, uint32_t height, int blueRow,
                            int greenFirst) {
    QarexMoveJob16(dst, width, height, blueRow, greenFirst);
}
VOCAM_API void FlipBgrAround(uint16_t *dst, uint32_t width, uint32_t height, int flipX, int flipY) {
    FlipBgrAround16(dst, width, height, flipX, flipY);
}
