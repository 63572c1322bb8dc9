// Frame description and the passes over its region: the 2x2-cell statistics
// every auto algorithm starts from, and the sharpness the focus search climbs.
#include "auto/frame.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "color/isa.h"
#include "color/kernel_common.h"
#include "transport/vo_usb.h"
#include "vo_cam/auto.h"

namespace vocam::autoalg {

namespace {

bool add(std::uint64_t a, std::uint64_t b, std::uint64_t &out) {
    return !__builtin_add_overflow(a, b, &out);
}
bool mul(std::uint64_t a, std::uint64_t b, std::uint64_t &out) {
    return !__builtin_mul_overflow(a, b, &out);
}

}  // namespace

bool walkRegion(const _FrameDesc &fd, std::uint64_t width, std::uint64_t rows, int margin,
                RegionWalk &walk) {
    const std::uint64_t fw = fd.frame_width, fh = fd.frame_height;
    const std::uint64_t m = static_cast<std::uint64_t>(margin);
    walk.bytesPerPixel = fd.two_bytes_per_pixel ? 2 : 1;
    walk.firstByte = fd.two_bytes_per_pixel && fd.sample_second_byte ? 1 : 0;
    std::uint64_t pixels = 0, right = 0, bottom = 0;
    if (!mul(fw, fh, pixels) || !mul(pixels, walk.bytesPerPixel, walk.frameBytes)) return false;
    if (walk.frameBytes > PTRDIFF_MAX) return false;
    if (!add(fd.roi_x, fd.roi_width, right) || right > fw) return false;
    if (!add(fd.roi_y, fd.roi_height, bottom) || bottom > fh) return false;
    // Within the bounds above, every product below stays under fw x fh.
    walk.rowStride = fw;
    if (fd.field_ordered) {
        walk.start = fd.roi_y * fw / 2 + fd.roi_x;
        walk.passRows = rows / 2;
        walk.gapRows = (fh - fd.roi_height) / 2;
    } else {
        walk.start = fd.roi_y * fw + fd.roi_x;
        walk.passRows = rows;
        walk.gapRows = 0;
    }
    if (width == 0 || walk.passRows == 0) return true;
    // Same-colour neighbours (with a margin): two columns across, and two rows
    // up and down (one row of the same field in a field-ordered frame).
    if (fd.roi_x < m || right + m > fw) return false;
    const std::uint64_t vertical = m == 0 ? 0 : fd.field_ordered ? fw : 2 * fw;
    if (walk.start < vertical) return false;
    const std::uint64_t lastRow =
        fd.field_ordered ? 2 * walk.passRows + walk.gapRows - 1 : walk.passRows - 1;
    std::uint64_t last = 0;
    if (!mul(lastRow, fw, last) || !add(last, walk.start + width - 1, last) ||
        !add(last, vertical, last))
        return false;
    return last < pixels;
}

namespace {

// Even-offset and odd-offset pixel sums over rows of one-byte pixels.
struct PairSums {
    std::uint64_t even = 0, odd = 0;
};

// `rows` rows of `n` pixels (n even), `step` bytes apart.
PairSums sumRowsScalar(const std::uint8_t *p, std::uint64_t step, std::uint64_t rows,
                       std::uint64_t n, std::uint64_t b) {
    PairSums s;
    for (std::uint64_t r = 0; r < rows; ++r, p += step)
        for (std::uint64_t c = 0; c < n; c += 2) {
            s.even += p[c * b];
            s.odd += p[(c + 1) * b];
        }
    return s;
}

// The vector bodies, one per instruction set (color/per_isa.inc).
struct StatsBodies {
    // Rows `step` bytes apart into *sums and, when nextSums is given, the
    // rows `next` bytes after each into *nextSums.
    void (*sumRows)(const std::uint8_t *p, std::uint64_t step, std::uint64_t rows, std::uint64_t n,
                    std::uint64_t next, PairSums *sums, PairSums *nextSums);
    std::uint64_t (*rowEnergy)(const std::uint8_t *p, std::uint64_t n, std::uint64_t up,
                               std::uint64_t *done);
};

#define VOCAM_ISA_BODY "auto/stats_body.inc"
#define VOCAM_ISA_TABLE StatsBodies
#include "color/per_isa.inc"

// Rows `step` bytes apart into *sums and, when nextSums is given, the rows
// `next` bytes after each into *nextSums.
void sumRows(const std::uint8_t *p, std::uint64_t step, std::uint64_t rows, std::uint64_t n,
             std::uint64_t b, std::uint64_t next, PairSums *sums, PairSums *nextSums) {
    const StatsBodies *bodies = kernels::widestBodies(kPerIsa);
    if (b == 1 && bodies != nullptr) return bodies->sumRows(p, step, rows, n, next, sums, nextSums);
    *sums = sumRowsScalar(p, step, rows, n, b);
    if (nextSums != nullptr) *nextSums = sumRowsScalar(p + next, step, rows, n, b);
}

}  // namespace

void computeSums(const _FrameDesc &fd, const RegionWalk &w, const std::uint8_t *frame,
                 std::uint32_t sums[4]) {
    const std::uint64_t width = fd.roi_width & ~std::uint64_t{1};
    const std::uint64_t b = w.bytesPerPixel, row = w.rowStride * b;
    const std::uint8_t *first = frame + w.firstByte + w.start * b;
    PairSums top, bottom;
    if (fd.field_ordered) {
        // Each field in turn: the region's even rows, then its odd rows.
        sumRows(first, row, w.passRows, width, b, 0, &top, nullptr);
        sumRows(first + (w.passRows + w.gapRows) * row, row, w.passRows, width, b, 0, &bottom,
                nullptr);
    } else {
        sumRows(first, 2 * row, w.passRows / 2, width, b, row, &top, &bottom);
    }
    // The sums wrap at 32 bits, which truncating the wide totals reproduces.
    sums[0] = static_cast<std::uint32_t>(top.even);
    sums[1] = static_cast<std::uint32_t>(top.odd);
    sums[2] = static_cast<std::uint32_t>(bottom.even);
    sums[3] = static_cast<std::uint32_t>(bottom.odd);
}

namespace {

// A saturated centre counts as 259: clipping hides how bright it really was.
inline std::int32_t centre(std::uint8_t v) {
    return v == 255 ? 259 : v;
}

// Sum of squared same-colour Laplacians along one row; `up` and `down` are the
// byte distances to the neighbours above and below, `b` the bytes per pixel.
std::uint64_t rowEnergyScalar(const std::uint8_t *p, std::uint64_t n, std::uint64_t up,
                              std::uint64_t b) {
    std::uint64_t sum = 0;
    for (std::uint64_t c = 0; c < n; ++c, p += b) {
        const std::int32_t l = 4 * centre(*p) - p[-2 * static_cast<std::ptrdiff_t>(b)] - p[2 * b] -
                               p[-static_cast<std::ptrdiff_t>(up)] - p[up];
        sum += static_cast<std::uint32_t>(l * l);
    }
    return sum;
}

std::uint64_t rowEnergy(const std::uint8_t *p, std::uint64_t n, std::uint64_t up) {
    std::uint64_t c = 0, sum = 0;
    if (const StatsBodies *bodies = kernels::widestBodies(kPerIsa); bodies != nullptr)
        sum = bodies->rowEnergy(p, n, up, &c);
    return sum + rowEnergyScalar(p + c, n - c, up, 1);
}

}  // namespace

double sharpnessSum(const _FrameDesc &fd, const RegionWalk &w, const std::uint8_t *frame) {
    const std::uint64_t b = w.bytesPerPixel;
    const std::uint64_t up = (fd.field_ordered ? 1 : 2) * w.rowStride * b;
    const std::uint8_t *base = frame + w.firstByte;
    // Every term is an integer below 2^21 and a frame holds fewer than 2^32
    // of them, so the integer total is exact and converts to the same double
    // as a running double sum.
    std::uint64_t total = 0;
    auto pass = [&](std::uint64_t at) {
        for (std::uint64_t r = 0; r < w.passRows; ++r, at += w.rowStride) {
            const std::uint8_t *p = base + at * b;
            total +=
                b == 1 ? rowEnergy(p, fd.roi_width, up) : rowEnergyScalar(p, fd.roi_width, up, b);
        }
        return at;
    };
    std::uint64_t at = pass(w.start);
    if (fd.field_ordered) pass(at + w.gapRows * w.rowStride);
    return static_cast<double>(total);
}

}  // namespace vocam::autoalg

