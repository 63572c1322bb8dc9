// Frame conversion: per-call records, kernel selection and the fixed-point
// colour-matrix stage that runs over the kernel's picture.
#include "votf/colora.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <new>
#include <thread>

#include "color/band_pool.h"
#include "color/row_kernels.h"
#include "vocamkernels.h"
#include "votf/layout.h"
#include "votf/votf.h"

namespace {

using std::int32_t;
using std::int64_t;
using std::size_t;
using std::uint16_t;
using std::uint32_t;
using std::uint8_t;

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

void MatrixPostProcess4096(const short *m, unsigned char *pixels, unsigned long count) {
    vocam::colour::matrix24(m, pixels, pixels, count);
}

void MatrixPostProcess4096to32(const short *m, unsigned char *pixels, unsigned long count) {
    vocam::colour::matrix32(m, pixels, pixels, count);
}

void MatrixPostProcess16_4096(const short *m, unsigned short *pixels, unsigned long count) {
    vocam::colour::matrix48(m, pixels, pixels, count);
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
    if (imageFormat == nullptr)
        return ConvertToRgb(dst, src, bits, static_cast<const vo::FrameLayout *>(nullptr), params);
    vo::FrameLayout l;
    if (!vo::decodeImageFormat(imageFormat, l)) return VOCAM_EINVAL;
    return ConvertToRgb(dst, src, bits, &l, params);
}

int CVotf::ConvertToRgb(unsigned char *dst, const unsigned char *src, unsigned bits,
                        const vo::FrameLayout *layout, const void *params) noexcept {
    _votf_format f = format;
    _votf_settings s = settings;
    s.matrixDirty = 1;

    if (layout != nullptr) {
        const vo::FrameLayout &l = *layout;
        f.bottomUp = l.bottomUp();
        f.height = l.height;
        if (l.pixelFormat == 0)
            f.sampleFormat = 0;
        else if (l.pixelFormat == 1)
            f.sampleFormat = l.lsbFirst() ? 2 : 1;
        else
            return VOCAM_EUNSUPPORTED;
        f.firstRowBlue = l.blueRow();
        f.greenFirst = l.greenFirst();
        f.deinterlace = l.deinterlace;
        f.mono = l.mono();
        f.width = l.width;
    }

    if (params != nullptr) {
        const auto *b = static_cast<const uint8_t *>(params);
        const uint32_t size = LoadLe32(b);
        if (size != kConversionParamsShort && size != kConversionParamsFull) return VOCAM_EINVAL;
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
                    return VOCAM_EUNSUPPORTED;
            } else {
                s.gain = LoadLeFloat(b + 32);
                s.whiteBalanceU = LoadLeFloat(b + 36) / 100.0;
                s.whiteBalanceV = LoadLeFloat(b + 40) / 100.0;
            }
        }
    }

    if (!FrameSizeServed(f.width, f.height)) return VOCAM_EINVAL;
    // Refuses correction ids beyond the sixteen slots.
    if (!BuildMatrix(&s)) return VOCAM_EUNSUPPORTED;
    s.matrixDirty = 0;

    s.toneTable16 = nullptr;
    if (f.sampleFormat != 0 && s.toneTable != nullptr && s.toneTableSize != 0)
        s.toneTable16 =
            const_cast<std::uint16_t *>(ConversionLut16(lut16Cache_, s, f.sampleFormat == 2));

    // Without the band state (no memory) the frame still converts whole.
    if (!bands) bands.reset(new (std::nothrow) vocam::colour::ConversionBands);
    return ConvertBayerToRgb(dst, src, bits, &f, &s) == 1 ? 0 : -14;
}

int CVotf::SetConversionThreads(unsigned threads) noexcept {
    if (threads > vocam::colour::ConversionBands::kMaxThreads) return VOCAM_EINVAL;
    if (!bands) bands.reset(new (std::nothrow) vocam::colour::ConversionBands);
    if (!bands) return VOCAM_ENOMEM;
    bands->threads = threads == 0 ? vocam::colour::ConversionBands::DefaultThreads() : threads;
    return 0;
}

