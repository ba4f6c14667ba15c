#pragma once
// Strided arrays of doubles with one or two axes: just enough to assemble a matrix from vectors
// and to tell the decomposition exactly how that matrix lies in memory. Not a general array
// library.
//
// An array is a storage, the offset of logical element 0 in it, one length per axis and one
// signed stride per axis, counted in elements: element (i, j) lies at data() + i*s0 + j*s1.
// `Array1`/`Array2` own their buffer; `Array1View`/`Array2View` borrow someone else's, which must
// outlive the view (a view of a temporary is fine inside one full expression, as below).
//
// Standard (row-major) strides are (cols, 1), or 1 for one axis; every stride is 0 when an axis
// has length 0. Column-major strides are (1, rows).
//
// The Taubin data matrix, n x 3 in column-major order without any reordering copy:
//
//   std::vector<double> w, u, v;                     // equal length n when all is well
//   auto stacked = linalg::stack_new_axis(
//       {Array1View::of(w), Array1View::of(u), Array1View::of(v)});  // 3 x n, strides (n, 1)
//   Array2 m = unwrap(std::move(stacked)).t().to_owned();            // n x 3, strides (1, n)
//   if (!linalg::all_finite(m)) ...                  // or let svd_into refuse it
//   auto svd = linalg::svd_into(std::move(m), /*wants_u=*/false, /*wants_vt=*/true);
//   const linalg::SvdResult result = unwrap(std::move(svd));  // Result<SvdResult, LinalgError>
//   const Array2& vt = *result.vt;                   // 3 x 3, present because it was wanted
//   // vt(2, 0), vt(2, 1), vt(2, 2): the right singular vector of the smallest singular value
//
// (svd_into lives in linalg/svd.hpp.) Unequal lengths make the first unwrap fault with
// "called `Result::unwrap()` on an `Err` value: ShapeError/IncompatibleShape: incompatible
// shapes"; no points at all give a 0 x 3 matrix, which svd_into refuses with
// EmptyMatrix { rows: 0, cols: 3 } before LAPACK sees it.
//
// Index checks are faults at the caller's position: a column index not below the number of
// columns faults "assertion failed: index < dim"; an element index out of range faults with the
// index message.

#include <array>
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "base/fault.hpp"
#include "base/result.hpp"

namespace tondra::linalg {

enum class ErrorKind {
  IncompatibleShape,
  IncompatibleLayout,
  RangeLimited,
  OutOfBounds,
  Unsupported,
  Overflow,
};

// A shape mismatch. Its text (display and debug alike) is "ShapeError/KIND: DESCRIPTION", e.g.
// "ShapeError/IncompatibleShape: incompatible shapes".
struct ShapeError {
  ErrorKind kind;

  static ShapeError from_kind(ErrorKind kind) noexcept { return ShapeError{kind}; }
  bool operator==(const ShapeError&) const = default;
};

std::string to_string(const ShapeError& error);
std::string debug_text(const ShapeError& error);

// Storage of an owned array: the element buffer itself.
struct Owned {
  std::vector<double> buffer;
  double* base() noexcept { return buffer.data(); }
  const double* base() const noexcept { return buffer.data(); }
};

// Storage of a view: the address of the viewed array's logical element 0.
struct View {
  const double* origin = nullptr;
  const double* base() const noexcept { return origin; }
};

template <class Storage, std::size_t D>
class ArrayBase {
  static_assert(D == 1 || D == 2, "arrays have one or two axes");
  static_assert(std::is_same_v<Storage, Owned> || std::is_same_v<Storage, View>);
  static constexpr bool kOwned = std::is_same_v<Storage, Owned>;

 public:
  using Shape = std::array<std::size_t, D>;
  using Strides = std::array<std::ptrdiff_t, D>;

  static Strides standard_strides(const Shape& shape) noexcept;
  static Strides column_major_strides(const Shape& shape) noexcept requires(D == 2);

  // Takes over the vector's buffer without copying: length n, stride 1 (0 when n = 0).
  static ArrayBase from_vec(std::vector<double> values) noexcept requires(kOwned && D == 1);
  // Borrows the span's elements in the same way.
  static ArrayBase of(std::span<const double> values) noexcept requires(!kOwned && D == 1);

  // Wraps a buffer holding a row-major (column-major) rows x cols matrix; the buffer's length
  // must be rows*cols (IncompatibleShape).
  static base::Result<ArrayBase, ShapeError> from_row_major(std::size_t rows, std::size_t cols,
                                                            std::vector<double> buffer)
      requires(kOwned && D == 2);
  static base::Result<ArrayBase, ShapeError> from_col_major(std::size_t rows, std::size_t cols,
                                                            std::vector<double> buffer)
      requires(kOwned && D == 2);

