#include "votf/votf.h"

#include <cmath>
#include <cstring>
#include <new>

#include "votf/colora.h"
#include "votf/matrix.h"

const double kYuvValues[9] = {
    0.299,  0.587,  0.114,   //
    -0.169, -0.331, 0.5,     //
    0.5,    -0.419, -0.081,  //
};

const double RgbAllButNoneValues[9] = {
    1.227,  -0.101, -0.126,  //
    -0.174, 1.268,  -0.094,  //
    0.051,  -0.872, 1.821,   //
};

namespace {

constexpr unsigned kToneFlags = 15;
constexpr double kPi = 3.1415926535;

enum class ToneParam { Gamma, Contrast, Brightness };

constexpr int Neutral(ToneParam p) {
    return p == ToneParam::Brightness ? 0 : 100;
}

// The three parameters as the table builders read them.
struct ToneParams {
    std::int64_t word[3];
};

void Require3x4(const CMatrix &m) {
    if (m.Rows() != 3 || m.Columns() != 4 || !m.Exist())
        throw CMatrixError("expected a 3x4 matrix");
}

// The base matrix of a correction id (1 to 16): a 3x4, or the 3x3 default
// correction when a model slot is empty.
CMatrix BaseMatrix(const CVotf &v, const _votf_settings &s, unsigned id) {
    CMatrix m;
    m.AllocZeros(3, 4);
    if (id == 15 || id == 16) {
        ConvertMatrixShortToDouble3x4(&m, s.customMatrix);
    } else if (id == 14) {
        MakeIdentity3x4(m);
    } else if (v.specifiedMatrices[id]) {
        ConvertMatrixShortToDouble3x4(&m, v.specifiedMatrices[id].get());
    } else {
        m.Assign(3, 3, RgbAllButNoneValues);
    }
    return m;
}

CMatrix3x3 HueRotation(double degrees) {
    CMatrix3x3 r;
    r.MakeRotationX(degrees * kPi / 180.0);
    return r;
}

// Adds Y times half of each white-balance term to U and V.
CMatrix3x3 WhiteBalanceShear(double wbU, double wbV) {
    CMatrix3x3 t;
    t.MakeIdentity();
    t[1][0] = wbU / 2.0;
    t[2][0] = wbV / 2.0;
    return t;
}

CMatrixSquare YuvInverse() {
    const CMatrix3x3 y(kYuvValues);
    CMatrixSquare yi;
    y.GetInverse(yi);
    return yi;
}

// A product that could not be allocated comes back empty; the compositions
// below have fixed shapes, so anything else means memory ran out.
void Check(const CMatrix &m) {
    if (!m.Exist()) throw std::bad_alloc();
}

CMatrix Times(const CMatrix &a, const CMatrix &b) {
    CMatrix p = a * b;
    Check(p);
    return p;
}

// M times the column vector (x0, x1, x2), with a fourth component 0 when M
// has four columns.
CMatrix Apply(const CMatrix &m, double x0, double x1, double x2) {
    const double v[4] = {x0, x1, x2, 0.0};
    const CMatrix x(m.Columns(), 1, v);
    return Times(m, x);
}

std::int16_t ToFixed(double x) {
    // NaN has no place on the scale; it would come from a NaN setting.
    if (std::isnan(x)) return 0;
    if (x <= -8.0)
        x = -8.0;
    else if (x >= 7.999)
        x = 7.999;
    return static_cast<std::int16_t>(static_cast<int>(4096.0 * x));
}

// Composes the fixed-point matrix of s: 1 done, 0 refused id; memory
// exhaustion raises std::bad_alloc.
int Compose(const CVotf &v, _votf_settings *s) {
    const unsigned id = s->correctionMatrix;
    if (id == 0) return 1;
    // Ids arrive unvalidated from conversion requests; never read past the
    // sixteen slots.
    if (id > 16) return 0;
    CMatrix m = BaseMatrix(v, *s, id);
    if (id != 16) {
        const CMatrix3x3 y(kYuvValues);
        m = Times(y, m);
        m = Times(HueRotation(s->hue), m);
        m = Times(WhiteBalanceShear(s->whiteBalanceU, s->whiteBalanceV), m);
        CMatrix3x3 stretch;
        stretch.MakeStretchXYZ(s->gain, s->saturationU, s->saturationV);
        m = Times(stretch, m);
        m = Times(YuvInverse(), m);
    }
    std::int16_t fixed[12] = {};
    const int cols = m.Columns();
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < cols && c < 4; ++c) fixed[r * 4 + c] = ToFixed(m[r][c]);
    std::memcpy(s->matrix, fixed, sizeof fixed);
    return 1;
}

