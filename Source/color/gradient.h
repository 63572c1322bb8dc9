// Gradient-corrected interpolation (method 3) on a placed mosaic, split into
// per-row steps so that it can run over the whole picture or pipelined behind
// the placement:
//   greenRow(y): every channel of the ring-0 pixels of row y and the green of
//                every red or blue site of row y (ring-1 rule or the
//                colour-corrected interior rule). Reads placed samples of rows
//                y-2 .. y+2 only.
//   colourRow(y), 1 <= y <= H-2: red and blue of the pixels 1 .. W-2. Reads
//                the greens of rows y-1 .. y+1 (complete after greenRow) and
//                placed red and blue samples.
// Every step writes only channels that no step reads afterwards except as
// finished greens, so a row's colours may be computed as soon as its
// neighbours' greens are.
#pragma once

#include <cstdint>

#include "color/edge_rules.h"
#include "color/kernel_common.h"

namespace vocam::kernels::gradient {

template <int M>
inline int clampTo(int v) {
    return v < 0 ? 0 : (v > M ? M : v);
}

// Mean of two rounded up, as the corrections use it.
inline int meanUp(int a, int b) {
    return (a + b + 1) >> 1;
}

// Green at an interior red or blue site with own colour c, from the pixel p
// (in a picture of `step` elements per pixel and `stride` per row).
template <int M, class T>
inline int interiorGreen(const T *p, ptrdiff_t step, ptrdiff_t stride, uint32_t c) {
    const int own = p[c];
    const int lh = 2 * own - p[c - 2 * step] - p[c + 2 * step];
    const int lv = 2 * own - p[c - 2 * stride] - p[c + 2 * stride];
    const int gl = p[kGreen - step], gr = p[kGreen + step];
    const int gu = p[kGreen - stride], gd = p[kGreen + stride];
    const int dh = (lh < 0 ? -lh : lh) + edge::absDiff(gl, gr);
    const int dv = (lv < 0 ? -lv : lv) + edge::absDiff(gu, gd);
    int t = 0;
    if (dh <= dv) t = meanUp(gl, gr) + (lh + 1) / 4;
    if (dh >= dv) t += meanUp(gu, gd) + (lv + 1) / 4;
    if (dh == dv) t /= 2;
    return clampTo<M>(t);
}

// Missing red and blue of the pixel p (1 <= x <= W-2, 1 <= y <= H-2).
template <int M, class T>
inline void colourPixel(T *p, ptrdiff_t step, ptrdiff_t stride, bool green, uint32_t rc,
                        uint32_t oc) {
    const int g = p[kGreen];
    if (green) {
        const int lap = 2 * g - p[kGreen - step] - p[kGreen + step];
        p[rc] = T(clampTo<M>(meanUp(p[rc - step], p[rc + step]) + (lap + 1) / 4));
        const int lapV = 2 * g - p[kGreen - stride] - p[kGreen + stride];
        p[oc] = T(clampTo<M>(meanUp(p[oc - stride], p[oc + stride]) + (lapV + 1) / 4));
        return;
    }
    // The missing colour K sits on the diagonals.
    const ptrdiff_t nw = -stride - step, se = stride + step;
    const ptrdiff_t ne = -stride + step, sw = stride - step;
    const int ln = 2 * g - p[kGreen + nw] - p[kGreen + se];
    const int lp = 2 * g - p[kGreen + ne] - p[kGreen + sw];
    const int kn1 = p[oc + nw], kn2 = p[oc + se], kp1 = p[oc + ne], kp2 = p[oc + sw];
    const int dn = (ln < 0 ? -ln : ln) + edge::absDiff(kn1, kn2);
    const int dp = (lp < 0 ? -lp : lp) + edge::absDiff(kp1, kp2);
    int t = 0;
    if (dn <= dp) t = (ln + 1) / 4 + meanUp(kn1, kn2);
    if (dp <= dn) t += meanUp(kp1, kp2) + (lp + 1) / 4;
    if (dn == dp) t /= 2;
    p[oc] = T(clampTo<M>(t));
}

// ---- The same rules on source rows ---------------------------------------------
// For the vector paths, which compute the picture in source coordinates: S
// reads fetched sample (x, y) as s(x, y, 0); greens of rows y-1 .. y+1 are
// finished rows of their own.

// Finished green of source pixel (x, y) of a W x H frame.
template <int M, class S>
int greenOfSource(const S &s, uint32_t W, uint32_t H, uint32_t x, uint32_t y, Phase ph) {
    if (ph.isGreen(x)) return s(x, y, 0);
    const bool side = x == 0 || x == W - 1, end = y == 0 || y == H - 1;
    if (side && end) return edge::mean2(s(x == 0 ? 1 : W - 2, y, 0), s(x, y == 0 ? 1 : H - 2, 0));
    if (end) return edge::mean2(s(x - 1, y, 0), s(x + 1, y, 0));
    if (side) return edge::mean2(s(x, y - 1, 0), s(x, y + 1, 0));
    const int l = s(x - 1, y, 0), r = s(x + 1, y, 0), u = s(x, y - 1, 0), d = s(x, y + 1, 0);
    if (x == 1 || x == W - 2 || y == 1 || y == H - 2) return edge::edgeGreen(l, r, u, d);
    const int own = s(x, y, 0);
    const int lh = 2 * own - s(x - 2, y, 0) - s(x + 2, y, 0);
    const int lv = 2 * own - s(x, y - 2, 0) - s(x, y + 2, 0);
    const int dh = (lh < 0 ? -lh : lh) + edge::absDiff(l, r);
    const int dv = (lv < 0 ? -lv : lv) + edge::absDiff(u, d);
    int t = 0;
    if (dh <= dv) t = meanUp(l, r) + (lh + 1) / 4;
    if (dh >= dv) t += meanUp(u, d) + (lv + 1) / 4;
    if (dh == dv) t /= 2;
    return clampTo<M>(t);
}

// All three channels of source pixel (x, y), 1 <= x <= W-2, 1 <= y <= H-2,
// into o.
template <int M, class S, class T>
void colourOfSource(T *o, const S &s, const T *gUp, const T *g0, const T *gDn, uint32_t x,
                    uint32_t y, Phase ph) {
    const uint32_t rc = ph.rowColour(), oc = ph.otherColour();
    const int g = g0[x];
    o[kGreen] = T(g);
    if (ph.isGreen(x)) {
        o[rc] = T(clampTo<M>(meanUp(s(x - 1, y, 0), s(x + 1, y, 0)) +
                             (2 * g - g0[x - 1] - g0[x + 1] + 1) / 4));
        o[oc] = T(
            clampTo<M>(meanUp(s(x, y - 1, 0), s(x, y + 1, 0)) + (2 * g - gUp[x] - gDn[x] + 1) / 4));
        return;
    }
    o[rc] = T(s(x, y, 0));
    const int ln = 2 * g - gUp[x - 1] - gDn[x + 1], lp = 2 * g - gUp[x + 1] - gDn[x - 1];
    const int knw = s(x - 1, y - 1, 0), kse = s(x + 1, y + 1, 0);
    const int kne = s(x + 1, y - 1, 0), ksw = s(x - 1, y + 1, 0);
    const int dn = (ln < 0 ? -ln : ln) + edge::absDiff(knw, kse);
    const int dp = (lp < 0 ? -lp : lp) + edge::absDiff(kne, ksw);
    int t = 0;
    if (dn <= dp) t = (ln + 1) / 4 + meanUp(knw, kse);
    if (dp <= dn) t += meanUp(kne, ksw) + (lp + 1) / 4;
    if (dn == dp) t /= 2;
    o[oc] = T(clampTo<M>(t));
}

// The interpolation over one picture in layout Px with maximum M; row0 is the
// phase of the first memory row.
template <class Px, int M>
struct Job {
    using T = typename Px::T;
    T *pic;
    uint32_t width, height;
    Phase row0;

