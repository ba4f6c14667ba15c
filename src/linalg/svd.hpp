#pragma once
// Singular value decomposition A = U * diag(S) * VT through LAPACK's dgesvd_.
//
// Three layers:
//  - svd_into(matrix, wants_u, wants_vt) on an owned Array2: refuses what LAPACK must not see,
//    works out how the matrix lies in memory and shapes the results as arrays;
//  - Lapack::svd(layout, wants_u, wants_vt, buffer) on a flat buffer described by a layout;
//  - SvdWork, which owns every buffer LAPACK writes and makes the two calls: the workspace
//    query (LWORK = -1), then the decomposition.
//
// LAPACK only knows column-major storage. A row-major r x c matrix is the column-major storage
// of its c x r transpose, A^T = U' S V'^T, so A = V' S U'^T: LAPACK is asked for U' when VT is
// wanted and for V'^T when U is wanted, and the two buffers swap roles on the way back. Read in
// row-major order they are then A's own U and VT. No element is ever reordered.
//
// Costs: a side that is not wanted gets job 'N' and no buffer, so an n x 3 matrix with VT only
// costs a 3 x 3 VT, three singular values and LAPACK's workspace, linear in n.
//
// Refused before any LAPACK call, in this order (svd_into):
//  1. a non-finite element: NonFiniteInput (LAPACK has been seen never to
//     return on a non-finite matrix);
//  2. no elements: EmptyMatrix { rows, cols } (LAPACK's leading dimension must be at least 1, so
//     a column-major matrix without rows would be described as having one that is not there);
//  3. strides that are neither column-major (s1 = rows, tested first, so 1 x 1 is column-major)
//     nor row-major (s0 = cols): InvalidStride { s0, s1 };
//  4. a side longer than LAPACK's 32-bit integers allow: Shape(ShapeError/RangeLimited);
//  5. elements that do not fill one block: MemoryNotCont;
//  6. a block whose inner axis runs backwards (stride -1): InvalidStride { s0, s1 }, since LAPACK
//     would then decompose the matrix with its rows (columns) reversed.
// The lower layers guard themselves too, so that no path reaches LAPACK with a bad buffer: a
// layout without elements or a buffer whose length does not match it is InvalidShape, and a
// non-finite element, which svd_into has already refused, is a fault.
//
// LAPACK's INFO < 0 is LapackInvalidValue, INFO > 0 (no convergence) LapackComputationalFailure,
// each carrying INFO; svd_into wraps them as Lapack(...). A workspace size that LAPACK reports
// and we cannot represent (NaN, negative, beyond 2^31 - 1) is a fault "called `Option::unwrap()`
// on a `None` value".

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "base/result.hpp"
#include "linalg/array.hpp"

namespace tondra::linalg {

// LAPACK's outcome. Debug texts: "LapackInvalidValue { return_code: -4 }",
// "LapackComputationalFailure { return_code: 2 }", "InvalidShape".
struct LapackError {
  struct LapackInvalidValue {
    std::int32_t return_code;
    bool operator==(const LapackInvalidValue&) const = default;
  };
  struct LapackComputationalFailure {
    std::int32_t return_code;
    bool operator==(const LapackComputationalFailure&) const = default;
  };
  // The layout describes no element, or the buffer's length does not match it.
  struct InvalidShape {
    bool operator==(const InvalidShape&) const = default;
  };

  std::variant<LapackInvalidValue, LapackComputationalFailure, InvalidShape> variant;
  bool operator==(const LapackError&) const = default;
};

// The decomposition's error. Debug texts follow one form: a name alone ("MemoryNotCont"), a name
// with fields ("InvalidStride { s0: 6, s1: 2 }"), or a name wrapping another error's text
// ("Lapack(LapackComputationalFailure { return_code: 2 })",
// "Shape(ShapeError/RangeLimited: the shape does not fit in type limits)").
struct LinalgError {
  struct NotSquare {
    std::int32_t rows;
    std::int32_t cols;
    bool operator==(const NotSquare&) const = default;
  };
  struct Lapack {
    LapackError error;
    bool operator==(const Lapack&) const = default;
  };
  struct InvalidStride {
    std::int64_t s0;
    std::int64_t s1;
    bool operator==(const InvalidStride&) const = default;
  };
  struct MemoryNotCont {
    bool operator==(const MemoryNotCont&) const = default;
  };
  struct NotStandardShape {
    std::size_t obj;
    std::int32_t rows;
    std::int32_t cols;
    bool operator==(const NotStandardShape&) const = default;
  };
  struct Shape {
    ShapeError error;
    bool operator==(const Shape&) const = default;
  };
  struct NonFiniteInput {
    bool operator==(const NonFiniteInput&) const = default;
  };
  struct EmptyMatrix {
    std::size_t rows;
    std::size_t cols;
    bool operator==(const EmptyMatrix&) const = default;
  };

