// The colour converter: frame format and conversion settings, the tone tables
// and the fixed-point colour matrix composed from correction, hue, saturation,
// white balance and gain.
//
// Every method reports by status and lets no exception escape, so the flat C
// calls can use the converter directly. Calls on one converter must not
// overlap: it has no lock, and conversions share its tone tables.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>

#include "vocamapi.h"
#include "votf/layout.h"

class CMatrix;
class CMatrix3x3;
namespace vocam::colour {
class ConversionBands;
}

// Tone table with the parameters it was computed from. This is also a byte
// format: callers hand it over and get it back as 280 raw bytes.
struct _lut8_struct {
    std::uint8_t table[256];  // output byte for each input byte
    std::int64_t gamma;       // hundredths: 100 = gamma 1.0
    std::int64_t contrast;    // percent: 100 = unchanged
    std::int64_t brightness;  // 0 = unchanged; 100 shifts the curve by 2.56 levels
};
static_assert(offsetof(_lut8_struct, table) == 0);
static_assert(offsetof(_lut8_struct, gamma) == 256);
static_assert(offsetof(_lut8_struct, contrast) == 264);
static_assert(offsetof(_lut8_struct, brightness) == 272);
static_assert(sizeof(_lut8_struct) == 280);

// Sizes of the tone stage: off, a bare 256-byte table, or a table with its
// three parameters.
inline constexpr std::size_t kToneTableBare = 256;
inline constexpr std::size_t kToneTableFull = sizeof(_lut8_struct);
// Entries of the 16-bit tone table, one per raw 16-bit sample.
inline constexpr std::size_t kLut16Entries = 65536;

// Default frame format, used by a conversion that is given no image format.
struct _votf_format {
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    std::uint32_t firstRowBlue = 0;  // mosaic row 0 holds blue sites
    std::uint32_t greenFirst = 0;    // pixel 0 of row 0 is a green site
    std::uint32_t mono = 0;          // no demosaic, no colour matrix
    std::uint32_t deinterlace = 0;   // two fields one after the other
    std::uint32_t bottomUp = 0;      // inverts the vertical sense of the output
    std::uint32_t sampleFormat = 0;  // 0: 8-bit; 1: 16-bit MSB first; 2: 16-bit LSB first
};

// Conversion settings. A conversion works on a plain copy of this record:
// the fixed-point matrix lives inside the record, so a copy composes its own
// matrix without touching the converter's. The tone tables are views of
// tables the converter owns, shared by the copy; a conversion that needs a
// 16-bit table the converter does not have brings a temporary one of its own
// and points the copy's toneTable16 at it.
struct _votf_settings {
    std::uint32_t correctionMatrix = 1;  // 0 to 16; 0 = no matrix stage
    std::uint32_t demosaicMethod = 1;
    std::int32_t flipX = 0;
    std::int32_t flipY = 0;
    double saturationU = 1.0;
    double saturationV = 1.0;
    double hue = 0.0;  // degrees
    double whiteBalanceU = 0.0;
    double whiteBalanceV = 0.0;
    double gain = 1.0;  // gain of the Y component
    std::int16_t customMatrix[12] = {4096, 0, 0, 0, 0, 4096, 0, 0, 0, 0, 4096, 0};
    _lut8_struct *toneTable = nullptr;  // 280-byte buffer; null until first needed
    std::size_t toneTableSize = 0;      // 0 (off), 256 (bare table) or 280 (with parameters)
    std::uint32_t matrixDirty = 1;
    // Current 3x4 fixed-point colour matrix, row-major, 4096 = 1.0; aligned
    // for the vector matrix stage.
    alignas(16) std::int16_t matrix[12] = {};
    // 16-bit tone table indexed by the raw sample as stored (little-endian
    // read); null when absent.
    std::uint16_t *toneTable16 = nullptr;
};

// A caller's request for one conversion: 12 bytes (method and correction
// only) or 44 bytes. The record is little-endian on every host; the
// converter decodes it byte by byte, so this struct only documents the layout
// for callers that build it in memory on a little-endian machine.
// conversion_params, the caller's record, is declared in vocamapi.h.
static_assert(sizeof(float) == 4 && std::numeric_limits<float>::is_iec559);
static_assert(offsetof(conversion_params, demosaicMethod) == 4);
static_assert(offsetof(conversion_params, correctionMatrix) == 8);
static_assert(offsetof(conversion_params, flipX) == 12);
static_assert(offsetof(conversion_params, flipY) == 16);
static_assert(offsetof(conversion_params, hue) == 20);
static_assert(offsetof(conversion_params, saturation) == 24);
static_assert(offsetof(conversion_params, useColorGains) == 28);
static_assert(offsetof(conversion_params, gainOrGain0) == 32);
static_assert(offsetof(conversion_params, whiteBalanceUOrGain1) == 36);
static_assert(offsetof(conversion_params, whiteBalanceVOrGain2) == 40);
static_assert(sizeof(conversion_params) == 44);
inline constexpr std::uint32_t kConversionParamsShort = 12;
inline constexpr std::uint32_t kConversionParamsFull = sizeof(conversion_params);
// Byte size of the image-format record (thirteen 32-bit words).
inline constexpr std::uint32_t kImageFormatSize = 52;