// Rebuilds the converter's own matrix; the setters skip it for monochrome
// frames, which never reach the matrix stage.
void Rebuild(CVotf &v, bool evenIfMono) {
    v.settings.matrixDirty = 1;
    if (evenIfMono || !v.format.mono) v.BuildCurrentMatrix();
}

ToneParams CurrentToneParams(const CVotf &v) {
    const _votf_settings &s = v.settings;
    if (s.toneTable && s.toneTableSize >= kToneTableFull)
        return {{s.toneTable->gamma, s.toneTable->contrast, s.toneTable->brightness}};
    return {
        {Neutral(ToneParam::Gamma), Neutral(ToneParam::Contrast), Neutral(ToneParam::Brightness)}};
}

}  // namespace

// The converter's private buffers, for the helpers of this file.
struct CVotfAccess {
    // The tone buffer, allocated on first need; null when memory ran out.
    static _lut8_struct *ToneTable(CVotf &v) {
        if (!v.settings.toneTable) {
            v.toneTableBuffer_.reset(new (std::nothrow) _lut8_struct{});
            v.settings.toneTable = v.toneTableBuffer_.get();
        }
        return v.settings.toneTable;
    }
    // A 16-bit table for s: the one it has, or a new one when s is the
    // converter's own settings; null when neither can be had.
    static std::uint16_t *Lut16(CVotf &v, _votf_settings *s) {
        if (s->toneTable16) return s->toneTable16;
        if (s == &v.settings) {
            v.toneTable16Buffer_.reset(new (std::nothrow) std::uint16_t[kLut16Entries]);
            s->toneTable16 = v.toneTable16Buffer_.get();
        } else {
            // Another record's table is its owner's to free (delete[]).
            s->toneTable16 = new (std::nothrow) std::uint16_t[kLut16Entries];
        }
        return s->toneTable16;
    }
    static void DropLut16(CVotf &v, _votf_settings *s) {
        if (s == &v.settings || s->toneTable16 == v.toneTable16Buffer_.get()) {
            v.toneTable16Buffer_.reset();
            v.settings.toneTable16 = nullptr;
        }
        s->toneTable16 = nullptr;
    }
};

namespace {

int SetToneParameter(CVotf &v, ToneParam which, int value, unsigned flags) {
    if (flags != kToneFlags) return VOCAM_ENOTIMPL;
    ToneParams p = CurrentToneParams(v);
    p.word[static_cast<int>(which)] = value;
    // Gamma 0 or below has no defined curve.
    if (static_cast<std::int32_t>(p.word[0]) <= 0) return VOCAM_EINVAL;
    _votf_settings &s = v.settings;
    if (!CVotfAccess::ToneTable(v)) return VOCAM_ENOMEM;
    s.toneTable->gamma = p.word[0];
    s.toneTable->contrast = p.word[1];
    s.toneTable->brightness = p.word[2];
    s.toneTableSize = kToneTableFull;
    MakeLut8(s.toneTable);
    if (v.format.sampleFormat != 0) v.BuildLut16WhenRunning(&s, v.format.sampleFormat == 2);
    return 0;
}

int GetToneParameter(const CVotf &v, ToneParam which, int *out) {
    if (out == nullptr) return VOCAM_EINVAL;
    *out = static_cast<std::int32_t>(CurrentToneParams(v).word[static_cast<int>(which)]);
    return 0;
}

// Fills (allocating when allowed) the 16-bit table of s from its tone table.
int FillLut16(CVotf &v, _votf_settings *s, int lsbFirst) {
    std::uint16_t *out = CVotfAccess::Lut16(v, s);
    if (out == nullptr) return 0;
    MakeLut16(out, s->toneTable, s->toneTableSize, lsbFirst);
    return 1;
}

}  // namespace

