// Tone-table builders and the validators of the converter's ids.
#include <cmath>
#include <cstdint>
#include <limits>

#include "votf/votf.h"

namespace {

// Toward zero into the signed 32-bit range; values beyond it saturate rather
// than wrap, so extreme contrast or brightness still clamp the curve the
// right way.
double Trunc32(double x) {
    if (std::isnan(x)) return 0.0;
    if (x >= 2147483647.0) return 2147483647.0;
    if (x <= -2147483648.0) return -2147483648.0;
    return static_cast<double>(static_cast<std::int32_t>(x));
}

// Parameters are 64-bit words of which only the low 32 bits count.
double Param(std::int64_t word) {
    return static_cast<std::int32_t>(word);
}

// v raised to e, scaled so that full scale maps to full scale (k is full
// scale to the power 1 - e). For gammas near 0 the two factors leave the
// double range (v^e overflows, k underflows); the curve is then formed from
// v / full scale instead, which is the same value mathematically.
double GammaCurve(double v, double e, double k, double full) {
    const double p = std::pow(v, e) * k;
    if (std::isfinite(p) && k >= std::numeric_limits<double>::min()) return p;
    return std::pow(v / full, e) * full;
}

std::size_t Lut16Index(unsigned sample, int lsbFirst) {
    return lsbFirst ? sample : ((sample & 0xFFu) << 8) | (sample >> 8);
}

}  // namespace

void MakeLut8(_lut8_struct *l) {
    const double g = Param(l->gamma);
    const double c = Param(l->contrast);
    const double b = Param(l->brightness);
    // A curve with gamma 0 or below has no defined exponent; the table bytes
    // then stand as they are.
    if (!(g > 0.0)) return;
    const double e = 1.0 / (g / 100.0);
    const double k = std::pow(255.0, 1.0 - e);
    for (int i = 0; i < 256; ++i) {
        const double t = b * 256.0 / 10000.0 + i - 128.0;
        double v = 128.0 + Trunc32(c * t / 100.0);
        if (v > 255.0)
            v = 255.0;
        else if (v < 0.0)
            v = 0.0;
        else
            v = Trunc32(GammaCurve(v, e, k, 255.0));
        l->table[i] = static_cast<std::uint8_t>(static_cast<int>(v));
    }
}

void MakeLut16(std::uint16_t *out, const _lut8_struct *l, std::size_t size, int lsbFirst) {
    const double g = Param(l->gamma);
    if (size == kToneTableFull && g > 0.0) {
        // The same curve as the 8-bit table, on a 16-bit scale.
        const double c = Param(l->contrast);
        const double b = Param(l->brightness);
        const double e = 1.0 / (g / 100.0);
        const double k = std::pow(65535.0, 1.0 - e);
        const double shift = b * 256.0 * 256.0 / 10000.0 - 32768.0;
        for (unsigned s = 0; s < kLut16Entries; ++s) {
            const double t = shift + s;
            double v = 32768.0 + Trunc32(c * t / 100.0);
            if (v > 65535.0)
                v = 65535.0;
            else if (v < 0.0)
                v = 0.0;
            else
                v = Trunc32(GammaCurve(v, e, k, 65535.0));
            out[Lut16Index(s, lsbFirst)] = static_cast<std::uint16_t>(static_cast<int>(v));
        }
        return;
    }
    // Linear interpolation between the 8-bit entries; the last step is
    // extrapolated from the slope of the one before it.
    const std::uint8_t *t = l->table;
    for (unsigned i = 0; i < 256; ++i) {
        const unsigned a = t[i];
        unsigned n;
        if (i < 255) {
            n = t[i + 1];
        } else {
            const int x = 2 * static_cast<int>(a) - static_cast<int>(t[254]);
            n = static_cast<unsigned>(x < 0 ? 0 : (x > 256 ? 256 : x));
        }
        for (unsigned j = 0; j < 256; ++j) {
            const unsigned v = a * (256 - j) + n * j;
            out[Lut16Index(i * 256 + j, lsbFirst)] = static_cast<std::uint16_t>(v);
        }
    }
}

bool ValidateDemosaicingMethod(unsigned method) {
    // The gradient-corrected method (3) is reachable per conversion only.
    return method == 0 || method == 1 || method == 2 || method == 8 || method == 9;
}

bool ValidateCorrectionMatrix(unsigned id) {
    return id <= 16;
}
