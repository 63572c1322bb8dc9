// Small dense matrices of doubles for composing colour transforms.
//
// The matrices are value objects of at most a few rows and columns; every
// copy is deep. A CMatrix3x3 keeps its nine elements inline and can never
// change shape. Broken invariants (a shape change asked of a CMatrix3x3, a
// minor out of range, the determinant of an empty or non-square matrix) raise
// CMatrixError; memory exhaustion raises std::bad_alloc.
#pragma once

#include <cstddef>
#include <memory>
#include <stdexcept>

#include "vocamapi.h"

// The one exception type of the matrix library: a programming error in the
// caller, never a run-time condition to recover from.
class VOCAM_API CMatrixError : public std::logic_error {
  public:
    explicit CMatrixError(const char *what) : std::logic_error(what) {}
    ~CMatrixError() override;
};

class CMatrix;
// result = a * b. An operand without elements or inner dimensions that do not
// agree leave result untouched; a failed allocation leaves it empty.
VOCAM_API void MatrixMultiply(const CMatrix &a, const CMatrix &b, CMatrix &result);

class VOCAM_API CMatrix {
  public:
    CMatrix() = default;
    CMatrix(int rows, int cols, const double *values);
    CMatrix(const CMatrix &other);
    ~CMatrix();

    // Becomes an owning rows x cols copy of values (zeros when values is null).
    void Init(int rows, int cols, const double *values);
    // Frees owned storage and empties the matrix; a matrix whose elements are
    // not its own (a CMatrix3x3) is left as it is.
    void Release();
    // Takes the shape rows x cols and copies rows*cols values (zeros when
    // values is null), reallocating only when the element count changes.
    void Assign(int rows, int cols, const double *values);
    void Assign(const CMatrix &other);
    CMatrix &operator=(const CMatrix &other);
    void AllocZeros(int rows, int cols) { Assign(rows, cols, nullptr); }

    bool Exist() const { return rows_ != 0 && columns_ != 0 && elements_ != nullptr; }
    // Pointer to the first element of a row, so that m[r][c] is element (r, c);
    // null for a matrix without elements. Rows outside the matrix raise.
    const double *operator[](int row) const { return RowAt(row); }
    double *operator[](int row) { return const_cast<double *>(RowAt(row)); }
    operator const double *() const { return elements_; }
    int Rows() const { return rows_; }
    int Columns() const { return columns_; }
    bool OwnsElements() const { return owned_ != nullptr; }
    // Copies at most max elements in row-major order; returns how many.
    int DumpValues(int max, double *out) const;

    CMatrix &operator*=(const CMatrix &b);

    friend void MatrixMultiply(const CMatrix &a, const CMatrix &b, CMatrix &result);

  protected:
    // For storage-carrying subclasses: elements live inside the object.
    void UseInlineStorage(int rows, int cols, double *storage);
    double *Elements() { return elements_; }
    const double *Elements() const { return elements_; }
    std::size_t Count() const {
        return static_cast<std::size_t>(rows_) * static_cast<std::size_t>(columns_);
    }

  private:
    const double *RowAt(int row) const;
    // Replaces the storage with a fresh owning block of rows x cols; with
    // nothrow, a failed allocation leaves the matrix empty instead of raising.
    bool Allocate(int rows, int cols, bool nothrow);

    int rows_ = 0;
    int columns_ = 0;
    double *elements_ = nullptr;
    std::unique_ptr<double[]> owned_;
};

// True when the shapes agree and every pair of elements compares equal.
VOCAM_API bool operator==(const CMatrix &a, const CMatrix &b);
// The product, or an empty matrix when it is undefined.
VOCAM_API CMatrix operator*(const CMatrix &a, const CMatrix &b);

class VOCAM_API CMatrixSquare : public CMatrix {
  public:
    CMatrixSquare() = default;
    CMatrixSquare(const CMatrixSquare &other);
    CMatrixSquare(int n, const double *values);
    CMatrixSquare &operator=(const CMatrixSquare &other);
    using CMatrix::operator=;

    void MakeIdentity();
    double Minor(int i, int j) const;
    double Cofactor(int i, int j) const;
    double Determinant() const;
    // Adjugate over determinant into out; false (out all zeros) when singular.
    bool GetInverse(CMatrixSquare &out) const;
    CMatrixSquare Inverse() const;
};

class VOCAM_API CMatrix3x3 : public CMatrixSquare {
  public:
    CMatrix3x3();
    CMatrix3x3(const CMatrix3x3 &other);
    explicit CMatrix3x3(const double *values);
    CMatrix3x3 &operator=(const CMatrix3x3 &other);
    using CMatrixSquare::operator=;  // any 3x3; other shapes raise

    void MakeStretchX(double x);
    void MakeStretchY(double y);
    void MakeStretchZ(double z);
    void MakeStretchXYZ(double x, double y, double z);
    void MakeRotationX(double a);
    void MakeRotationY(double a);
    void MakeRotationZ(double a);

    // Each applies the corresponding transform after the existing one:
    // this = T * this.
    void StretchX(double x);
    void StretchY(double y);
    void StretchZ(double z);
    void StretchXYZ(double x, double y, double z);
    void RotateAroundX(double a);
    void RotateAroundY(double a);
    void RotateAroundZ(double a);

  private:
    void Set(double e00, double e01, double e02, double e10, double e11, double e12, double e20,
             double e21, double e22);
    void PreMultiply(const CMatrix3x3 &t);

    double storage_[9] = {};
};

VOCAM_API CMatrix3x3 operator*(const CMatrix3x3 &a, const CMatrix3x3 &b);
