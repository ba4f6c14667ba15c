#include "linalg/array.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "base/pages.hpp"

namespace tondra::linalg {
namespace {

constexpr auto kMaxElements = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());

ShapeError error_of(ErrorKind kind) { return ShapeError::from_kind(kind); }

// a*b, or nothing when it leaves the signed size range.
std::optional<std::size_t> checked_mul(std::size_t a, std::size_t b) {
  std::size_t product = 0;
  if (__builtin_mul_overflow(a, b, &product) || product > kMaxElements) return std::nullopt;
  return product;
}

std::size_t magnitude(std::ptrdiff_t stride) {
  return stride < 0 ? std::size_t{0} - static_cast<std::size_t>(stride)
                    : static_cast<std::size_t>(stride);
}

// Calls visit(element) for every element in logical (row-major) order.
template <class Storage, std::size_t D, class Visit>
void for_each_element(const ArrayBase<Storage, D>& a, Visit&& visit) {
  const double* origin = a.data();
  if constexpr (D == 1) {
    const std::ptrdiff_t s = a.strides()[0];
    for (std::size_t i = 0; i < a.len(); ++i) visit(origin[static_cast<std::ptrdiff_t>(i) * s]);
  } else {
    const auto [s0, s1] = a.strides();
    for (std::size_t i = 0; i < a.rows(); ++i) {
      const double* row = origin + static_cast<std::ptrdiff_t>(i) * s0;
      for (std::size_t j = 0; j < a.cols(); ++j) visit(row[static_cast<std::ptrdiff_t>(j) * s1]);
    }
  }
}

}  // namespace

std::string to_string(const ShapeError& error) {
  switch (error.kind) {
    case ErrorKind::IncompatibleShape: return "ShapeError/IncompatibleShape: incompatible shapes";
    case ErrorKind::IncompatibleLayout:
      return "ShapeError/IncompatibleLayout: incompatible memory layout";
    case ErrorKind::RangeLimited:
      return "ShapeError/RangeLimited: the shape does not fit in type limits";
    case ErrorKind::OutOfBounds: return "ShapeError/OutOfBounds: out of bounds indexing";
    case ErrorKind::Unsupported: return "ShapeError/Unsupported: unsupported operation";
    case ErrorKind::Overflow: return "ShapeError/Overflow: arithmetic overflow";
  }
  return "ShapeError/?";  // unreachable for a valid kind
}

std::string debug_text(const ShapeError& error) { return to_string(error); }

template <class S, std::size_t D>
auto ArrayBase<S, D>::standard_strides(const Shape& shape) noexcept -> Strides {
  if (std::find(shape.begin(), shape.end(), std::size_t{0}) != shape.end()) return Strides{};
  if constexpr (D == 1) {
    return Strides{1};
  } else {
    return Strides{static_cast<std::ptrdiff_t>(shape[1]), 1};
  }
}

template <class S, std::size_t D>
auto ArrayBase<S, D>::column_major_strides(const Shape& shape) noexcept -> Strides requires(D == 2)
{
  return Strides{1, static_cast<std::ptrdiff_t>(shape[0])};
}

template <class S, std::size_t D>
ArrayBase<S, D> ArrayBase<S, D>::from_vec(std::vector<double> values) noexcept
    requires(kOwned && D == 1)
{
  const Shape shape{values.size()};
  return ArrayBase(Owned{std::move(values)}, 0, shape, standard_strides(shape));
}

template <class S, std::size_t D>
ArrayBase<S, D> ArrayBase<S, D>::of(std::span<const double> values) noexcept
    requires(!kOwned && D == 1)
{
  const Shape shape{values.size()};
  return ArrayBase(View{values.data()}, 0, shape, standard_strides(shape));
}

template <class S, std::size_t D>
auto ArrayBase<S, D>::from_dense(std::size_t rows, std::size_t cols, std::vector<double> buffer,
                                 const Strides& strides)
    -> base::Result<ArrayBase, ShapeError> requires(kOwned && D == 2)
{
  const auto count = checked_mul(rows, cols);
  if (!count) return error_of(ErrorKind::Overflow);
  if (*count != buffer.size()) return error_of(ErrorKind::IncompatibleShape);
  return from_shape_strides(std::move(buffer), {rows, cols}, strides);
}

template <class S, std::size_t D>
auto ArrayBase<S, D>::from_row_major(std::size_t rows, std::size_t cols, std::vector<double> buffer)
    -> base::Result<ArrayBase, ShapeError> requires(kOwned && D == 2)
{
  return from_dense(rows, cols, std::move(buffer), standard_strides({rows, cols}));
}

template <class S, std::size_t D>
auto ArrayBase<S, D>::from_col_major(std::size_t rows, std::size_t cols, std::vector<double> buffer)
    -> base::Result<ArrayBase, ShapeError> requires(kOwned && D == 2)
{
  return from_dense(rows, cols, std::move(buffer), column_major_strides({rows, cols}));
}

