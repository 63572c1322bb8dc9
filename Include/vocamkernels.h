/* VoCamSDK demosaic kernels.
 *
 * Stateless routines that turn one raw frame (Bayer mosaic or monochrome, 8-bit
 * or 16-bit samples) into an interleaved picture. They allocate nothing, keep
 * nothing between calls, report nothing and cannot fail.
 *
 * Common arguments, always in this relative order where a kernel has them:
 *   dst          destination picture (bytes, or 16-bit values for 48-bit output)
 *   src          raw frame, width x height samples without row padding
 *   width,height even and at least 4
 *   blueRow      nonzero: source row 0 is a blue row (G/B sites), else a red row
 *   greenFirst   nonzero: pixel 0 of row 0 is a green site
 *   flipX        nonzero: mirror horizontally
 *   topDown      nonzero: source row 0 is the first row in memory; zero stores
 *                the picture bottom-up
 *   deinterlace  nonzero: the frame holds two fields of height/2 rows, woven so
 *                that output row 2k is source row k and 2k+1 is height/2 + k
 *   msbFirst     16-bit sources only: the most significant byte is stored first
 *   lut          256-byte table (8-bit sources) or 65536 16-bit entries (16-bit
 *                sources), or NULL
 *
 * Pixel layouts: 24-bit = three bytes, byte 0 holding the colour of the rows
 * blueRow calls blue rows, byte 1 green, byte 2 the colour of the other rows;
 * 32-bit = the same plus a fourth byte that only NoneMove32 and the
 * four-colour kernels write; 48-bit = three 16-bit values in the same order;
 * grey = one byte. The colour engine passes blueRow inverted (nonzero when
 * row 0 holds red sites), so its pictures, and those of
 * vocam_convert_frame_to_rgb, are red, green, blue.
 * Row strides in bytes: NoneMove and NoneMove16to8: 3 x width rounded up to a
 * multiple of 4; MonoToMonoMove and MonoToMonoMove16to8: width rounded up to a
 * multiple of 4; the Deinterl mono kernels: width; every other kernel 3, 4 or 6
 * bytes per pixel without padding.
 *
 * Names that C++ overloads (the selector forms of NearestNeighbor... and
 * EdgeDetectMove..., the 16-bit forms of FlipBgrAround and QarexMoveJob) carry
 * a distinct name in C (...Select, ...16); C++ callers also see the overloads.
 */
#ifndef VOCAMKERNELS_H
#define VOCAMKERNELS_H

#include <stdint.h>

#include "vocamapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Grey and monochrome kernels ------------------------------------------ */

/* Each sample into all three channels; rows padded to a multiple of 4 bytes. */
VOCAM_API void NoneMove(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                        int flipX, int topDown, const uint8_t *lut);
/* Each pixel stored as one 32-bit word with byte 3 = 0. */
VOCAM_API void NoneMove32(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                          int flipX, int topDown, const uint8_t *lut);
VOCAM_API void NoneMove16to8(uint8_t *dst, const uint16_t *src, uint32_t width, uint32_t height,
                             int flipX, int topDown, int msbFirst, const uint16_t *lut);
/* Byte 3 of each pixel is left as dst held it. */
VOCAM_API void NoneMove16to832(uint8_t *dst, const uint16_t *src, uint32_t width, uint32_t height,
                               int flipX, int topDown, int msbFirst, const uint16_t *lut);

/* Two-pass grey entries (unpadded rows). */
VOCAM_API void NoneMoveInPlace(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                               int flipX, int topDown, int deinterlace, const uint8_t *lut);
VOCAM_API void NoneMove32InPlace(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                                 int flipX, int topDown, int deinterlace, const uint8_t *lut);
VOCAM_API void NoneMove16to8InPlace(uint8_t *dst, const uint16_t *src, uint32_t width,
                                    uint32_t height, int flipX, int topDown, int deinterlace,
                                    int msbFirst, const uint16_t *lut);
VOCAM_API void NoneMove16to832InPlace(uint8_t *dst, const uint16_t *src, uint32_t width,
                                      uint32_t height, int flipX, int topDown, int deinterlace,
                                      int msbFirst, const uint16_t *lut);