// ---- fixed-point helpers

void MakeIdentity3x4(CMatrix &m) {
    Require3x4(m);
    static const double kIdentity[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
    m.Assign(3, 4, kIdentity);
}

void ConvertMatrixShortToDouble3x4(CMatrix *m, const std::int16_t *s) {
    Require3x4(*m);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) (*m)[r][c] = s[4 * r + c] / 4096.0;
}

void ConvertMatrixShortToDouble(CMatrix3x3 *m, const std::int16_t *s) {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) (*m)[r][c] = s[4 * r + c] / 4096.0;
}

// ---- construction, demosaic method and flips

CVotf::CVotf() = default;

CVotf::~CVotf() = default;

int CVotf::DemosaicMethodSet(unsigned method) noexcept {
    if (!ValidateDemosaicingMethod(method)) return 0;
    settings.demosaicMethod = method;
    return 1;
}

int CVotf::DemosaicMethodGet(unsigned *out) const noexcept {
    if (out == nullptr) return VOCAM_EINVAL;
    *out = settings.demosaicMethod;
    return 0;
}

int CVotf::SetFlipping(int x, int y) noexcept {
    settings.flipX = x;
    settings.flipY = y;
    return 0;
}

int CVotf::GetFlipping(int *x, int *y) const noexcept {
    if (x == nullptr || y == nullptr) return VOCAM_EINVAL;
    *x = settings.flipX;
    *y = settings.flipY;
    return 0;
}

// ---- tone tables

int CVotf::SetGamma(int value, unsigned flags) noexcept {
    return SetToneParameter(*this, ToneParam::Gamma, value, flags);
}

int CVotf::SetContrast(int value, unsigned flags) noexcept {
    return SetToneParameter(*this, ToneParam::Contrast, value, flags);
}

int CVotf::SetBrightness(int value, unsigned flags) noexcept {
    return SetToneParameter(*this, ToneParam::Brightness, value, flags);
}

int CVotf::GetGamma(int *out, unsigned) const noexcept {
    return GetToneParameter(*this, ToneParam::Gamma, out);
}

int CVotf::GetContrast(int *out, unsigned) const noexcept {
    return GetToneParameter(*this, ToneParam::Contrast, out);
}

int CVotf::GetBrightness(int *out, unsigned) const noexcept {
    return GetToneParameter(*this, ToneParam::Brightness, out);
}

int CVotf::SetupLUT(const unsigned char *data, unsigned size, unsigned flags) noexcept {
    if (flags != kToneFlags) return VOCAM_ENOTIMPL;
    if ((size >= 1 && size < kToneTableBare) || (size > kToneTableBare && size < kToneTableFull))
        return VOCAM_EINVAL;
    if (size > kToneTableFull) size = kToneTableFull;
    if (size == 0) {
        // Off, but the buffer and its bytes are kept for GetLUT.
        settings.toneTableSize = 0;
        return 0;
    }
    if (data == nullptr) return VOCAM_EINVAL;
    if (!CVotfAccess::ToneTable(*this)) return VOCAM_ENOMEM;
    std::memcpy(settings.toneTable, data, size);
    settings.toneTableSize = size;
    if (format.sampleFormat != 0) BuildLut16WhenRunning(&settings, format.sampleFormat == 2);
    return 0;
}

int CVotf::GetLUT(unsigned char *dest, unsigned *size, unsigned) const noexcept {
    if (size == nullptr) return VOCAM_EINVAL;
    const auto have = static_cast<unsigned>(settings.toneTableSize);
    if (*size == 0) {
        *size = have;
        return 84;
    }
    if (dest == nullptr) return VOCAM_EINVAL;
    const unsigned n = *size < have ? *size : have;
    if (n != 0) std::memcpy(dest, settings.toneTable, n);
    *size = have;
    return 0;
}

int CVotf::BuildLut16WhenRunning(_votf_settings *s, int lsbFirst) noexcept {
    if (s == nullptr) return 0;
    if (!s->toneTable || s->toneTableSize < kToneTableBare) return 1;
    return FillLut16(*this, s, lsbFirst);
}