template <class S, std::size_t D>
auto ArrayBase<S, D>::from_shape_strides(std::vector<double> buffer, const Shape& shape,
                                         const Strides& strides)
    -> base::Result<ArrayBase, ShapeError> requires(kOwned)
{
  std::size_t count = 1;
  for (const std::size_t len : shape) {
    const auto product = checked_mul(count, len);
    if (!product) return error_of(ErrorKind::Overflow);
    count = *product;
  }
  if (count == 0) return ArrayBase(Owned{std::move(buffer)}, 0, shape, strides);

  // The farthest element lies sum((len-1)*|s|) past the lowest one; logical element 0 sits
  // above the lowest by the extents of the axes that run backwards.
  std::size_t span = 0;
  std::size_t offset = 0;
  for (std::size_t axis = 0; axis < D; ++axis) {
    const auto extent = checked_mul(shape[axis] - 1, magnitude(strides[axis]));
    if (!extent || __builtin_add_overflow(span, *extent, &span) || span >= kMaxElements) {
      return error_of(ErrorKind::Overflow);
    }
    if (strides[axis] < 0) offset += *extent;
  }
  if (span >= buffer.size()) return error_of(ErrorKind::OutOfBounds);

  // No two indices may reach the same element. Sufficient test: ordering the axes longer than 1
  // by absolute stride, each stride must exceed the extent of the axes before it. It refuses
  // some interleaved layouts that do not alias; nothing here builds those.
  std::array<std::size_t, D> axes{};
  std::size_t moving = 0;
  for (std::size_t axis = 0; axis < D; ++axis) {
    if (shape[axis] > 1) axes[moving++] = axis;
  }
  const auto by_stride = [&](std::size_t a, std::size_t b) {
    return magnitude(strides[a]) < magnitude(strides[b]);
  };
  // An insertion sort of the at most D axes, as std::sort does for so few. With the sanitizers
  // at -O3, g++ 12 cannot see that `moving` <= D and reports out-of-bounds accesses to `axes` on
  // paths that never run (std::sort's for long ranges, or any sort of one axis).
  if constexpr (D > 1) {
    for (std::size_t k = 1; k < moving; ++k) {
      for (std::size_t j = k; j > 0 && by_stride(axes[j], axes[j - 1]); --j) {
        std::swap(axes[j], axes[j - 1]);
      }
    }
  }
  std::size_t reach = 0;
  for (std::size_t k = 0; k < moving; ++k) {
    const std::size_t axis = axes[k];
    if (magnitude(strides[axis]) <= reach) return error_of(ErrorKind::Unsupported);
    reach += (shape[axis] - 1) * magnitude(strides[axis]);
  }
  return ArrayBase(Owned{std::move(buffer)}, offset, shape, strides);
}

template <class S, std::size_t D>
std::size_t ArrayBase<S, D>::size() const noexcept {
  std::size_t count = 1;
  for (const std::size_t len : shape_) count *= len;
  return count;
}

template <class S, std::size_t D>
double ArrayBase<S, D>::operator()(std::size_t i, base::SourcePos where) const requires(D == 1)
{
  base::check_index(i, shape_[0], where);
  return data()[static_cast<std::ptrdiff_t>(i) * strides_[0]];
}

template <class S, std::size_t D>
double ArrayBase<S, D>::operator()(std::size_t i, std::size_t j, base::SourcePos where) const
    requires(D == 2)
{
  base::check_index(i, shape_[0], where);
  base::check_index(j, shape_[1], where);
  return data()[static_cast<std::ptrdiff_t>(i) * strides_[0] +
                static_cast<std::ptrdiff_t>(j) * strides_[1]];
}

template <class S, std::size_t D>
ArrayBase<View, D> ArrayBase<S, D>::view() const noexcept {
  return ArrayBase<View, D>(View{data()}, 0, shape_, strides_);
}

template <class S, std::size_t D>
ArrayBase<View, 2> ArrayBase<S, D>::t() const noexcept requires(D == 2)
{
  return ArrayBase<View, 2>(View{data()}, 0, {shape_[1], shape_[0]}, {strides_[1], strides_[0]});
}

template <class S, std::size_t D>
ArrayBase<View, 1> ArrayBase<S, D>::column(std::size_t j, base::SourcePos where) const
    requires(D == 2)
{
  base::check(j < shape_[1], "index < dim", where);
  return ArrayBase<View, 1>(View{data() + static_cast<std::ptrdiff_t>(j) * strides_[1]}, 0,
                            {shape_[0]}, {strides_[0]});
}