VOCAM_API void NoneMove16InPlace(uint16_t *dst, const uint16_t *src, uint32_t width,
                                 uint32_t height, int flipX, int topDown, int deinterlace,
                                 int msbFirst, const uint16_t *lut);

/* Second grey passes: copy each pixel's placed channel into the other two. The
 * phase is that of the first row in memory. */
VOCAM_API void SecondNoneMove(uint8_t *dst, uint32_t width, uint32_t height, int blueRow,
                              int greenFirst);
VOCAM_API void SecondNoneMove32(uint8_t *dst, uint32_t width, uint32_t height, int blueRow,
                                int greenFirst);
VOCAM_API void SecondNoneMove16(uint16_t *dst, uint32_t width, uint32_t height, int blueRow,
                                int greenFirst);

/* 8-bit grey output. MonoToMonoMove and MonoToMonoMove16to8 pad rows to a
 * multiple of 4 bytes; the Deinterl forms weave two fields into unpadded rows. */
VOCAM_API void MonoToMonoMove(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                              int flipX, int topDown, const uint8_t *lut);
VOCAM_API void MonoToMonoMove16to8(uint8_t *dst, const uint16_t *src, uint32_t width,
                                   uint32_t height, int flipX, int topDown, int msbFirst,
                                   const uint16_t *lut);
VOCAM_API void MonoToMonoMoveDeinterl(uint8_t *dst, const uint8_t *src, uint32_t width,
                                      uint32_t height, int flipX, int topDown, const uint8_t *lut);
VOCAM_API void MonoToMonoMove16to8Deinterl(uint8_t *dst, const uint16_t *src, uint32_t width,
                                           uint32_t height, int flipX, int topDown, int msbFirst,
                                           const uint16_t *lut);

/* ---- Nearest neighbour ------------------------------------------------------ */

/* One-pass kernels, no table. The 16to8 and 16to832 forms read one byte per
 * sample, every second byte from src on: src points at the byte to use of the
 * first sample. */
VOCAM_API void NearestNeighbor(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                               int blueRow, int greenFirst, int topDown);
VOCAM_API void NearestNeighborFlipX(uint8_t *dst, const uint8_t *src, uint32_t width,
                                    uint32_t height, int blueRow, int greenFirst, int topDown);
VOCAM_API void NearestNeighbor32(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                                 int blueRow, int greenFirst, int topDown);
VOCAM_API void NearestNeighbor32FlipX(uint8_t *dst, const uint8_t *src, uint32_t width,
                                      uint32_t height, int blueRow, int greenFirst, int topDown);
VOCAM_API void NearestNeighbor16to8(uint8_t *dst, const uint8_t *src, uint32_t width,
                                    uint32_t height, int blueRow, int greenFirst, int topDown);
VOCAM_API void NearestNeighbor16to8FlipX(uint8_t *dst, const uint8_t *src, uint32_t width,
                                         uint32_t height, int blueRow, int greenFirst, int topDown);
VOCAM_API void NearestNeighbor16to832(uint8_t *dst, const uint8_t *src, uint32_t width,
                                      uint32_t height, int blueRow, int greenFirst, int topDown);
VOCAM_API void NearestNeighbor16to832FlipX(uint8_t *dst, const uint8_t *src, uint32_t width,
                                           uint32_t height, int blueRow, int greenFirst,
                                           int topDown);

/* Selectors: with a table the two-pass entry (deinterlace 0), otherwise the
 * one-pass kernel, mirrored or not. C++ callers reach them as the nine- and
 * ten-argument overloads of NearestNeighbor, NearestNeighbor32,
 * NearestNeighbor16to8 and NearestNeighbor16to832. */
VOCAM_API void NearestNeighborSelect(uint8_t *dst, const uint8_t *src, uint32_t width,
                                     uint32_t height, int blueRow, int greenFirst, int flipX,
                                     int topDown, const uint8_t *lut);
VOCAM_API void NearestNeighbor32Select(uint8_t *dst, const uint8_t *src, uint32_t width,
                                       uint32_t height, int blueRow, int greenFirst, int flipX,
                                       int topDown, const uint8_t *lut);
