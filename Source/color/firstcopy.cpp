// First passes of the two-pass scheme: the placed mosaic, with the table, the
// byte order, the weaving and the orientation applied once.
#include "color/kernel_common.h"
#include "vocamkernels.h"

using namespace vocam::kernels;

extern "C" {

void FirstCopy(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height, int blueRow,
               int greenFirst, int flipX, int topDown, int deinterlace, const uint8_t *lut) {
    withFetch8(lut, [&](auto f) {
        placeMosaic<Bgr24>(dst, src, width, height, blueRow, greenFirst, flipX, topDown,
                           deinterlace, f);
    });
}

void FirstCopy32(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height, int blueRow,
                 int greenFirst, int flipX, int topDown, int deinterlace, const uint8_t *lut) {
    withFetch8(lut, [&](auto f) {
        placeMosaic<Bgr32>(dst, src, width, height, blueRow, greenFirst, flipX, topDown,
                           deinterlace, f);
    });
}

void FirstCopy16to8(uint8_t *dst, const uint16_t *src, uint32_t width, uint32_t height, int blueRow,
                    int greenFirst, int flipX, int topDown, int deinterlace, int msbFirst,
                    const uint16_t *lut) {
    withFetch16to8(msbFirst, lut, [&](auto f) {
        placeMosaic<Bgr24>(dst, src, width, height, blueRow, greenFirst, flipX, topDown,
                           deinterlace, f);
    });
}

void FirstCopy16to832(uint8_t *dst, const uint16_t *src, uint32_t width, uint32_t height,
                      int blueRow, int greenFirst, int flipX, int topDown, int deinterlace,
                      int msbFirst, const uint16_t *lut) {
    withFetch16to8(msbFirst, lut, [&](auto f) {
        placeMosaic<Bgr32>(dst, src, width, height, blueRow, greenFirst, flipX, topDown,
                           deinterlace, f);
    });
}

void FirstCopy16(uint16_t *dst, const uint16_t *src, uint32_t width, uint32_t height, int blueRow,
                 int greenFirst, int flipX, int topDown, int deinterlace, int msbFirst,
                 const uint16_t *lut) {
    withFetch16(msbFirst, lut, [&](auto f) {
        placeMosaic<Bgr48>(dst, src, width, height, blueRow, greenFirst, flipX, topDown,
                           deinterlace, f);
    });
}

void FirstCopyFourColors32(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                           int blueRow, int greenFirst, int flipX, int topDown, int deinterlace,
                           const uint8_t *lut) {
    withFetch8(lut, [&](auto f) {
        placeMosaic<Bgr32, true>(dst, src, width, height, blueRow, greenFirst, flipX, topDown,
                                 deinterlace, f);
    });
}

}  // extern "C"