int CVotf::BuildLut16WhenNotRunning(_votf_settings *s, int lsbFirst) noexcept {
    if (s == nullptr) return 0;
    if (s->toneTable && s->toneTableSize >= kToneTableBare) return FillLut16(*this, s, lsbFirst);
    CVotfAccess::DropLut16(*this, s);
    return 1;
}

// ---- colour matrices

int CVotf::SpecifyMatrix(unsigned id, const std::int16_t *m) noexcept {
    if (id == 0 || id > 15 || m == nullptr) return VOCAM_EINVAL;
    // The model data lists rows and columns in the reverse channel order.
    std::unique_ptr<std::int16_t[]> slot(new (std::nothrow) std::int16_t[12]);
    if (!slot) return VOCAM_ENOMEM;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) slot[4 * r + c] = m[8 - (3 * r + c)];
        slot[4 * r + 3] = 0;
    }
    specifiedMatrices[id] = std::move(slot);
    return 0;
}

int CVotf::CorrectionMatrixSet(unsigned id) noexcept {
    if (!ValidateCorrectionMatrix(id)) return 0;
    settings.correctionMatrix = id;
    Rebuild(*this, false);
    return 1;
}

int CVotf::CorrectionMatrixGet(unsigned *out) const noexcept {
    if (out == nullptr) return VOCAM_EINVAL;
    *out = settings.correctionMatrix;
    return 0;
}

int CVotf::CustomCorrectionMatrixSetup(const std::int16_t *m) noexcept {
    if (m == nullptr) return VOCAM_EINVAL;
    std::memcpy(settings.customMatrix, m, sizeof settings.customMatrix);
    if (settings.correctionMatrix == 15 || settings.correctionMatrix == 16) Rebuild(*this, false);
    return 0;
}

int CVotf::GetCustomMatrix(std::int16_t *out) const noexcept {
    if (out == nullptr) return VOCAM_EINVAL;
    std::memcpy(out, settings.customMatrix, sizeof settings.customMatrix);
    return 0;
}

int CVotf::SetHue(double degrees) noexcept {
    settings.hue = degrees;
    Rebuild(*this, false);
    return 0;
}

int CVotf::SetGain(double g) noexcept {
    settings.gain = g;
    Rebuild(*this, false);
    return 0;
}

int CVotf::SetSaturation(double u, double v) noexcept {
    settings.saturationU = u;
    settings.saturationV = v;
    Rebuild(*this, false);
    return 0;
}

int CVotf::SetWhiteBalance(double u, double v) noexcept {
    settings.whiteBalanceU = u;
    settings.whiteBalanceV = v;
    Rebuild(*this, false);
    return 0;
}

int CVotf::GetHue(double *out) const noexcept {
    if (out == nullptr) return VOCAM_EINVAL;
    *out = settings.hue;
    return 0;
}

int CVotf::GetGain(double *out) const noexcept {
    if (out == nullptr) return VOCAM_EINVAL;
    *out = settings.gain;
    return 0;
}

int CVotf::GetSaturation(double *u, double *v) const noexcept {
    if (u == nullptr || v == nullptr) return VOCAM_EINVAL;
    *u = settings.saturationU;
    *v = settings.saturationV;
    return 0;
}

int CVotf::GetWhiteBalance(double *u, double *v) const noexcept {
    if (u == nullptr || v == nullptr) return VOCAM_EINVAL;
    *u = settings.whiteBalanceU;
    *v = settings.whiteBalanceV;
    return 0;
}

int CVotf::BuildMatrix(_votf_settings *s) const noexcept {
    if (s == nullptr) return 0;
    try {
        return Compose(*this, s);
    } catch (const std::bad_alloc &) {
        return 0;
    }
}

int CVotf::BuildCurrentMatrix() noexcept {
    const int built = BuildMatrix(&settings);
    if (built) settings.matrixDirty = 0;
    return built;
}