    ptrdiff_t stride() const { return ptrdiff_t(width) * Px::kStep; }
    T *pixel(uint32_t x, uint32_t y) const { return pic + y * stride() + ptrdiff_t(x) * Px::kStep; }

    // Green of a red or blue site of ring 1, from its four raw green neighbours.
    void ringGreen(uint32_t x, uint32_t y) const {
        T *p = pixel(x, y);
        const ptrdiff_t s = Px::kStep, st = stride();
        p[kGreen] =
            T(edge::edgeGreen(p[kGreen - s], p[kGreen + s], p[kGreen - st], p[kGreen + st]));
    }

    void greenRow(uint32_t y) const {
        const edge::PlacedReader<Px> s{pic, size_t(stride())};
        edge::PictureWriter<Px> out{pic, size_t(stride())};
        const Phase ph = phaseOfRow(row0, y);
        if (y == 0 || y + 1 == height) {
            edge::borderRow(s, out, width, y, y == 0 ? 1 : height - 2, ph, false);
            return;
        }
        edge::columnBorderPixel(s, out, 0, y, 1, ph);
        edge::columnBorderPixel(s, out, width - 1, y, width - 2, ph);
        if (y == 1 || y + 2 == height) {
            for (uint32_t x = ph.isGreen(1) ? 2 : 1; x + 1 < width; x += 2) ringGreen(x, y);
            return;
        }
        if (!ph.isGreen(1)) ringGreen(1, y);
        if (!ph.isGreen(width - 2)) ringGreen(width - 2, y);
        greenSpan(y, 2, width - 2);
    }

    // Interior greens of row y (2 <= y <= H-3) for x in [xb, xe), 2 <= xb, xe <= W-2.
    void greenSpan(uint32_t y, uint32_t xb, uint32_t xe) const {
        const Phase ph = phaseOfRow(row0, y);
        const uint32_t c = ph.rowColour();
        for (uint32_t x = ph.isGreen(xb) ? xb + 1 : xb; x < xe; x += 2) {
            T *p = pixel(x, y);
            p[kGreen] = T(interiorGreen<M>(p, Px::kStep, stride(), c));
        }
    }

    void colourRow(uint32_t y) const { colourSpan(y, 1, width - 1); }

    // Red and blue of pixels [xb, xe) of row y, 1 <= xb, xe <= W-1.
    void colourSpan(uint32_t y, uint32_t xb, uint32_t xe) const {
        const Phase ph = phaseOfRow(row0, y);
        const uint32_t rc = ph.rowColour(), oc = ph.otherColour();
        for (uint32_t x = xb; x < xe; ++x)
            colourPixel<M>(pixel(x, y), Px::kStep, stride(), ph.isGreen(x), rc, oc);
    }

    void run() const {
        for (uint32_t y = 0; y < height; ++y) greenRow(y);
        for (uint32_t y = 1; y + 1 < height; ++y) colourRow(y);
    }
};

}  // namespace vocam::kernels::gradient
