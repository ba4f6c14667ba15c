#include "linalg/svd.hpp"

#include <algorithm>
#include <initializer_list>
#include <limits>
#include <utility>

#include "base/fault.hpp"
#include "linalg/lapack_sys.hpp"

namespace tondra::linalg {
namespace {

constexpr char kAll = 'A';
constexpr char kNone = 'N';
constexpr double kTwoPow64 = 18446744073709551616.0;
constexpr std::int32_t kMaxLapackInt = std::numeric_limits<std::int32_t>::max();

[[noreturn]] void unwrap_none(base::SourcePos where = base::SourcePos::here()) {
  base::fault("called `Option::unwrap()` on a `None` value", where);
}

// LAPACK's M and N for a layout: the stored matrix is M x N column-major with leading dimension M.
struct LapackDims {
  std::int32_t m;
  std::int32_t n;
};

LapackDims lapack_dims(StorageLayout layout) noexcept {
  return {layout.lead_dim, layout.other_dim};
}

base::Result<base::Unit, LapackError> check_info(std::int32_t info) {
  if (info < 0) return LapackError{LapackError::LapackInvalidValue{info}};
  if (info > 0) return LapackError{LapackError::LapackComputationalFailure{info}};
  return base::Unit{};
}

// The element count LAPACK reports in WORK(1): a float, so anything it cannot mean is refused.
std::size_t workspace_len(double reported) {
  if (!(reported > -1.0 && reported < kTwoPow64)) unwrap_none();
  const auto len = static_cast<std::uint64_t>(reported);  // truncates toward zero
  if (len > static_cast<std::uint64_t>(kMaxLapackInt)) unwrap_none();
  return static_cast<std::size_t>(len);
}

// NAME { FIELD: VALUE, ... }
std::string with_fields(const char* name,
                        std::initializer_list<std::pair<const char*, std::string>> fields) {
  std::string text = name;
  text += " {";
  bool first = true;
  for (const auto& [field, value] : fields) {
    text += first ? " " : ", ";
    text += field;
    text += ": ";
    text += value;
    first = false;
  }
  text += " }";
  return text;
}

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
// Older compilers deduce no template arguments for an aggregate without a guide.
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

// An r x r or c x c result buffer as an array in the input's storage order. The counts match by
// construction; a mismatch is a broken invariant.
Array2 square(std::size_t dim, std::vector<double> buffer, StorageLayout::Order order) {
  auto shaped = order == StorageLayout::Order::ColumnMajor
                    ? Array2::from_col_major(dim, dim, std::move(buffer))
                    : Array2::from_row_major(dim, dim, std::move(buffer));
  if (!shaped) {
    (void)unwrap(
        base::Result<Array2, LinalgError>(LinalgError{LinalgError::Shape{shaped.error()}}));
  }
  return std::move(shaped).value();
}

}  // namespace

std::string debug_text(const LapackError& error) {
  return std::visit(
      Overloaded{
          [](const LapackError::LapackInvalidValue& e) {
            return with_fields("LapackInvalidValue",
                               {{"return_code", std::to_string(e.return_code)}});
          },
          [](const LapackError::LapackComputationalFailure& e) {
            return with_fields("LapackComputationalFailure",
                               {{"return_code", std::to_string(e.return_code)}});
          },
          [](const LapackError::InvalidShape&) { return std::string("InvalidShape"); },
      },
      error.variant);
}

std::string debug_text(const LinalgError& error) {
  return std::visit(
      Overloaded{
          [](const LinalgError::NotSquare& e) {
            return with_fields(
                "NotSquare", {{"rows", std::to_string(e.rows)}, {"cols", std::to_string(e.cols)}});
          },
          [](const LinalgError::Lapack& e) { return "Lapack(" + debug_text(e.error) + ")"; },
          [](const LinalgError::InvalidStride& e) {
            return with_fields("InvalidStride",
                               {{"s0", std::to_string(e.s0)}, {"s1", std::to_string(e.s1)}});
          },
          [](const LinalgError::MemoryNotCont&) { return std::string("MemoryNotCont"); },
          [](const LinalgError::NotStandardShape& e) {
            return with_fields("NotStandardShape", {{"obj", std::to_string(e.obj)},
                                                    {"rows", std::to_string(e.rows)},
                                                    {"cols", std::to_string(e.cols)}});
          },
          [](const LinalgError::Shape& e) { return "Shape(" + debug_text(e.error) + ")"; },
          [](const LinalgError::NonFiniteInput&) { return std::string("NonFiniteInput"); },
          [](const LinalgError::EmptyMatrix& e) {
            return with_fields("EmptyMatrix", {{"rows", std::to_string(e.rows)},
                                               {"cols", std::to_string(e.cols)}});
          },
      },
      error.variant);
}

base::Result<SvdWork, LapackError> SvdWork::create(StorageLayout layout, bool wants_u,
                                                   bool wants_vt) {
  // LAPACK needs a leading dimension of at least 1; raising 0 to 1 would describe a row that is
  // not there, so a layout without elements never gets that far.
  if (layout.lead_dim <= 0 || layout.other_dim <= 0) {
    return LapackError{LapackError::InvalidShape{}};
  }

  // A row-major matrix reaches LAPACK as its transpose, whose U is the matrix's V.
  const bool row_major = layout.order == StorageLayout::Order::RowMajor;
  const char jobu = (row_major ? wants_vt : wants_u) ? kAll : kNone;
  const char jobvt = (row_major ? wants_u : wants_vt) ? kAll : kNone;

  const auto [m, n] = lapack_dims(layout);
  const auto m_len = static_cast<std::size_t>(m);
  const auto n_len = static_cast<std::size_t>(n);
  std::vector<double> s(std::min(m_len, n_len));
  std::vector<double> u(jobu == kAll ? m_len * m_len : 0);
  std::vector<double> vt(jobvt == kAll ? n_len * n_len : 0);

  constexpr std::int32_t kQuery = -1;
  double reported = 0.0;
  std::int32_t info = 0;
  dgesvd_(&jobu, &jobvt, &m, &n, nullptr, &m, s.data(), u.data(), &m, vt.data(), &n, &reported,
          &kQuery, &info);
  if (auto ok = check_info(info); !ok) return ok.error();

  std::vector<double> work(workspace_len(reported));
  return SvdWork(layout, jobu, jobvt, std::move(s), std::move(u), std::move(vt), std::move(work));
}

base::Result<SvdViews, LapackError> SvdWork::calc(std::span<double> a) {
  const auto [m, n] = lapack_dims(layout_);
  if (a.size() != static_cast<std::size_t>(m) * static_cast<std::size_t>(n)) {
    return LapackError{LapackError::InvalidShape{}};
  }
  // LAPACK has been seen never to return on a non-finite matrix.
  base::check(all_finite(a), "all_finite(a)");
  return decompose(a);
}

base::Result<SvdViews, LapackError> SvdWork::decompose(std::span<double> a) {
  const auto [m, n] = lapack_dims(layout_);
  if (work_.size() > static_cast<std::size_t>(kMaxLapackInt)) unwrap_none();
  const auto lwork = static_cast<std::int32_t>(work_.size());

  std::int32_t info = 0;
  dgesvd_(&jobu_, &jobvt_, &m, &n, a.data(), &m, s_.data(), u_.data(), &m, vt_.data(), &n,
          work_.data(), &lwork, &info);
  if (auto ok = check_info(info); !ok) return ok.error();

  std::optional<std::span<const double>> u;
  std::optional<std::span<const double>> vt;
  if (jobu_ == kAll) u = std::span<const double>(u_);
  if (jobvt_ == kAll) vt = std::span<const double>(vt_);
  if (layout_.order == StorageLayout::Order::RowMajor) std::swap(u, vt);
  return SvdViews{s_, u, vt};
}

base::Result<SvdOutput, LapackError> SvdWork::eval(std::span<double> a) && {
  if (auto done = calc(a); !done) return done.error();
  return std::move(*this).into_output();
}

SvdOutput SvdWork::into_output() && {
  std::optional<std::vector<double>> u;
  std::optional<std::vector<double>> vt;
  if (jobu_ == kAll) u = std::move(u_);
  if (jobvt_ == kAll) vt = std::move(vt_);
  if (layout_.order == StorageLayout::Order::RowMajor) std::swap(u, vt);
  return SvdOutput{std::move(s_), std::move(u), std::move(vt)};
}

base::Result<SvdOutput, LapackError> Lapack::svd(StorageLayout layout, bool wants_u, bool wants_vt,
                                                 std::span<double> a) {
  auto work = SvdWork::create(layout, wants_u, wants_vt);
  if (!work) return work.error();
  return std::move(work).value().eval(a);
}

base::Result<SvdResult, LinalgError> svd_into(Array2 matrix, bool wants_u, bool wants_vt) {
  if (!all_finite(matrix)) return LinalgError{LinalgError::NonFiniteInput{}};
  const std::size_t rows = matrix.rows();
  const std::size_t cols = matrix.cols();
  if (matrix.empty()) return LinalgError{LinalgError::EmptyMatrix{rows, cols}};

  const auto [s0, s1] = matrix.strides();
  const LinalgError bad_stride{LinalgError::InvalidStride{s0, s1}};
  StorageLayout::Order order;
  if (static_cast<std::ptrdiff_t>(rows) == s1) {
    order = StorageLayout::Order::ColumnMajor;
  } else if (static_cast<std::ptrdiff_t>(cols) == s0) {
    order = StorageLayout::Order::RowMajor;
  } else {
    return bad_stride;
  }
  const auto limit = static_cast<std::size_t>(kMaxLapackInt);
  if (rows > limit || cols > limit) {
    return LinalgError{LinalgError::Shape{ShapeError::from_kind(ErrorKind::RangeLimited)}};
  }
  const auto r = static_cast<std::int32_t>(rows);
  const auto c = static_cast<std::int32_t>(cols);
  const bool column_major = order == StorageLayout::Order::ColumnMajor;
  const StorageLayout layout =
      column_major ? StorageLayout::column_major(c, r) : StorageLayout::row_major(r, c);

  auto block = matrix.memory_block_mut();
  if (!block) return LinalgError{LinalgError::MemoryNotCont{}};
  // Contiguous with the outer stride matching means the inner stride is +1 or -1; LAPACK can only
  // be told of +1.
  if (column_major ? (rows > 1 && s0 < 0) : (cols > 1 && s1 < 0)) return bad_stride;

  // Lapack::svd without calc's second pass over the elements: they are known finite and
  // exactly rows*cols in number.
  auto work = SvdWork::create(layout, wants_u, wants_vt);
  if (!work) return LinalgError{LinalgError::Lapack{work.error()}};
  if (auto done = work.value().decompose(*block); !done) {
    return LinalgError{LinalgError::Lapack{done.error()}};
  }
  SvdOutput parts = std::move(work).value().into_output();
  std::optional<Array2> u;
  std::optional<Array2> vt;
  if (parts.u) u = square(rows, std::move(*parts.u), order);
  if (parts.vt) vt = square(cols, std::move(*parts.vt), order);
  return SvdResult{std::move(u), Array1::from_vec(std::move(parts.s)), std::move(vt)};
}

}  // namespace tondra::linalg