unsigned CVotf::GetConversionThreads() const noexcept {
    return bands ? bands->threads : vocam::colour::ConversionBands::DefaultThreads();
}

// ---- kernel table -------------------------------------------------------------------------

namespace {

// Everything a kernel of the driver may take; each entry reads what its
// kernel's argument list names.
struct KernelArgs {
    uint8_t *dst;
    const uint8_t *src;
    uint32_t w, h;
    int blueRow, greenFirst, flipX, topDown;
    int deinterlace;  // 1 or 0, except for 48-bit output: the stored value
    int msbFirst;
    const uint8_t *lut8;
    const uint16_t *lut16;
    // Read by the entries marked `rows` only: the colour matrix they apply
    // (null: none) and the rows of their walk they produce.
    const short *matrix;
    uint32_t rowBegin, rowEnd;

    vocam::kernels::RowJob job() const { return {matrix, rowBegin, rowEnd}; }
    uint16_t *dst16() const { return reinterpret_cast<uint16_t *>(dst); }
    const uint16_t *src16() const { return reinterpret_cast<const uint16_t *>(src); }
};
using KernelFn = void (*)(const KernelArgs &);

enum class Out : uint8_t { kGrey8, k24, k32, k48 };
enum class Depth : uint8_t { k8, k16 };
constexpr int8_t kAnyWeave = -1;

struct KernelEntry {
    unsigned method;  // monochrome frames use the entries of method 0
    Depth depth;
    Out out;
    int8_t weave;  // 0, 1 or kAnyWeave
    KernelFn run;
    // Rows padded to 4 bytes (the 24-bit grey kernels).
    bool padded = false;
    // Applies the colour matrix itself and produces any run of rows of its
    // walk straight into dst (color/row_kernels.h).
    bool rows = false;
    // A rows kernel whose own matrix step is faster than running the matrix
    // stage over each band of its rows while they are still in the cache.
    // The others must walk dst's rows in memory order, whatever the flips,
    // for the band's stage to find them.
    bool matrixInLoop = false;
};

// Argument lists of the kernel families, 8-bit and 16-bit samples.
#define GREY8(fn) \
    [](const KernelArgs &a) { fn(a.dst, a.src, a.w, a.h, a.flipX, a.topDown, a.lut8); }
#define GREY8W(fn)                                                             \
    [](const KernelArgs &a) {                                                  \
        fn(a.dst, a.src, a.w, a.h, a.flipX, a.topDown, a.deinterlace, a.lut8); \
    }
#define GREY16(fn)                                                               \
    [](const KernelArgs &a) {                                                    \
        fn(a.dst, a.src16(), a.w, a.h, a.flipX, a.topDown, a.msbFirst, a.lut16); \
    }
#define GREY16W(fn)                                                                             \
    [](const KernelArgs &a) {                                                                   \
        fn(a.dst, a.src16(), a.w, a.h, a.flipX, a.topDown, a.deinterlace, a.msbFirst, a.lut16); \
    }
#define COLOUR8W(fn)                                                                           \
    [](const KernelArgs &a) {                                                                  \
        fn(a.dst, a.src, a.w, a.h, a.blueRow, a.greenFirst, a.flipX, a.topDown, a.deinterlace, \
           a.lut8);                                                                            \
    }
#define COLOUR16W(fn)                                                                              \
    [](const KernelArgs &a) {                                                                      \
        fn(a.dst, a.src16(), a.w, a.h, a.blueRow, a.greenFirst, a.flipX, a.topDown, a.deinterlace, \
           a.msbFirst, a.lut16);                                                                   \
    }
#define ROWS8(fn, out32)                                                                       \
    [](const KernelArgs &a) {                                                                  \
        fn(a.dst, a.src, a.w, a.h, a.blueRow, a.greenFirst, a.flipX, a.topDown, a.lut8, out32, \
           a.job());                                                                           \
    }
#define ROWS16(fn, out32)                                                                       \
    [](const KernelArgs &a) {                                                                   \
        fn(a.dst, a.src16(), a.w, a.h, a.blueRow, a.greenFirst, a.flipX, a.topDown, a.msbFirst, \
           a.lut16, out32, a.job());                                                            \
    }
#define ROWS8W(fn, out32)                                                                      \
    [](const KernelArgs &a) {                                                                  \
        fn(a.dst, a.src, a.w, a.h, a.blueRow, a.greenFirst, a.flipX, a.topDown, a.deinterlace, \
           a.lut8, out32, a.job());                                                            \
    }
#define ROWS16W(fn, out32)                                                                         \
    [](const KernelArgs &a) {                                                                      \
        fn(a.dst, a.src16(), a.w, a.h, a.blueRow, a.greenFirst, a.flipX, a.topDown, a.deinterlace, \
           a.msbFirst, a.lut16, out32, a.job());                                                   \
    }
#define WIDE16(fn)                                                                      \
    [](const KernelArgs &a) {                                                           \
        fn(a.dst16(), a.src16(), a.w, a.h, a.blueRow, a.greenFirst, a.flipX, a.topDown, \
           a.deinterlace, a.msbFirst, a.lut16);                                         \
    }

// (method, sample depth, output, deinterlace) -> kernel. A combination
// missing here is refused without touching dst.
const KernelEntry kKernels[] = {
    // Method 0, and every monochrome frame.
    {0, Depth::k8, Out::kGrey8, 0, GREY8(MonoToMonoMove)},
    {0, Depth::k8, Out::kGrey8, 1, GREY8(MonoToMonoMoveDeinterl)},
    {0, Depth::k16, Out::kGrey8, 0, GREY16(MonoToMonoMove16to8)},
    {0, Depth::k16, Out::kGrey8, 1, GREY16(MonoToMonoMove16to8Deinterl)},
    {0, Depth::k8, Out::k24, 0, GREY8(NoneMove), true},
    {0, Depth::k8, Out::k24, 1, GREY8W(NoneMoveInPlace)},
    {0, Depth::k8, Out::k32, 0, GREY8(NoneMove32)},
    {0, Depth::k8, Out::k32, 1, GREY8W(NoneMove32InPlace)},
    {0, Depth::k16, Out::k24, 0, GREY16(NoneMove16to8), true},
    {0, Depth::k16, Out::k24, 1, GREY16W(NoneMove16to8InPlace)},
    {0, Depth::k16, Out::k32, 0, GREY16(NoneMove16to832)},
    {0, Depth::k16, Out::k32, 1, GREY16W(NoneMove16to832InPlace)},
    {0, Depth::k16, Out::k48, kAnyWeave,
     [](const KernelArgs &a) {
         NoneMove16InPlace(a.dst16(), a.src16(), a.w, a.h, a.flipX, a.topDown, a.deinterlace,
                           a.msbFirst, a.lut16);
     }},
    // Method 1.
    {1, Depth::k8, Out::k24, 0, ROWS8(vocam::kernels::nearestRows8, false), false, true, true},
    {1, Depth::k8, Out::k24, 1, COLOUR8W(NearestNeighborInPlace)},
    {1, Depth::k8, Out::k32, 0, ROWS8(vocam::kernels::nearestRows8, true), false, true, true},
    {1, Depth::k8, Out::k32, 1, COLOUR8W(NearestNeighbor32InPlace)},
    {1, Depth::k16, Out::k24, 0, ROWS16(vocam::kernels::nearestRows16to8, false), false, true,
     true},
    {1, Depth::k16, Out::k24, 1, COLOUR16W(NearestNeighbor16to8InPlace)},
    {1, Depth::k16, Out::k32, 0, ROWS16(vocam::kernels::nearestRows16to8, true), false, true, true},
    {1, Depth::k16, Out::k32, 1, COLOUR16W(NearestNeighbor16to832InPlace)},
    {1, Depth::k16, Out::k48, kAnyWeave, WIDE16(NearestNeighbor16InPlace)},
    // Method 2.
    {2, Depth::k8, Out::k24, 0, ROWS8(vocam::kernels::edgeRows8, false), false, true, true},
    {2, Depth::k8, Out::k24, 1, COLOUR8W(EdgeDetectMoveInPlace)},
    {2, Depth::k8, Out::k32, 0, ROWS8(vocam::kernels::edgeRows8, true), false, true, true},
    {2, Depth::k8, Out::k32, 1, COLOUR8W(EdgeDetectMove32InPlace)},
    {2, Depth::k16, Out::k24, 0, ROWS16(vocam::kernels::edgeRows16to8, false), false, true, true},
    {2, Depth::k16, Out::k24, 1, COLOUR16W(EdgeDetectMove16to8InPlace)},
    {2, Depth::k16, Out::k32, 0, ROWS16(vocam::kernels::edgeRows16to8, true), false, true, true},
    {2, Depth::k16, Out::k32, 1, COLOUR16W(EdgeDetectMove16to832InPlace)},
    {2, Depth::k16, Out::k48, kAnyWeave, WIDE16(EdgeDetectMove16InPlace)},
    // Method 3.
    {3, Depth::k8, Out::k24, kAnyWeave, COLOUR8W(QarexMove)},
    {3, Depth::k8, Out::k32, kAnyWeave, COLOUR8W(QarexMove32)},
    {3, Depth::k16, Out::k24, kAnyWeave, COLOUR16W(QarexMove16to8)},
    {3, Depth::k16, Out::k32, kAnyWeave, COLOUR16W(QarexMove16to832)},
    {3, Depth::k16, Out::k48, kAnyWeave, WIDE16(QarexMove16)},
    // Method 8.
    {8, Depth::k8, Out::k24, kAnyWeave, ROWS8W(vocam::kernels::ulmetRows8, false), false, true},
    {8, Depth::k8, Out::k32, kAnyWeave, ROWS8W(vocam::kernels::ulmetRows8, true), false, true},
    {8, Depth::k16, Out::k24, kAnyWeave, ROWS16W(vocam::kernels::ulmetRows16to8, false), false,
     true},
    {8, Depth::k16, Out::k32, kAnyWeave, ROWS16W(vocam::kernels::ulmetRows16to8, true), false,
     true},
    {8, Depth::k16, Out::k48, kAnyWeave, WIDE16(UlmetMove16InPlace)},
    // Method 9: four colour planes where the output has room for them, the
    // 2x2 block elsewhere.
    {9, Depth::k8, Out::k24, 0, ROWS8W(vocam::kernels::ulmetRows8, false), false, true},
    {9, Depth::k8, Out::k32, kAnyWeave, COLOUR8W(FourColorsInterMove32InPlace)},
    {9, Depth::k16, Out::k24, kAnyWeave, ROWS16W(vocam::kernels::ulmetRows16to8, false), false,
     true},
    {9, Depth::k16, Out::k32, kAnyWeave, ROWS16W(vocam::kernels::ulmetRows16to8, true), false,
     true},
};

#undef GREY8
#undef GREY8W
#undef GREY16
#undef GREY16W
#undef COLOUR8W
#undef COLOUR16W
#undef WIDE16
#undef ROWS8
#undef ROWS16
#undef ROWS8W
#undef ROWS16W

const KernelEntry *FindKernel(unsigned method, Depth depth, Out out, bool weave) {
    for (const KernelEntry &e : kKernels)
        if (e.method == method && e.depth == depth && e.out == out &&
            (e.weave == kAnyWeave || (e.weave != 0) == weave))
            return &e;
    return nullptr;
}

// ---- row bands --------------------------------------------------------------------------

// Rows above and below a band that its kernel reads, even so that every band
// starts on the phase of row 0. Within this reach of a band's ends the
// kernel's rows match the whole-frame picture; the rows beyond are the ones a
// kernel treats as the frame's border and are thrown away.
uint32_t HaloRows(unsigned method) {
    switch (method) {
        case 0:
            return 0;
        case 3:
            return 4;
        default:
            return 2;
    }
}

// Output bytes a band aims at: with its source rows and the scratch it
// leaves room in a 1 MiB second-level cache.
constexpr size_t kBandBytes = 384 * 1024;
// A kernel run over a band treats the band's first and last rows as picture
// edges, which it computes on the slow scalar path before the rows around
// them are thrown away. With the few rows that fit kBandBytes those edges
// cost more than the cache saves, so a kernel that reads rows around its
// own gets bands at least this tall.
constexpr uint32_t kHaloBandRows = 512;

struct BandJob {
    const KernelEntry *kernel;
    KernelArgs args;
    Out out;
    const short *matrix;  // null: no matrix stage
    size_t rowBytes;      // stride of the picture
    size_t sampleBytes;
    uint32_t halo, rows;
    size_t jobs;
    vocam::colour::ConversionBands *bands;
};

void ConvertBand(void *ctx, size_t j, unsigned worker) {
    const BandJob &b = *static_cast<const BandJob *>(ctx);
    const KernelArgs &a = b.args;
    const uint32_t h = a.h;
    const auto y0 = static_cast<uint32_t>(j * b.rows);
    const uint32_t y1 = j + 1 == b.jobs ? h : y0 + b.rows;
    if (b.kernel->rows) {
        // Its rows go straight to dst, through the matrix already unless the
        // band's matrix stage follows while they are in the cache.
        KernelArgs sub = a;
        sub.rowBegin = y0;
        sub.rowEnd = y1;
        b.kernel->run(sub);
        if (b.matrix != nullptr) {
            // These kernels walk dst's rows in memory order.
            uint8_t *o = a.dst + y0 * b.rowBytes;
            const size_t pixels = size_t(y1 - y0) * a.w;
            if (b.out == Out::k32)
                vocam::colour::matrix32(b.matrix, o, o, pixels);
            else
                vocam::colour::matrix24(b.matrix, o, o, pixels);
        }
        return;
    }
    const uint32_t s0 = y0 >= b.halo ? y0 - b.halo : 0;
    const uint32_t s1 = std::min(h, y1 + b.halo);
    uint8_t *scratch = b.bands->Scratch(worker);
    // Where the band's rows lie in the scratch picture and in dst: a
    // bottom-up picture reverses the rows of both.
    const size_t from = (a.topDown ? y0 - s0 : s1 - y1) * b.rowBytes;
    const size_t to = (a.topDown ? y0 : h - y1) * b.rowBytes;
    const size_t n = y1 - y0;
    // Most 32-bit kernels keep the fourth byte of every pixel.
    if (b.out == Out::k32) std::memcpy(scratch + from, a.dst + to, n * b.rowBytes);
    KernelArgs sub = a;
    sub.src = a.src + static_cast<size_t>(s0) * a.w * b.sampleBytes;
    sub.h = s1 - s0;
    sub.dst = scratch;
    b.kernel->run(sub);

    const uint8_t *in = scratch + from;
    uint8_t *o = a.dst + to;
    const size_t pixels = n * a.w;
    if (b.matrix == nullptr) {
        if (b.kernel->padded) {
            // The pad bytes of dst are left as they were.
            for (size_t r = 0; r < n; ++r)
                std::memcpy(o + r * b.rowBytes, in + r * b.rowBytes, 3 * size_t(a.w));
        } else {
            std::memcpy(o, in, n * b.rowBytes);
        }
    } else if (b.out == Out::k48) {
        vocam::colour::matrix48(b.matrix, reinterpret_cast<const uint16_t *>(in),
                                reinterpret_cast<uint16_t *>(o), pixels);
    } else if (b.out == Out::k32) {
        vocam::colour::matrix32(b.matrix, in, o, pixels);
    } else if (b.kernel->padded) {
        for (size_t r = 0; r < n; ++r)
            vocam::colour::matrix24(b.matrix, in + r * b.rowBytes, o + r * b.rowBytes, a.w);
    } else {
        vocam::colour::matrix24(b.matrix, in, o, pixels);
    }
}

// Converts the frame in row bands when that pays: always when the matrix
// stage runs after the kernel (one pass through the cache instead of two over
// the picture), and on several threads when the frame is large. A kernel
// that applies the matrix itself needs no bands on one thread, and on several
// its bands need neither the rows around them nor scratch. false, with dst
// untouched, when the whole-frame path is to run instead.
bool ConvertInBands(vocam::colour::ConversionBands &bands, const KernelEntry &kernel,
                    const KernelArgs &a, Out out, Depth depth, unsigned method,
                    const short *matrix) noexcept {
    const size_t w = a.w;
    BandJob b{};
    b.kernel = &kernel;
    b.args = a;
    b.out = out;
    b.matrix = matrix;
    b.rowBytes = out == Out::k48   ? 6 * w
                 : out == Out::k32 ? 4 * w
                 : kernel.padded   ? PaddedStride24(a.w)
                                   : 3 * w;
    b.sampleBytes = depth == Depth::k16 ? 2 : 1;
    b.halo = HaloRows(method);
    b.bands = &bands;
    uint32_t rows = bands.bandRows;
    if (rows == 0) {
        rows = static_cast<uint32_t>(std::min<size_t>(kBandBytes / b.rowBytes, a.h));
        if (!kernel.rows && b.halo > 0) rows = std::max(rows, kHaloBandRows);
    }
    rows = std::max<uint32_t>(rows & ~1u, 4);
    if (rows >= a.h) return false;
    b.rows = rows;
    b.jobs = a.h / rows;
    const size_t pixels = w * a.h;
    unsigned workers = 1;
    if (bands.threads > 1 && pixels >= bands.parallelMinPixels)
        workers = static_cast<unsigned>(std::min<size_t>(bands.threads, b.jobs));
    vocam::colour::BandPool *pool = workers > 1 ? bands.Pool(bands.threads) : nullptr;
    if (pool == nullptr) workers = 1;
    if (workers == 1 && matrix == nullptr) return false;
    const size_t lastRows = a.h - (b.jobs - 1) * rows;
    if (!kernel.rows &&
        !bands.Reserve(pool ? pool->size() : 1, (lastRows + 2 * b.halo) * b.rowBytes))
        return false;
    if (pool != nullptr)
        pool->run(b.jobs, &ConvertBand, &b);
    else
        for (size_t j = 0; j < b.jobs; ++j) ConvertBand(&b, j, 0);
    return true;
}

}  // namespace