// The 16-bit table of the last 16-bit conversion, kept with what it was built
// from (the tone table's bytes, its size and the sample byte order), so that
// frames with unchanged tone settings and byte order reuse it instead of
// recomputing 65536 entries.
struct Lut16Cache {
    std::unique_ptr<std::uint16_t[]> table;
    std::array<std::uint8_t, sizeof(_lut8_struct)> tone{};
    std::size_t toneSize = 0;
    int lsbFirst = 0;
    bool valid = false;
};

class VOCAM_API CVotf {
  public:
    CVotf();
    ~CVotf();
    CVotf(const CVotf &) = delete;
    CVotf &operator=(const CVotf &) = delete;

    // Demosaic method and flips. DemosaicMethodSet answers 1 when it accepts
    // the method and 0 when it keeps the old one.
    int DemosaicMethodSet(unsigned method) noexcept;
    int DemosaicMethodGet(unsigned *out) const noexcept;
    int SetFlipping(int x, int y) noexcept;
    int GetFlipping(int *x, int *y) const noexcept;

    // Tone curve. The setters take flags 15 (else -78), refuse a curve whose
    // gamma would be 0 or below (-22), compute the 8-bit table and, when the
    // default format has 16-bit samples, the 16-bit table too.
    int SetGamma(int value, unsigned flags) noexcept;
    int SetContrast(int value, unsigned flags) noexcept;
    int SetBrightness(int value, unsigned flags) noexcept;
    int GetGamma(int *out, unsigned flags) const noexcept;
    int GetContrast(int *out, unsigned flags) const noexcept;
    int GetBrightness(int *out, unsigned flags) const noexcept;
    // Installs a caller's 256- or 280-byte table (larger sizes are cut to
    // 280); size 0 switches the tone stage off.
    int SetupLUT(const unsigned char *data, unsigned size, unsigned flags) noexcept;
    // *size 0 asks for the size (answer 84); otherwise copies up to *size
    // bytes and reports the full size.
    int GetLUT(unsigned char *dest, unsigned *size, unsigned flags) const noexcept;
    // Keep (or make, for one conversion) the 16-bit table of s current with
    // its tone table: 1, or 0 when memory runs out. A record without a table
    // gets one of kLut16Entries entries. For the converter's own settings
    // the converter owns it; for any other record (a copy for a conversion)
    // the table belongs to whoever owns that record, who frees it with
    // delete[]. Dropping a stale table from another record only detaches it,
    // as it may be one its owner lent.
    int BuildLut16WhenRunning(_votf_settings *s, int lsbFirst) noexcept;
    int BuildLut16WhenNotRunning(_votf_settings *s, int lsbFirst) noexcept;

    // Colour matrices.
    // Stores a model matrix (nine coefficients in the model data's reversed
    // channel order) in slot 1 to 15.
    int SpecifyMatrix(unsigned id, const std::int16_t *m) noexcept;
    int CorrectionMatrixSet(unsigned id) noexcept;  // 1 accepted, 0 refused
    int CorrectionMatrixGet(unsigned *out) const noexcept;
    int CustomCorrectionMatrixSetup(const std::int16_t *m) noexcept;
    int GetCustomMatrix(std::int16_t *out) const noexcept;
    int SetHue(double degrees) noexcept;
    int SetGain(double g) noexcept;
    int SetSaturation(double u, double v) noexcept;
    int SetWhiteBalance(double u, double v) noexcept;
    int GetHue(double *out) const noexcept;
    int GetGain(double *out) const noexcept;
    int GetSaturation(double *u, double *v) const noexcept;
    int GetWhiteBalance(double *u, double *v) const noexcept;
    // Composes the fixed-point matrix of s into s->matrix. 1 on success; 0
    // for a correction id above 16 or when memory runs out (matrix untouched).
    int BuildMatrix(_votf_settings *s) const noexcept;
    int BuildCurrentMatrix() noexcept;
    int GetCurrentMatrix(std::int16_t *out) noexcept;