VOCAM_API void NearestNeighbor16to8Select(uint8_t *dst, const uint16_t *src, uint32_t width,
                                          uint32_t height, int blueRow, int greenFirst, int flipX,
                                          int topDown, int msbFirst, const uint16_t *lut);
VOCAM_API void NearestNeighbor16to832Select(uint8_t *dst, const uint16_t *src, uint32_t width,
                                            uint32_t height, int blueRow, int greenFirst, int flipX,
                                            int topDown, int msbFirst, const uint16_t *lut);

/* Two-pass entries: FirstCopy... then SecondNearestNeighbor... */
VOCAM_API void NearestNeighborInPlace(uint8_t *dst, const uint8_t *src, uint32_t width,
                                      uint32_t height, int blueRow, int greenFirst, int flipX,
                                      int topDown, int deinterlace, const uint8_t *lut);
VOCAM_API void NearestNeighbor32InPlace(uint8_t *dst, const uint8_t *src, uint32_t width,
                                        uint32_t height, int blueRow, int greenFirst, int flipX,
                                        int topDown, int deinterlace, const uint8_t *lut);
VOCAM_API void NearestNeighbor16to8InPlace(uint8_t *dst, const uint16_t *src, uint32_t width,
                                           uint32_t height, int blueRow, int greenFirst, int flipX,
                                           int topDown, int deinterlace, int msbFirst,
                                           const uint16_t *lut);
VOCAM_API void NearestNeighbor16to832InPlace(uint8_t *dst, const uint16_t *src, uint32_t width,
                                             uint32_t height, int blueRow, int greenFirst,
                                             int flipX, int topDown, int deinterlace, int msbFirst,
                                             const uint16_t *lut);
VOCAM_API void NearestNeighbor16InPlace(uint16_t *dst, const uint16_t *src, uint32_t width,
                                        uint32_t height, int blueRow, int greenFirst, int flipX,
                                        int topDown, int deinterlace, int msbFirst,
                                        const uint16_t *lut);

VOCAM_API void SecondNearestNeighbor(uint8_t *dst, uint32_t width, uint32_t height, int blueRow,
                                     int greenFirst);
VOCAM_API void SecondNearestNeighbor32(uint8_t *dst, uint32_t width, uint32_t height, int blueRow,
                                       int greenFirst);
VOCAM_API void SecondNearestNeighbor16(uint16_t *dst, uint32_t width, uint32_t height, int blueRow,
                                       int greenFirst);

/* ---- First passes (placed mosaic) -------------------------------------------- */

/* Each sample, fetched through the table and byte order, into the channel of
 * its own site; the other channels keep what dst held. */
VOCAM_API void FirstCopy(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                         int blueRow, int greenFirst, int flipX, int topDown, int deinterlace,
                         const uint8_t *lut);
VOCAM_API void FirstCopy32(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                           int blueRow, int greenFirst, int flipX, int topDown, int deinterlace,
                           const uint8_t *lut);
VOCAM_API void FirstCopy16to8(uint8_t *dst, const uint16_t *src, uint32_t width, uint32_t height,
                              int blueRow, int greenFirst, int flipX, int topDown, int deinterlace,
                              int msbFirst, const uint16_t *lut);
VOCAM_API void FirstCopy16to832(uint8_t *dst, const uint16_t *src, uint32_t width, uint32_t height,
                                int blueRow, int greenFirst, int flipX, int topDown,
                                int deinterlace, int msbFirst, const uint16_t *lut);
VOCAM_API void FirstCopy16(uint16_t *dst, const uint16_t *src, uint32_t width, uint32_t height,
                           int blueRow, int greenFirst, int flipX, int topDown, int deinterlace,
                           int msbFirst, const uint16_t *lut);
/* Four-colour layout: byte 0 blue, 1 Gb, 2 red, 3 Gr. */
VOCAM_API void FirstCopyFourColors32(uint8_t *dst, const uint8_t *src, uint32_t width,
                                     uint32_t height, int blueRow, int greenFirst, int flipX,
                                     int topDown, int deinterlace, const uint8_t *lut);

/* ---- 2x2-block interpolation ---------------------------------------------------- */

