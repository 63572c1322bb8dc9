#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cmath>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#include "votf/matrix.h"

namespace {

std::vector<double> Values(const CMatrix &m) {
    std::vector<double> v(static_cast<std::size_t>(m.Rows() * m.Columns()));
    if (!v.empty()) m.DumpValues(static_cast<int>(v.size()), v.data());
    return v;
}

const double k3x3[9] = {1, 2, 3, 4, 5, 6, 7, 8, 10};
const double k3x4[12] = {1, 0, 2, -1, 0, 3, 1, 2, 4, -2, 0, 1};
const std::vector<double> kValues3x3(k3x3, k3x3 + 9);

TEST(MatrixProduct, ShapesFollowTheOperandsAndMismatchesLeaveTheResult) {
    const CMatrix a(3, 3, k3x3), b(3, 4, k3x4);
    EXPECT_EQ(Values(a * b), (std::vector<double>{13, 0, 4, 6, 28, 3, 13, 12, 47, 4, 22, 19}));
    const double v4[4] = {1, 2, 3, 4};
    EXPECT_EQ(Values(b * CMatrix(4, 1, v4)), (std::vector<double>{3, 17, 4}));

    const CMatrix col3(3, 1, v4);
    CMatrix kept(2, 2, v4);
    MatrixMultiply(b, col3, kept);
    MatrixMultiply(CMatrix(), a, kept);
    EXPECT_EQ(Values(kept), (std::vector<double>{1, 2, 3, 4}));
    EXPECT_FALSE((b * col3).Exist());
}

TEST(MatrixProduct, InPlaceFormsUseTheOldValues) {
    CMatrix a(3, 3, k3x3);
    const CMatrix expected = a * a;
    a *= a;
    EXPECT_TRUE(a == expected);
    CMatrix b(3, 3, k3x3);
    const CMatrix c(3, 4, k3x4);
    MatrixMultiply(b, c, b);  // result aliasing an operand
    EXPECT_TRUE(b == CMatrix(3, 3, k3x3) * c);
    const CMatrix3x3 xy = CMatrix3x3(k3x3) * CMatrix3x3(k3x3);
    EXPECT_EQ(xy[1][2], 4 * 3 + 5 * 6 + 6 * 10);
}

TEST(MatrixSquare, DeterminantAndInverse) {
    const double one = 7.5, two[4] = {1, 2, 3, 4};
    EXPECT_EQ((std::array{CMatrixSquare(1, &one).Determinant(), CMatrixSquare(2, two).Determinant(),
                          CMatrixSquare(3, k3x3).Determinant()}),
              (std::array{7.5, -2.0, -3.0}));

    // The values of a 3x3 inverse are the colour engine's (votf_test).
    // A singular matrix zeroes the result; an inverse may overwrite its source.
    const double singular[9] = {1, 2, 3, 0, 0, 0, 4, 5, 6};
    CMatrixSquare out(2, two);
    EXPECT_FALSE(CMatrixSquare(3, singular).GetInverse(out));
    EXPECT_TRUE(out == CMatrix(3, 3, nullptr));
    EXPECT_TRUE(CMatrixSquare(3, singular).Inverse() == CMatrix(3, 3, nullptr));
    CMatrixSquare self(3, k3x3);
    EXPECT_TRUE(self.GetInverse(self));
    EXPECT_TRUE(self == CMatrixSquare(3, k3x3).Inverse());
}

TEST(MatrixStorage, CopiesAreDeepAndInlineStorageStays) {
    CMatrix3x3 fixed(k3x3);
    CMatrix copy(fixed);
    EXPECT_TRUE(copy.OwnsElements());
    EXPECT_TRUE(copy == fixed);
    copy[0][0] = 99;
    EXPECT_EQ(fixed[0][0], 1.0);
    fixed.Release();  // inline storage is not released
    EXPECT_EQ(fixed[2][2], 10.0);
    CMatrix3x3 other;
    other = fixed;
    EXPECT_TRUE(other == fixed);
    EXPECT_FALSE(other.OwnsElements());

    CMatrix m(3, 4, k3x4);
    m.Assign(3, 3, k3x3);
    EXPECT_EQ(std::pair(m.Rows(), m.Columns()), std::pair(3, 3));
    EXPECT_EQ(Values(m), kValues3x3);
    m.Release();
    EXPECT_FALSE(m.Exist());
    EXPECT_EQ(m[0], nullptr);
    EXPECT_EQ(m.DumpValues(20, nullptr), 0);
    m.AllocZeros(4, 1);
    EXPECT_EQ(Values(m), std::vector<double>(4, 0.0));

    CMatrix from(3, 4, k3x4);
    double out[20] = {};
    EXPECT_EQ(from.DumpValues(20, out), 12);
    EXPECT_EQ(std::pair(out[11], out[12]), std::pair(1.0, 0.0));
    EXPECT_EQ(from.DumpValues(5, out), 5);
    CMatrix assigned;
    assigned = from;
    const CMatrix &alias = assigned;
    assigned = alias;
    EXPECT_TRUE(assigned == from);
}

TEST(MatrixCompare, ShapeAndEveryElementCount) {
    const CMatrix a(3, 4, k3x4);
    EXPECT_FALSE(a == CMatrix(4, 3, k3x4));
    EXPECT_TRUE(a == CMatrix(3, 4, k3x4));
    EXPECT_TRUE(CMatrix() == CMatrix());
    double changed[12];
    std::copy(k3x4, k3x4 + 12, changed);
    changed[7] = 2.5;
    EXPECT_FALSE(a == CMatrix(3, 4, changed));
    changed[7] = std::numeric_limits<double>::quiet_NaN();
    const CMatrix n(3, 4, changed);
    EXPECT_FALSE(n == n);
}

TEST(Matrix3x3, TransformsApplyAfterTheExistingOne) {
    CMatrix3x3 rz, ry, rx, sy, m;
    rz.MakeRotationZ(0.7);
    EXPECT_DOUBLE_EQ(rz[0][1], -std::sin(0.7));
    EXPECT_DOUBLE_EQ(rz[1][0], std::sin(0.7));
    ry.MakeRotationY(0.25);
    EXPECT_DOUBLE_EQ(ry[0][2], std::sin(0.25));
    EXPECT_DOUBLE_EQ(ry[2][0], -std::sin(0.25));
    m.MakeIdentity();
    m.RotateAroundZ(0.7);
    EXPECT_TRUE(m == rz);
    m.MakeIdentity();
    m.RotateAroundY(0.25);
    EXPECT_TRUE(m == ry);

    CMatrix3x3 rows(k3x3);
    rows.StretchX(2);
    EXPECT_EQ(Values(rows), (std::vector<double>{2, 4, 6, 4, 5, 6, 7, 8, 10}));
    rows.StretchXYZ(1, 0.5, -1);
    EXPECT_EQ(Values(rows), (std::vector<double>{2, 4, 6, 2, 2.5, 3, -7, -8, -10}));

    // Stretch first, then rotate: the rotation acts on the stretched result.
    m.MakeStretchY(3);
    m.RotateAroundX(0.5);
    rx.MakeRotationX(0.5);
    EXPECT_DOUBLE_EQ(rx[1][2], -std::sin(0.5));
    EXPECT_DOUBLE_EQ(rx[2][1], std::sin(0.5));
    sy.MakeStretchY(3);
    EXPECT_TRUE(m == rx * sy);
}

TEST(MatrixFatal, BrokenInvariantsRaise) {
    CMatrix3x3 fixed(k3x3);
    const CMatrix wide(3, 4, k3x4);
    // A 3x3 holds nothing but a 3x3.
    EXPECT_THROW(MatrixMultiply(CMatrix3x3(k3x3), wide, fixed), CMatrixError);
    EXPECT_THROW(fixed.Assign(3, 4, k3x4), CMatrixError);
    EXPECT_THROW(fixed.Assign(9, 1, k3x3), CMatrixError);
    EXPECT_THROW(fixed = wide, CMatrixError);
    EXPECT_EQ(Values(fixed), kValues3x3);

    const CMatrixSquare m(3, k3x3);
    for (auto [row, column] : {std::pair(3, 0), std::pair(0, 3), std::pair(-1, 0)})
        EXPECT_THROW(m.Minor(row, column), CMatrixError) << row << ',' << column;
    const double one = 2.0;
    EXPECT_THROW(CMatrixSquare(1, &one).Minor(0, 0), CMatrixError);
    EXPECT_THROW(CMatrixSquare().Determinant(), CMatrixError);
    CMatrixSquare notSquare;
    notSquare.Assign(3, 4, k3x4);
    EXPECT_THROW(notSquare.Determinant(), CMatrixError);
    EXPECT_THROW(CMatrix(-1, 3, nullptr), CMatrixError);
    EXPECT_THROW(m[3], CMatrixError);
    EXPECT_THROW(m[-1], CMatrixError);
    // Exhausted memory is std::bad_alloc, and the matrix keeps its shape.
    EXPECT_THROW(CMatrix(INT_MAX, INT_MAX, nullptr), std::bad_alloc);
    CMatrix small(2, 2, nullptr);
    EXPECT_THROW(small.AllocZeros(INT_MAX, INT_MAX), std::bad_alloc);
    EXPECT_EQ(small.Rows(), 2);
}

}  // namespace
