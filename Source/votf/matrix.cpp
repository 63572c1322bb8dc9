#include "votf/matrix.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

CMatrixError::~CMatrixError() = default;

namespace {

// Element count of a rows x cols matrix; negative dimensions are a caller's
// bug, and a count that cannot be addressed is memory we cannot get.
std::size_t ElementCount(int rows, int cols) {
    if (rows < 0 || cols < 0) throw CMatrixError("matrix dimensions must not be negative");
    const auto r = static_cast<std::size_t>(rows);
    const auto c = static_cast<std::size_t>(cols);
    if (c != 0 && r > std::numeric_limits<std::size_t>::max() / sizeof(double) / c)
        throw std::bad_array_new_length();
    return r * c;
}

}  // namespace

// ---- CMatrix

CMatrix::CMatrix(int rows, int cols, const double *values) {
    Init(rows, cols, values);
}

CMatrix::CMatrix(const CMatrix &other) {
    Init(other.rows_, other.columns_, other.elements_);
}

CMatrix::~CMatrix() {
    Release();
}

bool CMatrix::Allocate(int rows, int cols, bool nothrow) {
    const std::size_t n = ElementCount(rows, cols);
    owned_.reset();
    elements_ = nullptr;
    rows_ = columns_ = 0;
    if (nothrow) {
        owned_.reset(new (std::nothrow) double[n]);
        if (!owned_) return false;
    } else {
        owned_.reset(new double[n]);
    }
    elements_ = owned_.get();
    rows_ = rows;
    columns_ = cols;
    return true;
}

void CMatrix::Init(int rows, int cols, const double *values) {
    const std::size_t n = ElementCount(rows, cols);
    // Init always yields an owning matrix; a CMatrix3x3 must stay inline.
    if (elements_ != nullptr && !owned_ && (rows != rows_ || cols != columns_))
        throw CMatrixError("a fixed-size matrix cannot change shape");
    if (elements_ != nullptr && !owned_) {
        Assign(rows, cols, values);
        return;
    }
    owned_.reset();
    elements_ = nullptr;
    rows_ = columns_ = 0;
    if (n == 0) return;
    // Copy before allocating over ourselves: values may be our own elements.
    std::unique_ptr<double[]> block(new double[n]);
    if (values != nullptr)
        std::memcpy(block.get(), values, n * sizeof(double));
    else
        std::fill_n(block.get(), n, 0.0);
    owned_ = std::move(block);
    elements_ = owned_.get();
    rows_ = rows;
    columns_ = cols;
}

void CMatrix::Release() {
    if (elements_ == nullptr || !owned_) return;
    owned_.reset();
    elements_ = nullptr;
    rows_ = columns_ = 0;
}

void CMatrix::UseInlineStorage(int rows, int cols, double *storage) {
    owned_.reset();
    elements_ = storage;
    rows_ = rows;
    columns_ = cols;
}

void CMatrix::Assign(int rows, int cols, const double *values) {
    const std::size_t n = ElementCount(rows, cols);
    if (elements_ != nullptr && !owned_ && (rows != rows_ || cols != columns_))
        throw CMatrixError("a fixed-size matrix cannot change shape");
    if (n == Count() && elements_ != nullptr) {
        rows_ = rows;
        columns_ = cols;
        if (values == nullptr)
            std::fill_n(elements_, n, 0.0);
        else if (values != elements_)
            std::memmove(elements_, values, n * sizeof(double));
        return;
    }
    if (n == 0) {
        Release();
        rows_ = rows;
        columns_ = cols;
        return;
    }
    // Build the new block first so that values may point into this matrix.
    std::unique_ptr<double[]> block(new double[n]);
    if (values != nullptr)
        std::memcpy(block.get(), values, n * sizeof(double));
    else
        std::fill_n(block.get(), n, 0.0);
    owned_ = std::move(block);
    elements_ = owned_.get();
    rows_ = rows;
    columns_ = cols;
}

void CMatrix::Assign(const CMatrix &other) {
    Assign(other.rows_, other.columns_, other.elements_);
}

CMatrix &CMatrix::operator=(const CMatrix &other) {
    Assign(other);
    return *this;
}

const double *CMatrix::RowAt(int row) const {
    if (elements_ == nullptr) return nullptr;
    if (row < 0 || row >= rows_) throw CMatrixError("matrix row out of range");
    return elements_ + static_cast<std::size_t>(columns_) * static_cast<std::size_t>(row);
}