VOCAM_API void UlmetMoveInPlace(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                                int blueRow, int greenFirst, int flipX, int topDown,
                                int deinterlace, const uint8_t *lut);
VOCAM_API void UlmetMove32InPlace(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                                  int blueRow, int greenFirst, int flipX, int topDown,
                                  int deinterlace, const uint8_t *lut);
VOCAM_API void UlmetMove16to8InPlace(uint8_t *dst, const uint16_t *src, uint32_t width,
                                     uint32_t height, int blueRow, int greenFirst, int flipX,
                                     int topDown, int deinterlace, int msbFirst,
                                     const uint16_t *lut);
VOCAM_API void UlmetMove16to832InPlace(uint8_t *dst, const uint16_t *src, uint32_t width,
                                       uint32_t height, int blueRow, int greenFirst, int flipX,
                                       int topDown, int deinterlace, int msbFirst,
                                       const uint16_t *lut);
VOCAM_API void UlmetMove16InPlace(uint16_t *dst, const uint16_t *src, uint32_t width,
                                  uint32_t height, int blueRow, int greenFirst, int flipX,
                                  int topDown, int deinterlace, int msbFirst, const uint16_t *lut);

VOCAM_API void SecondUlmetMove(uint8_t *dst, uint32_t width, uint32_t height, int blueRow,
                               int greenFirst);
VOCAM_API void SecondUlmetMove32(uint8_t *dst, uint32_t width, uint32_t height, int blueRow,
                                 int greenFirst);
VOCAM_API void SecondUlmetMove16(uint16_t *dst, uint32_t width, uint32_t height, int blueRow,
                                 int greenFirst);

/* ---- Four colour planes (8-bit source, 32-bit output) ---------------------------- */

VOCAM_API void FourColorsInterMove32InPlace(uint8_t *dst, const uint8_t *src, uint32_t width,
                                            uint32_t height, int blueRow, int greenFirst, int flipX,
                                            int topDown, int deinterlace, const uint8_t *lut);
VOCAM_API void SecondFourColorsInterMove32(uint8_t *dst, uint32_t width, uint32_t height,
                                           int blueRow, int greenFirst);

/* ==== Edge-detecting and gradient-corrected kernels ================================
 * EdgeDetectMove... (one-pass, selectors as EdgeDetectMove...Select, two-pass
 * entries, second passes), QarexMove..., QarexMoveJob, QarexMoveJob16,
 * QarexMoveJob32, FlipBgrAround, FlipBgrAround16, FlipBgrAround32.
 * ---- begin edge-detecting and gradient-corrected declarations ---- */

/* One-pass kernels, no table. The 16to8 and 16to832 forms read one byte per
 * sample, every second byte from src on: src points at the byte to use of the
 * first sample. The corners of blue rows in the four 8-bit-source kernels take
 * their green as the sum of the two halved neighbours. */
VOCAM_API void EdgeDetectMove(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                              int blueRow, int greenFirst, int topDown);
VOCAM_API void EdgeDetectMoveFlipX(uint8_t *dst, const uint8_t *src, uint32_t width,
                                   uint32_t height, int blueRow, int greenFirst, int topDown);
VOCAM_API void EdgeDetectMove32(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                                int blueRow, int greenFirst, int topDown);
VOCAM_API void EdgeDetectMove32FlipX(uint8_t *dst, const uint8_t *src, uint32_t width,
                                     uint32_t height, int blueRow, int greenFirst, int topDown);
VOCAM_API void EdgeDetectMove16to8(uint8_t *dst, const uint8_t *src, uint32_t width,
                                   uint32_t height, int blueRow, int greenFirst, int topDown);
VOCAM_API void EdgeDetectMove16to8FlipX(uint8_t *dst, const uint8_t *src, uint32_t width,
                                        uint32_t height, int blueRow, int greenFirst, int topDown);
VOCAM_API void EdgeDetectMove16to832(uint8_t *dst, const uint8_t *src, uint32_t width,
                                     uint32_t height, int blueRow, int greenFirst, int topDown);
VOCAM_API void EdgeDetectMove16to832FlipX(uint8_t *dst, const uint8_t *src, uint32_t width,
                                          uint32_t height, int blueRow, int greenFirst,
                                          int topDown);