namespace vocam::colour {

unsigned ConversionBands::DefaultThreads() noexcept {
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : std::min(cores, kMaxThreads);
}

ConversionBands::ConversionBands() noexcept : threads(DefaultThreads()) {}

ConversionBands::~ConversionBands() = default;

BandPool *ConversionBands::Pool(unsigned n) noexcept {
    // A pool of another size is replaced: the thread count is a limit.
    if (poolAsked_ != n) {
        pool_.reset();
        poolAsked_ = n;
        pool_.reset(new (std::nothrow) BandPool(n));
        if (pool_ && pool_->size() < 2) pool_.reset();
    }
    return pool_.get();
}

bool ConversionBands::Reserve(unsigned n, size_t bytes) noexcept {
    // Vector loads and stores may touch a few bytes past a row's end.
    bytes += 64;
    if (bytes > scratchBytes_) {
        scratch_.clear();
        scratchBytes_ = 0;
    }
    try {
        while (scratch_.size() < n) {
            scratch_.emplace_back(new (std::nothrow) uint8_t[bytes]);
            if (!scratch_.back()) {
                scratch_.pop_back();
                return false;
            }
        }
    } catch (const std::bad_alloc &) {
        return false;
    }
    scratchBytes_ = bytes;
    return true;
}

}  // namespace vocam::colour