using namespace vocam::autoalg;

namespace {

// A frame's size in delivered pixels and its pixel format.
struct FrameShape {
    std::uint64_t width = 0, height = 0;
    std::uint32_t pixelFormat = 0;
};

// The camera's current window.
int currentShape(vo::UsbCamera *handle, FrameShape &out) {
    _vocam_frame_format format{};
    cam_read_format(handle, &format);
    if (format.subSampleX == 0 || format.subSampleY == 0) return VOCAM_EINVAL;
    out = {format.width / format.subSampleX, format.height / format.subSampleY, format.pixelFormat};
    return 0;
}

int describe(const vo::UsbCamera *handle, const FrameShape &shape, _FrameDesc *fd, int x, int y,
             int width, int height, int border) {
    if (handle == nullptr || fd == nullptr) return VOCAM_EINVAL;
    _FrameDesc d{};
    d.frame_width = shape.width;
    d.frame_height = shape.height;
    if (shape.pixelFormat == 0)
        d.two_bytes_per_pixel = 0;
    else if (shape.pixelFormat == 1)
        d.two_bytes_per_pixel = 1;
    else
        return VOCAM_ENOTIMPL;
    switch (handle->camera.pixel_format) {
        case 6:
        case 24:
        case 25:
        case 26:
        case 27:
            d.sample_second_byte = 1;
            break;
        default:
            d.sample_second_byte = 0;
    }
    d.field_ordered = 0;
    // 64-bit arithmetic: no sum of two ints can wrap.
    std::int64_t rx = x, ry = y, rw = width, rh = height;
    const std::int64_t fw = static_cast<std::int64_t>(d.frame_width);
    const std::int64_t fh = static_cast<std::int64_t>(d.frame_height);
    if (border < 0 || rx < 0 || ry < 0 || rx + rw > fw || ry + rh > fh) return VOCAM_EINVAL;
    if (rx < border) {
        rw -= border - rx;
        rx = border;
    }
    if (ry < border) {
        rh -= border - ry;
        ry = border;
    }
    if (rx + rw + border > fw) rw = fw - border - rx;
    if (ry + rh + border > fh) rh = fh - border - ry;
    if (rw <= 0 || rh <= 0) return VOCAM_EINVAL;
    d.roi_x = static_cast<std::uint64_t>(rx);
    d.roi_y = static_cast<std::uint64_t>(ry);
    d.roi_width = static_cast<std::uint64_t>(rw);
    d.roi_height = static_cast<std::uint64_t>(rh);
    *fd = d;
    return 0;
}

}  // namespace