/* Selectors: with a table the two-pass entry (deinterlace 0), otherwise the
 * one-pass kernel, mirrored or not. C++ callers reach them as the nine- and
 * ten-argument overloads of EdgeDetectMove, EdgeDetectMove32,
 * EdgeDetectMove16to8 and EdgeDetectMove16to832. */
VOCAM_API void EdgeDetectMoveSelect(uint8_t *dst, const uint8_t *src, uint32_t width,
                                    uint32_t height, int blueRow, int greenFirst, int flipX,
                                    int topDown, const uint8_t *lut);
VOCAM_API void EdgeDetectMove32Select(uint8_t *dst, const uint8_t *src, uint32_t width,
                                      uint32_t height, int blueRow, int greenFirst, int flipX,
                                      int topDown, const uint8_t *lut);
VOCAM_API void EdgeDetectMove16to8Select(uint8_t *dst, const uint16_t *src, uint32_t width,
                                         uint32_t height, int blueRow, int greenFirst, int flipX,
                                         int topDown, int msbFirst, const uint16_t *lut);
VOCAM_API void EdgeDetectMove16to832Select(uint8_t *dst, const uint16_t *src, uint32_t width,
                                           uint32_t height, int blueRow, int greenFirst, int flipX,
                                           int topDown, int msbFirst, const uint16_t *lut);

/* Two-pass entries: placement (table, byte order, weaving, orientation), then
 * SecondEdgeDetectMove... with the phase of the first row in memory. */
VOCAM_API void EdgeDetectMoveInPlace(uint8_t *dst, const uint8_t *src, uint32_t width,
                                     uint32_t height, int blueRow, int greenFirst, int flipX,
                                     int topDown, int deinterlace, const uint8_t *lut);
VOCAM_API void EdgeDetectMove32InPlace(uint8_t *dst, const uint8_t *src, uint32_t width,
                                       uint32_t height, int blueRow, int greenFirst, int flipX,
                                       int topDown, int deinterlace, const uint8_t *lut);
VOCAM_API void EdgeDetectMove16to8InPlace(uint8_t *dst, const uint16_t *src, uint32_t width,
                                          uint32_t height, int blueRow, int greenFirst, int flipX,
                                          int topDown, int deinterlace, int msbFirst,
                                          const uint16_t *lut);
VOCAM_API void EdgeDetectMove16to832InPlace(uint8_t *dst, const uint16_t *src, uint32_t width,
                                            uint32_t height, int blueRow, int greenFirst, int flipX,
                                            int topDown, int deinterlace, int msbFirst,
                                            const uint16_t *lut);
VOCAM_API void EdgeDetectMove16InPlace(uint16_t *dst, const uint16_t *src, uint32_t width,
                                       uint32_t height, int blueRow, int greenFirst, int flipX,
                                       int topDown, int deinterlace, int msbFirst,
                                       const uint16_t *lut);

/* Second passes on a placed mosaic; the phase is that of the first memory row. */
VOCAM_API void SecondEdgeDetectMove(uint8_t *dst, uint32_t width, uint32_t height, int blueRow,
                                    int greenFirst);
VOCAM_API void SecondEdgeDetectMove32(uint8_t *dst, uint32_t width, uint32_t height, int blueRow,
                                      int greenFirst);
VOCAM_API void SecondEdgeDetectMove16(uint16_t *dst, uint32_t width, uint32_t height, int blueRow,
                                      int greenFirst);

/* Gradient-corrected entries: place the mosaic, interpolate it in place with
 * QarexMoveJob..., then mirror it with FlipBgrAround... (flipY = !topDown). */
VOCAM_API void QarexMove(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                         int blueRow, int greenFirst, int flipX, int topDown, int deinterlace,
                         const uint8_t *lut);
VOCAM_API void QarexMove32(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                           int blueRow, int greenFirst, int flipX, int topDown, int deinterlace,
                           const uint8_t *lut);
VOCAM_API void QarexMove16to8(uint8_t *dst, const uint16_t *src, uint32_t width, uint32_t height,
                              int blueRow, int greenFirst, int flipX, int topDown, int deinterlace,
                              int msbFirst, const uint16_t *lut);