namespace {}  // namespace

int CVotf::ConvertBayerToRgb(unsigned char *dst, const unsigned char *src, unsigned bits,
                             const _votf_format *f, const _votf_settings *s) const noexcept {
    if (dst == nullptr || src == nullptr || f == nullptr || s == nullptr) return 0;
    if (!FrameSizeServed(f->width, f->height)) return 0;
    const uint32_t sampleFormat = f->sampleFormat;
    // No kernel reads another sample format; running the matrix stage over a
    // picture that was never written would only report garbage as done.
    if (sampleFormat > 2) return 0;
    const Depth depth = sampleFormat == 0 ? Depth::k8 : Depth::k16;
    const bool mono = f->mono != 0;
    const Out out = bits == 48            ? Out::k48
                    : bits == 32          ? Out::k32
                    : (bits == 8 && mono) ? Out::kGrey8
                                          : Out::k24;
    const bool weave = f->deinterlace != 0;
    const KernelEntry *kernel = FindKernel(mono ? 0 : s->demosaicMethod, depth, out, weave);
    if (kernel == nullptr) return 0;

    KernelArgs a{};
    a.dst = dst;
    a.src = src;
    a.w = static_cast<uint32_t>(f->width);
    a.h = static_cast<uint32_t>(f->height);
    a.blueRow = f->firstRowBlue == 0;
    a.greenFirst = f->greenFirst != 0;
    a.flipX = s->flipX;
    a.topDown = (s->flipY == 0) != (f->bottomUp != 0);
    a.deinterlace = out == Out::k48 ? static_cast<int>(f->deinterlace) : (weave ? 1 : 0);
    a.msbFirst = sampleFormat == 1;
    a.lut8 = (s->toneTableSize != 0 && s->toneTable != nullptr) ? s->toneTable->table : nullptr;
    a.lut16 = s->toneTableSize != 0 ? s->toneTable16 : nullptr;
    a.rowBegin = 0;
    a.rowEnd = a.h;
    // Monochrome frames never get the matrix stage.
    const bool matrix =
        !mono && s->correctionMatrix != 0 && !LeavesPixelsAlone(s->matrix, out == Out::k32);
    // Woven frames keep the matrix in the kernel's loop, where bands still
    // serve them: the banded matrix stage below takes progressive frames only.
    if (kernel->rows && (!matrix || kernel->matrixInLoop || weave)) {
        a.matrix = matrix ? s->matrix : nullptr;
        // Rows of a woven frame come from both fields, but each still reads
        // only the source, so any split of the walk serves.
        if (!(bands && ConvertInBands(*bands, *kernel, a, out, depth, s->demosaicMethod, nullptr)))
            kernel->run(a);
        return 1;
    }
    // Woven frames draw each band from both fields, and grey pictures have
    // no matrix stage to fuse: both take the whole-frame path.
    if (bands && !mono && !weave &&
        ConvertInBands(*bands, *kernel, a, out, depth, s->demosaicMethod,
                       matrix ? s->matrix : nullptr))
        return 1;
    kernel->run(a);
    if (!matrix) return 1;
    const size_t pixels = static_cast<size_t>(a.w) * a.h;
    if (out == Out::k48) {
        vocam::colour::matrix48(s->matrix, a.dst16(), a.dst16(), pixels);
    } else if (out == Out::k32) {
        vocam::colour::matrix32(s->matrix, dst, dst, pixels);
    } else if (kernel->padded && PaddedStride24(a.w) != 3 * static_cast<size_t>(a.w)) {
        // The grey kernels pad each row to 4 bytes: correct every pixel of
        // each row and leave the pad bytes alone.
        const size_t stride = PaddedStride24(a.w);
        for (uint32_t y = 0; y < a.h; ++y)
            vocam::colour::matrix24(s->matrix, dst + y * stride, dst + y * stride, a.w);
    } else {
        vocam::colour::matrix24(s->matrix, dst, dst, pixels);
    }
    return 1;
}