int CMatrix::DumpValues(int max, double *out) const {
    if (elements_ == nullptr || max <= 0) return 0;
    const std::size_t n = std::min(Count(), static_cast<std::size_t>(max));
    std::memcpy(out, elements_, n * sizeof(double));
    return static_cast<int>(n);
}

CMatrix &CMatrix::operator*=(const CMatrix &b) {
    CMatrix product;
    MatrixMultiply(*this, b, product);
    Assign(product);
    return *this;
}

bool operator==(const CMatrix &a, const CMatrix &b) {
    if (a.Rows() != b.Rows() || a.Columns() != b.Columns()) return false;
    const double *x = a;
    const double *y = b;
    if (x == nullptr || y == nullptr) return x == y;
    const int n = a.Rows() * a.Columns();
    for (int i = 0; i < n; ++i)
        if (!(x[i] == y[i])) return false;
    return true;
}

void MatrixMultiply(const CMatrix &a, const CMatrix &b, CMatrix &result) {
    if (!a.Exist() || !b.Exist()) return;
    if (a.columns_ != b.rows_) return;
    // Multiplying into an operand would overwrite it while it is read.
    if (&result == &a || &result == &b) {
        CMatrix product;
        MatrixMultiply(a, b, product);
        if (product.Exist()) result.Assign(product);
        return;
    }
    if (result.rows_ != a.rows_ || result.columns_ != b.columns_) {
        result.Release();
        if (result.elements_ != nullptr)
            throw CMatrixError("a fixed-size matrix cannot change shape");
        if (!result.Allocate(a.rows_, b.columns_, true)) return;
    }
    const int n = a.columns_;
    for (int i = 0; i < a.rows_; ++i) {
        const double *ar = a.elements_ + static_cast<std::size_t>(i) * n;
        double *out = result.elements_ + static_cast<std::size_t>(i) * b.columns_;
        for (int j = 0; j < b.columns_; ++j) {
            double sum = 0.0;
            for (int k = 0; k < n; ++k) sum += ar[k] * b.elements_[k * b.columns_ + j];
            out[j] = sum;
        }
    }
}

CMatrix operator*(const CMatrix &a, const CMatrix &b) {
    CMatrix result;
    MatrixMultiply(a, b, result);
    return result;
}

// ---- CMatrixSquare

CMatrixSquare::CMatrixSquare(const CMatrixSquare &other) : CMatrix(other) {}

CMatrixSquare::CMatrixSquare(int n, const double *values) : CMatrix(n, n, values) {}

CMatrixSquare &CMatrixSquare::operator=(const CMatrixSquare &other) {
    Assign(other);
    return *this;
}

void CMatrixSquare::MakeIdentity() {
    if (!Exist()) return;
    double *e = Elements();
    std::fill_n(e, Count(), 0.0);
    const int diagonal = std::min(Rows(), Columns());
    for (int i = 0; i < diagonal; ++i) e[i * (Columns() + 1)] = 1.0;
}

double CMatrixSquare::Minor(int i, int j) const {
    const int n = Rows();
    if (n != Columns() || Elements() == nullptr)
        throw CMatrixError("minor of a matrix that is not square");
    if (i < 0 || j < 0 || i >= n || j >= n || n == 1)
        throw CMatrixError("minor index out of range");
    CMatrixSquare reduced;
    reduced.AllocZeros(n - 1, n - 1);
    double *out = reduced.Elements();
    const double *e = Elements();
    for (int r = 0; r < n; ++r) {
        if (r == i) continue;
        for (int c = 0; c < n; ++c)
            if (c != j) *out++ = e[r * n + c];
    }
    return reduced.Determinant();
}

double CMatrixSquare::Cofactor(int i, int j) const {
    const double m = Minor(i, j);
    return ((i + j) & 1) ? -m : m;
}

double CMatrixSquare::Determinant() const {
    const int n = Rows();
    if (n == 0 || Elements() == nullptr) throw CMatrixError("determinant of an empty matrix");
    if (n != Columns()) throw CMatrixError("determinant of a matrix that is not square");
    const double *e = Elements();
    if (n == 1) return e[0];
    if (n == 2) return e[0] * e[3] - e[1] * e[2];
    double sum = 0.0;
    for (int j = 0; j < n; ++j) sum += e[j] * Cofactor(0, j);
    return sum;
}