VOCAM_API void QarexMove16to832(uint8_t *dst, const uint16_t *src, uint32_t width, uint32_t height,
                                int blueRow, int greenFirst, int flipX, int topDown,
                                int deinterlace, int msbFirst, const uint16_t *lut);
VOCAM_API void QarexMove16(uint16_t *dst, const uint16_t *src, uint32_t width, uint32_t height,
                           int blueRow, int greenFirst, int flipX, int topDown, int deinterlace,
                           int msbFirst, const uint16_t *lut);

/* The interpolation on a top-down placed mosaic; the phase is that of row 0.
 * QarexMoveJob16 (C++: the 16-bit QarexMoveJob overload) works on 48-bit
 * pixels; QarexMoveJob32 leaves the fourth byte alone. */
VOCAM_API void QarexMoveJob(uint8_t *dst, uint32_t width, uint32_t height, int blueRow,
                            int greenFirst);
VOCAM_API void QarexMoveJob32(uint8_t *dst, uint32_t width, uint32_t height, int blueRow,
                              int greenFirst);
VOCAM_API void QarexMoveJob16(uint16_t *dst, uint32_t width, uint32_t height, int blueRow,
                              int greenFirst);

/* In-place mirror exchanging the three colour channels of each pixel; both
 * flags turn the picture by 180 degrees. FlipBgrAround16 is the 16-bit
 * overload of FlipBgrAround in C++. */
VOCAM_API void FlipBgrAround(uint8_t *dst, uint32_t width, uint32_t height, int flipX, int flipY);
VOCAM_API void FlipBgrAround32(uint8_t *dst, uint32_t width, uint32_t height, int flipX, int flipY);
VOCAM_API void FlipBgrAround16(uint16_t *dst, uint32_t width, uint32_t height, int flipX,
                               int flipY);

/* ---- end edge-detecting and gradient-corrected declarations ---- */

#ifdef __cplusplus
} /* extern "C" */

/* The selector overloads under their family names (C++ only). */
VOCAM_API void NearestNeighbor(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                               int blueRow, int greenFirst, int flipX, int topDown,
                               const uint8_t *lut);
VOCAM_API void NearestNeighbor32(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                                 int blueRow, int greenFirst, int flipX, int topDown,
                                 const uint8_t *lut);
VOCAM_API void NearestNeighbor16to8(uint8_t *dst, const uint16_t *src, uint32_t width,
                                    uint32_t height, int blueRow, int greenFirst, int flipX,
                                    int topDown, int msbFirst, const uint16_t *lut);
VOCAM_API void NearestNeighbor16to832(uint8_t *dst, const uint16_t *src, uint32_t width,
                                      uint32_t height, int blueRow, int greenFirst, int flipX,
                                      int topDown, int msbFirst, const uint16_t *lut);

/* ---- begin edge-detecting and gradient-corrected C++ overloads ---- */

VOCAM_API void EdgeDetectMove(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                              int blueRow, int greenFirst, int flipX, int topDown,
                              const uint8_t *lut);
VOCAM_API void EdgeDetectMove32(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                                int blueRow, int greenFirst, int flipX, int topDown,
                                const uint8_t *lut);
VOCAM_API void EdgeDetectMove16to8(uint8_t *dst, const uint16_t *src, uint32_t width,
                                   uint32_t height, int blueRow, int greenFirst, int flipX,
                                   int topDown, int msbFirst, const uint16_t *lut);
VOCAM_API void EdgeDetectMove16to832(uint8_t *dst, const uint16_t *src, uint32_t width,
                                     uint32_t height, int blueRow, int greenFirst, int flipX,
                                     int topDown, int msbFirst, const uint16_t *lut);
VOCAM_API void QarexMoveJob(uint16_t *dst, uint32_t width, uint32_t height, int blueRow,
                            int greenFirst);
VOCAM_API void FlipBgrAround(uint16_t *dst, uint32_t width, uint32_t height, int flipX, int flipY);

/* ---- end edge-detecting and gradient-corrected C++ overloads ---- */
#endif

#endif /* VOCAMKERNELS_H */