  // Wraps a buffer with any strides, negative ones included (logical element 0 is then placed so
  // that the lowest element is the buffer's first). Refused: a size that overflows (Overflow),
  // elements beyond the buffer (OutOfBounds), strides under which two indices could share an
  // element (Unsupported, as the decomposition writes through the array).
  static base::Result<ArrayBase, ShapeError> from_shape_strides(std::vector<double> buffer,
                                                                const Shape& shape,
                                                                const Strides& strides)
      requires(kOwned);

  const Shape& shape() const noexcept { return shape_; }
  const Strides& strides() const noexcept { return strides_; }
  std::size_t len() const noexcept requires(D == 1)
  {
    return shape_[0];
  }
  std::size_t rows() const noexcept requires(D == 2)
  {
    return shape_[0];
  }
  std::size_t cols() const noexcept requires(D == 2)
  {
    return shape_[1];
  }
  std::size_t size() const noexcept;
  bool empty() const noexcept { return size() == 0; }

  // Address of logical element 0 (meaningless when the array is empty).
  const double* data() const noexcept { return storage_.base() + offset_; }

  double operator()(std::size_t i, base::SourcePos where = base::SourcePos::here()) const
      requires(D == 1);
  double operator()(std::size_t i, std::size_t j,
                    base::SourcePos where = base::SourcePos::here()) const requires(D == 2);

  ArrayBase<View, D> view() const noexcept;
  // The lengths and strides exchanged; nothing is copied.
  ArrayBase<View, 2> t() const noexcept requires(D == 2);
  // Column j: length rows, stride s0, starting at (0, j).
  ArrayBase<View, 1> column(std::size_t j, base::SourcePos where = base::SourcePos::here()) const
      requires(D == 2);

  // A contiguous array is copied as the block it is, keeping its strides (so the copy of a
  // transposed row-major matrix is column-major); any other is copied in logical order into
  // standard strides.
  ArrayBase<Owned, D> to_owned() const;

  bool is_standard_layout() const noexcept { return strides_ == standard_strides(shape_); }
  // The elements fill one block without gaps, in some order: standard strides, or the axis with
  // the smaller absolute stride (axis 0 on a tie) has length 1 or stride +-1 and the other has
  // length 1 or an absolute stride equal to that axis's length.
  bool is_contiguous() const noexcept;

  // The elements as the block they occupy, from the lowest address; nothing when not contiguous.
  std::optional<std::span<const double>> memory_block() const noexcept;
  std::optional<std::span<double>> memory_block_mut() noexcept requires(kOwned);

 private:
  template <class, std::size_t>
  friend class ArrayBase;

  ArrayBase(Storage storage, std::size_t offset, const Shape& shape, const Strides& strides)
      : storage_(std::move(storage)), offset_(offset), shape_(shape), strides_(strides) {}

  // A buffer of exactly rows*cols elements with the given dense strides.
  static base::Result<ArrayBase, ShapeError> from_dense(std::size_t rows, std::size_t cols,
                                                        std::vector<double> buffer,
                                                        const Strides& strides)
      requires(kOwned && D == 2);

  // Offset of the lowest element relative to logical element 0 (zero or negative).
  std::ptrdiff_t lowest_offset() const noexcept;

  Storage storage_;
  std::size_t offset_;
  Shape shape_;
  Strides strides_;
};

using Array1 = ArrayBase<Owned, 1>;
using Array2 = ArrayBase<Owned, 2>;
using Array1View = ArrayBase<View, 1>;
using Array2View = ArrayBase<View, 2>;

extern template class ArrayBase<Owned, 1>;
extern template class ArrayBase<Owned, 2>;
extern template class ArrayBase<View, 1>;
extern template class ArrayBase<View, 2>;

// Stacks k arrays of length n as the rows of a new k x n array with standard strides, copying
// them. In order: an empty list is Unsupported; a length that differs from the first array's is
// IncompatibleShape; k*n beyond the signed size range is Overflow. (Stacking along a new first
// axis is always in range, so OutOfBounds cannot arise.) With n = 0 the result is k x 0 with
// strides (0, 0).
base::Result<Array2, ShapeError> stack_new_axis(std::span<const Array1View> arrays);
base::Result<Array2, ShapeError> stack_new_axis(std::initializer_list<Array1View> arrays);

// True when no element is NaN or infinite (true for an empty array). LAPACK has been seen to
// spin forever on a non-finite matrix, so one is tested with this before it goes near LAPACK.
bool all_finite(std::span<const double> values) noexcept;
template <class Storage, std::size_t D>
bool all_finite(const ArrayBase<Storage, D>& array) noexcept;

extern template bool all_finite(const Array1&) noexcept;
extern template bool all_finite(const Array2&) noexcept;
extern template bool all_finite(const Array1View&) noexcept;
extern template bool all_finite(const Array2View&) noexcept;

}  // namespace tondra::linalg