bool CMatrixSquare::GetInverse(CMatrixSquare &out) const {
    if (&out == this) {
        CMatrixSquare inverse;
        const bool ok = GetInverse(inverse);
        out.Assign(inverse);
        return ok;
    }
    const int n = Rows();
    out.AllocZeros(n, n);
    const double d = Determinant();
    if (d == 0.0) return false;
    double *o = out.Elements();
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) o[j * n + i] = Cofactor(i, j) / d;
    return true;
}

CMatrixSquare CMatrixSquare::Inverse() const {
    CMatrixSquare out;
    GetInverse(out);
    return out;
}

// ---- CMatrix3x3

CMatrix3x3::CMatrix3x3() {
    UseInlineStorage(3, 3, storage_);
}

CMatrix3x3::CMatrix3x3(const CMatrix3x3 &other) : CMatrixSquare() {
    UseInlineStorage(3, 3, storage_);
    std::memcpy(storage_, static_cast<const double *>(other), sizeof storage_);
}

CMatrix3x3::CMatrix3x3(const double *values) {
    UseInlineStorage(3, 3, storage_);
    std::memcpy(storage_, values, sizeof storage_);
}

CMatrix3x3 &CMatrix3x3::operator=(const CMatrix3x3 &other) {
    if (this != &other) std::memcpy(storage_, other.storage_, sizeof storage_);
    return *this;
}

void CMatrix3x3::Set(double e00, double e01, double e02, double e10, double e11, double e12,
                     double e20, double e21, double e22) {
    const double v[9] = {e00, e01, e02, e10, e11, e12, e20, e21, e22};
    std::memcpy(storage_, v, sizeof storage_);
}

void CMatrix3x3::MakeStretchX(double x) {
    MakeStretchXYZ(x, 1.0, 1.0);
}
void CMatrix3x3::MakeStretchY(double y) {
    MakeStretchXYZ(1.0, y, 1.0);
}
void CMatrix3x3::MakeStretchZ(double z) {
    MakeStretchXYZ(1.0, 1.0, z);
}

void CMatrix3x3::MakeStretchXYZ(double x, double y, double z) {
    Set(x, 0.0, 0.0, 0.0, y, 0.0, 0.0, 0.0, z);
}

void CMatrix3x3::MakeRotationX(double a) {
    const double c = std::cos(a), s = std::sin(a);
    Set(1.0, 0.0, 0.0, 0.0, c, -s, 0.0, s, c);
}

void CMatrix3x3::MakeRotationY(double a) {
    const double c = std::cos(a), s = std::sin(a);
    Set(c, 0.0, s, 0.0, 1.0, 0.0, -s, 0.0, c);
}

void CMatrix3x3::MakeRotationZ(double a) {
    const double c = std::cos(a), s = std::sin(a);
    Set(c, -s, 0.0, s, c, 0.0, 0.0, 0.0, 1.0);
}

void CMatrix3x3::PreMultiply(const CMatrix3x3 &t) {
    const CMatrix3x3 current(*this);
    MatrixMultiply(t, current, *this);
}

void CMatrix3x3::StretchX(double x) {
    CMatrix3x3 t;
    t.MakeStretchX(x);
    PreMultiply(t);
}

void CMatrix3x3::StretchY(double y) {
    CMatrix3x3 t;
    t.MakeStretchY(y);
    PreMultiply(t);
}

void CMatrix3x3::StretchZ(double z) {
    CMatrix3x3 t;
    t.MakeStretchZ(z);
    PreMultiply(t);
}

void CMatrix3x3::StretchXYZ(double x, double y, double z) {
    CMatrix3x3 t;
    t.MakeStretchXYZ(x, y, z);
    PreMultiply(t);
}

void CMatrix3x3::RotateAroundX(double a) {
    CMatrix3x3 t;
    t.MakeRotationX(a);
    PreMultiply(t);
}

void CMatrix3x3::RotateAroundY(double a) {
    CMatrix3x3 t;
    t.MakeRotationY(a);
    PreMultiply(t);
}

void CMatrix3x3::RotateAroundZ(double a) {
    CMatrix3x3 t;
    t.MakeRotationZ(a);
    PreMultiply(t);
}

CMatrix3x3 operator*(const CMatrix3x3 &a, const CMatrix3x3 &b) {
    CMatrix3x3 result;
    MatrixMultiply(a, b, result);
    return result;
}