template <class S, std::size_t D>
ArrayBase<Owned, D> ArrayBase<S, D>::to_owned() const {
  if (const auto block = memory_block()) {
    const auto offset = static_cast<std::size_t>(-lowest_offset());
    return ArrayBase<Owned, D>(Owned{std::vector<double>(block->begin(), block->end())}, offset,
                               shape_, strides_);
  }
  std::vector<double> copy;
  copy.reserve(size());
  for_each_element(*this, [&](double x) { copy.push_back(x); });
  return ArrayBase<Owned, D>(Owned{std::move(copy)}, 0, shape_, standard_strides(shape_));
}

template <class S, std::size_t D>
bool ArrayBase<S, D>::is_contiguous() const noexcept {
  if (is_standard_layout()) return true;
  if constexpr (D == 1) {
    return shape_[0] <= 1 || magnitude(strides_[0]) == 1;
  } else {
    const std::size_t fast = magnitude(strides_[1]) < magnitude(strides_[0]) ? 1 : 0;
    const std::size_t slow = 1 - fast;
    const bool fast_ok = shape_[fast] == 1 || magnitude(strides_[fast]) == 1;
    const bool slow_ok = shape_[slow] == 1 || magnitude(strides_[slow]) == shape_[fast];
    return fast_ok && slow_ok;
  }
}

template <class S, std::size_t D>
std::ptrdiff_t ArrayBase<S, D>::lowest_offset() const noexcept {
  std::ptrdiff_t offset = 0;
  if (empty()) return offset;
  for (std::size_t axis = 0; axis < D; ++axis) {
    if (strides_[axis] < 0) {
      offset += static_cast<std::ptrdiff_t>(shape_[axis] - 1) * strides_[axis];
    }
  }
  return offset;
}

template <class S, std::size_t D>
std::optional<std::span<const double>> ArrayBase<S, D>::memory_block() const noexcept {
  if (!is_contiguous()) return std::nullopt;
  if (empty()) return std::span<const double>{};
  return std::span<const double>(data() + lowest_offset(), size());
}

template <class S, std::size_t D>
std::optional<std::span<double>> ArrayBase<S, D>::memory_block_mut() noexcept requires(kOwned)
{
  if (!is_contiguous()) return std::nullopt;
  if (empty()) return std::span<double>{};
  const auto first = static_cast<std::ptrdiff_t>(offset_) + lowest_offset();
  return std::span<double>(storage_.base() + first, size());
}

template class ArrayBase<Owned, 1>;
template class ArrayBase<Owned, 2>;
template class ArrayBase<View, 1>;
template class ArrayBase<View, 2>;

base::Result<Array2, ShapeError> stack_new_axis(std::span<const Array1View> arrays) {
  if (arrays.empty()) return error_of(ErrorKind::Unsupported);
  const std::size_t n = arrays.front().len();
  for (const Array1View& a : arrays) {
    if (a.len() != n) return error_of(ErrorKind::IncompatibleShape);
  }
  const auto count = checked_mul(arrays.size(), n);
  if (!count) return error_of(ErrorKind::Overflow);

  std::vector<double> buffer;
  buffer.reserve(*count);
  base::prepare_pages(buffer);  // every reserved element is written below
  for (const Array1View& a : arrays) {
    for_each_element(a, [&](double x) { buffer.push_back(x); });
  }
  return Array2::from_row_major(arrays.size(), n, std::move(buffer));
}

base::Result<Array2, ShapeError> stack_new_axis(std::initializer_list<Array1View> arrays) {
  return stack_new_axis(std::span<const Array1View>(arrays.begin(), arrays.size()));
}

bool all_finite(std::span<const double> values) noexcept {
  // Integer arithmetic on the bits, without an early exit, so that the loop vectorises (the
  // common case is a finite matrix read to the end). Infinity and NaN are the values whose
  // exponent bits are all ones: with the sign cleared, adding one unit of the exponent's lowest
  // bit carries exactly those into bit 63.
  constexpr std::uint64_t kMagnitude = 0x7fff'ffff'ffff'ffff;
  constexpr std::uint64_t kExponentStep = 0x0010'0000'0000'0000;
  std::uint64_t carries = 0;
  for (const double x : values) {
    carries |= (std::bit_cast<std::uint64_t>(x) & kMagnitude) + kExponentStep;
  }
  return (carries >> 63) == 0;
}

template <class Storage, std::size_t D>
bool all_finite(const ArrayBase<Storage, D>& array) noexcept {
  if (const auto block = array.memory_block()) return all_finite(*block);
  bool finite = true;
  for_each_element(array, [&](double x) { finite &= std::isfinite(x); });
  return finite;
}

template bool all_finite(const Array1&) noexcept;
template bool all_finite(const Array2&) noexcept;
template bool all_finite(const Array1View&) noexcept;
template bool all_finite(const Array2View&) noexcept;

}  // namespace tondra::linalg