    // Frame conversion. bits is the output depth: 8 (grey, monochrome frames
    // only; colour frames get 24), 32, 48, anything else 24. imageFormat
    // (52-byte record) and params (conversion_params) may be null. 0
    // converted; -22 bad record size or a frame whose width or height is odd
    // or below 4; -14 unsupported frame, request or correction id. dst is
    // untouched on failure.
    int ConvertToRgb(unsigned char *dst, const unsigned char *src, unsigned bits,
                     const void *imageFormat, const void *params) noexcept;
    // The same with the record already decoded (null: the engine's own
    // format). The library's own: not exported with the class.
    [[gnu::visibility("hidden")]] int ConvertToRgb(unsigned char *dst, const unsigned char *src,
                                                   unsigned bits, const vo::FrameLayout *layout,
                                                   const void *params) noexcept;
    // Runs the kernel that serves f and s, then the matrix stage. 1
    // converted; 0 when no kernel serves the combination (dst untouched).
    int ConvertBayerToRgb(unsigned char *dst, const unsigned char *src, unsigned bits,
                          const _votf_format *f, const _votf_settings *s) const noexcept;

    // Digital per-channel gains (channel order of the output bytes) against
    // white balance and Y gain. 1 on success, 0 when a saturation is at or
    // below 0.05.
    static int ConvertDigitalGainsColorToWBGainY(double satU, double satV, double g0, double g1,
                                                 double g2, double *wbU, double *wbV,
                                                 double *gainY) noexcept;
    int SetDigitalColorGains(double g0, double g1, double g2) noexcept;
    int GetDigitalColorGains(double *g0, double *g1, double *g2) const noexcept;
    // White balance that cancels the chroma of a measured colour.
    int AdjustWhiteBalanceForRGBvalues(double c0, double c1, double c2) noexcept;

    // Threads that convert one large frame in row bands: 0 sets the default
    // (the cores available, at most 8); 1 converts on the calling thread
    // alone. 0 done, -22 above 8, -12 out of memory. Every thread count gives
    // the same bytes.
    int SetConversionThreads(unsigned threads) noexcept;
    unsigned GetConversionThreads() const noexcept;

    _votf_format format;
    _votf_settings settings;
    // Band layout, thread pool and scratch of the conversions; made by the
    // first conversion or thread setting. Without it ConvertBayerToRgb runs
    // its kernel over the whole frame and then the matrix stage.
    std::unique_ptr<vocam::colour::ConversionBands> bands;
    // Model correction matrices by id (slot 0 is never filled), 3x4 fixed point.
    std::array<std::unique_ptr<std::int16_t[]>, 16> specifiedMatrices;

  private:
    // Owners of the tables that settings.toneTable and settings.toneTable16 show.
    std::unique_ptr<_lut8_struct> toneTableBuffer_;
    std::unique_ptr<std::uint16_t[]> toneTable16Buffer_;
    // The 16-bit table of the last 16-bit conversion.
    Lut16Cache lut16Cache_;

    friend struct CVotfAccess;
};

// Fixed-point colour-matrix stage, in place. m is 3x4 row-major with 4096 =
// 1.0; each output channel r is the sum of m[4r + c] times channel c, clamped
// to the channel range after dropping 12 fraction bits.
// count 3-byte pixels; column 3 is unused.
VOCAM_API void MatrixPostProcess4096(const short *m, unsigned char *pixels, unsigned long count);
// count 4-byte pixels; byte 3 takes part through column 3 and is kept.
VOCAM_API void MatrixPostProcess4096to32(const short *m, unsigned char *pixels,
                                         unsigned long count);
// count pixels of three 16-bit values; column 3 is unused.
VOCAM_API void MatrixPostProcess16_4096(const short *m, unsigned short *pixels,
                                        unsigned long count);

// Tone tables.
void MakeLut8(_lut8_struct *l);
void MakeLut16(std::uint16_t *out, const _lut8_struct *l, std::size_t size, int lsbFirst);
bool ValidateDemosaicingMethod(unsigned method);
bool ValidateCorrectionMatrix(unsigned id);

// 3x4 helpers over the converter's fixed-point arrays (4096 = 1.0).
void MakeIdentity3x4(CMatrix &m);
void ConvertMatrixShortToDouble3x4(CMatrix *m, const std::int16_t *s);
void ConvertMatrixShortToDouble(CMatrix3x3 *m, const std::int16_t *s);

// Rows Y, U, V over the channels c0, c1, c2.
extern const double kYuvValues[9];
// Correction used when a model slot is empty; each row sums to 1.
extern const double RgbAllButNoneValues[9];
