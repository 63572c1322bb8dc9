// Instruction-set choice of the fixed-point colour-matrix stage.
#pragma once

namespace vocam::colour {

enum class MatrixIsa { kPortable = 0, kSse41 = 1, kAvx2 = 2 };

// Widest vector unit the matrix stage may use; the tests lower it so that
// every path is compared on the same machine.
inline MatrixIsa matrixIsaLimit = MatrixIsa::kAvx2;

// The path the stage takes on this processor within matrixIsaLimit.
MatrixIsa matrixIsa();

}  // namespace vocam::colour