int CVotf::GetCurrentMatrix(std::int16_t *out) noexcept {
    if (out == nullptr) return VOCAM_EINVAL;
    // A build fails only for an id beyond the slots or when memory runs out.
    if (settings.matrixDirty && !BuildCurrentMatrix())
        return settings.correctionMatrix > 16 ? -22 : -12;
    std::memcpy(out, settings.matrix, sizeof settings.matrix);
    return 0;
}

// ---- digital gains and white balance

int CVotf::ConvertDigitalGainsColorToWBGainY(double satU, double satV, double g0, double g1,
                                             double g2, double *wbU, double *wbV,
                                             double *gainY) noexcept {
    if (!(satU > 0.05) || !(satV > 0.05)) return 0;
    const double *y = kYuvValues;
    const double ly = y[0] * g0 + y[1] * g1 + y[2] * g2;
    const double lu = y[3] * g0 + y[4] * g1 + y[5] * g2;
    const double lv = y[6] * g0 + y[7] * g1 + y[8] * g2;
    if (gainY != nullptr) *gainY = ly;
    if (wbU != nullptr) *wbU = 2.0 * (lu / satU);
    if (wbV != nullptr) *wbV = 2.0 * (lv / satV);
    return 1;
}

int CVotf::SetDigitalColorGains(double g0, double g1, double g2) noexcept {
    double wbU, wbV, gainY;
    if (!ConvertDigitalGainsColorToWBGainY(settings.saturationU, settings.saturationV, g0, g1, g2,
                                           &wbU, &wbV, &gainY))
        return VOCAM_EUNSUPPORTED;
    settings.whiteBalanceU = wbU;
    settings.whiteBalanceV = wbV;
    settings.gain = gainY;
    Rebuild(*this, true);
    return 0;
}

int CVotf::GetDigitalColorGains(double *g0, double *g1, double *g2) const noexcept {
    try {
        const CMatrixSquare yi = YuvInverse();
        const double w[3] = {settings.gain * 1.0,
                             settings.saturationU * settings.whiteBalanceU / 2.0,
                             settings.saturationV * settings.whiteBalanceV / 2.0};
        double g[3];
        for (int r = 0; r < 3; ++r) g[r] = yi[r][0] * w[0] + yi[r][1] * w[1] + yi[r][2] * w[2];
        if (g0 != nullptr) *g0 = g[0];
        if (g1 != nullptr) *g1 = g[1];
        if (g2 != nullptr) *g2 = g[2];
        return 0;
    } catch (const std::bad_alloc &) {
        return VOCAM_ENOMEM;
    }
}

int CVotf::AdjustWhiteBalanceForRGBvalues(double c0, double c1, double c2) noexcept {
    const unsigned id = settings.correctionMatrix;
    if (id == 0 || id >= 16) return VOCAM_EINVAL;
    try {
        const CMatrix3x3 y(kYuvValues);
        CMatrix m = BaseMatrix(*this, settings, id);
        m = Times(y, m);
        m = Times(HueRotation(settings.hue), m);
        const CMatrix x = Apply(m, c0, c1, c2);
        const double wbU = -2.0 * x[1][0] / x[0][0];
        const double wbV = -2.0 * x[2][0] / x[0][0];
        // A colour without luminance has no chroma to cancel.
        if (!std::isfinite(wbU) || !std::isfinite(wbV)) return VOCAM_EINVAL;
        m = Times(WhiteBalanceShear(wbU, wbV), m);
        CMatrix3x3 stretch;
        stretch.MakeStretchXYZ(settings.gain, settings.saturationU, settings.saturationV);
        m = Times(stretch, m);
        m = Times(YuvInverse(), m);
        const CMatrix o = Apply(m, 1.0, 1.0, 1.0);
        double lowest = o[0][0];
        if (o[1][0] < lowest) lowest = o[1][0];
        if (o[2][0] < lowest) lowest = o[2][0];
        // Bring the weakest channel of white back to full scale.
        if (lowest > 0.4 && lowest < 1.0) settings.gain *= 1.0 / lowest;
        settings.whiteBalanceU = wbU;
        settings.whiteBalanceV = wbV;
        BuildCurrentMatrix();
        return 0;
    } catch (const std::bad_alloc &) {
        return VOCAM_ENOMEM;
    }
}