int vocam::autoalg::cell_sums(const _FrameDesc *fd, const std::uint8_t *frame,
                              std::uint32_t sums[4]) {
    if (fd == nullptr || frame == nullptr || sums == nullptr) return VOCAM_EINVAL;
    RegionWalk walk;
    // Whole cells only: an odd width or height is taken one smaller.
    if (!walkRegion(*fd, fd->roi_width & ~std::uint64_t{1}, fd->roi_height & ~std::uint64_t{1}, 0,
                    walk))
        return VOCAM_EINVAL;
    computeSums(*fd, walk, frame, sums);
    return 0;
}

double vocam::autoalg::sharpness(const _FrameDesc *fd, const std::uint8_t *frame) {
    if (fd == nullptr || frame == nullptr) return -22.0;
    RegionWalk walk;
    if (fd->roi_width == 0 || fd->roi_height == 0 ||
        !walkRegion(*fd, fd->roi_width, fd->roi_height, 2, walk))
        return -22.0;
    const double area = static_cast<double>(fd->roi_width) * static_cast<double>(fd->roi_height);
    return sharpnessSum(*fd, walk, frame) / area;
}

int vo_describe_frame(vo::UsbCamera *handle, const FramePin &pin, _FrameDesc *fd, int x, int y,
                      int width, int height, int border) {
    if (handle == nullptr) return VOCAM_EINVAL;
    FrameShape shape{pin.width(), pin.height(), 0};
    if (!pin.ring())
        if (const int r = currentShape(handle, shape); r != 0) return r;
    return describe(handle, shape, fd, x, y, width, height, border);
}

int vocam::autoalg::describe_region(vo::UsbCamera *handle, _FrameDesc *fd, int x, int y, int width,
                                    int height, int border) {
    FrameShape shape;
    if (const int r = currentShape(handle, shape); r != 0) return r;
    return describe(handle, shape, fd, x, y, width, height, border);
}