  std::variant<NotSquare, Lapack, InvalidStride, MemoryNotCont, NotStandardShape, Shape,
               NonFiniteInput, EmptyMatrix>
      variant;
  bool operator==(const LinalgError&) const = default;
};

std::string debug_text(const LapackError& error);
std::string debug_text(const LinalgError& error);

// How a flat buffer holds the matrix, as LAPACK must be told.
struct StorageLayout {
  enum class Order { ColumnMajor, RowMajor };

  Order order;
  std::int32_t other_dim;  // ColumnMajor: the number of columns; RowMajor: the number of rows
  std::int32_t lead_dim;   // ColumnMajor: the number of rows; RowMajor: the number of columns

  static StorageLayout column_major(std::int32_t cols, std::int32_t lead_dim) noexcept {
    return {Order::ColumnMajor, cols, lead_dim};
  }
  static StorageLayout row_major(std::int32_t rows, std::int32_t lead_dim) noexcept {
    return {Order::RowMajor, rows, lead_dim};
  }
  bool operator==(const StorageLayout&) const = default;
};

// The decomposition of a flat buffer: flat column-major buffers as LAPACK wrote them, U and VT
// already exchanged for a row-major matrix.
struct SvdOutput {
  std::vector<double> s;
  std::optional<std::vector<double>> u;
  std::optional<std::vector<double>> vt;
};

// The same, borrowed from the SvdWork that computed it.
struct SvdViews {
  std::span<const double> s;
  std::optional<std::span<const double>> u;
  std::optional<std::span<const double>> vt;
};

// U (r x r, present exactly when wanted), the k = min(r, c) singular values in non-increasing
// order, VT (c x c, present exactly when wanted); U and VT in the input's storage order.
struct SvdResult {
  std::optional<Array2> u;
  Array1 s;
  std::optional<Array2> vt;
};

// The workspace of one decomposition: LAPACK's job characters and every buffer it writes.
class SvdWork {
 public:
  // Chooses the job characters, allocates the buffers and runs the workspace query.
  static base::Result<SvdWork, LapackError> create(StorageLayout layout, bool wants_u,
                                                   bool wants_vt);

  // Decomposes the buffer (overwritten) into this workspace. `a` must hold exactly
  // lead_dim * other_dim elements (InvalidShape otherwise), all finite (a fault otherwise).
  base::Result<SvdViews, LapackError> calc(std::span<double> a);

  // calc, then hands the buffers over; the workspace is consumed.
  base::Result<SvdOutput, LapackError> eval(std::span<double> a) &&;

  char lapack_jobu() const noexcept { return jobu_; }
  char lapack_jobvt() const noexcept { return jobvt_; }

 private:
  // svd_into has checked the matrix more strictly than calc would, and skips calc's second
  // pass over it.
  friend base::Result<SvdResult, LinalgError> svd_into(Array2 matrix, bool wants_u, bool wants_vt);

  // The LAPACK call itself; `a` has been checked.
  base::Result<SvdViews, LapackError> decompose(std::span<double> a);
  SvdOutput into_output() &&;

  SvdWork(StorageLayout layout, char jobu, char jobvt, std::vector<double> s, std::vector<double> u,
          std::vector<double> vt, std::vector<double> work)
      : layout_(layout),
        jobu_(jobu),
        jobvt_(jobvt),
        s_(std::move(s)),
        u_(std::move(u)),
        vt_(std::move(vt)),
        work_(std::move(work)) {}

  StorageLayout layout_;
  char jobu_;   // LAPACK's U side: 'A' or 'N'
  char jobvt_;  // LAPACK's VT side: 'A' or 'N'
  std::vector<double> s_;
  std::vector<double> u_;   // empty unless jobu_ == 'A'
  std::vector<double> vt_;  // empty unless jobvt_ == 'A'
  std::vector<double> work_;
};

struct Lapack {
  // SvdWork::create, then eval: the buffer is overwritten.
  static base::Result<SvdOutput, LapackError> svd(StorageLayout layout, bool wants_u, bool wants_vt,
                                                  std::span<double> a);
};

// Decomposes the r x c matrix, which it consumes (LAPACK overwrites it).
base::Result<SvdResult, LinalgError> svd_into(Array2 matrix, bool wants_u, bool wants_vt);

}  // namespace tondra::linalg
