// Array: one or two dimensions of Variants, each with its own lower bound, stored row-major.
#include <limits>

#include "carvalen/error.hpp"
#include "carvalen/variant.hpp"
#include "value/cell_budget.hpp"

namespace carvalen {

namespace {

[[noreturn]] void ThrowSubscript() { throw Error::Runtime(errnum::kSubscriptOutOfRange); }

// Number of elements of the bounds lower..upper; upper may be lower - 1 for none.
std::int32_t CountOf(std::int32_t lower, std::int32_t upper) {
  const std::int64_t count = std::int64_t{upper} - lower + 1;
  if (count < 0) ThrowSubscript();
  if (count > std::numeric_limits<std::int32_t>::max()) throw Error::Runtime(errnum::kOutOfMemory);
  return static_cast<std::int32_t>(count);
}

}  // namespace

Array::Array(std::int32_t lower, std::int32_t upper)
    : lower_{lower, 0}, count_{CountOf(lower, upper), 1} {
  cells::Take(count_[0]);
  items_.resize(static_cast<std::size_t>(count_[0]));
}

Array::Array(std::int32_t lower1, std::int32_t upper1, std::int32_t lower2, std::int32_t upper2)
    : dims_(2), lower_{lower1, lower2}, count_{CountOf(lower1, upper1), CountOf(lower2, upper2)} {
  cells::Take(std::int64_t{count_[0]} * count_[1]);
  items_.resize(static_cast<std::size_t>(count_[0]) * static_cast<std::size_t>(count_[1]));
}

Array Array::Of(std::vector<Variant> items, std::int32_t lower) {
  const std::int64_t upper = std::int64_t{lower} + static_cast<std::int64_t>(items.size()) - 1;
  if (items.size() > std::size_t{std::numeric_limits<std::int32_t>::max()} ||
      upper > std::numeric_limits<std::int32_t>::max() ||
      upper < std::int64_t{std::numeric_limits<std::int32_t>::min()}) {
    ThrowSubscript();
  }
  cells::Take(static_cast<std::int64_t>(items.size()));
  Array array(0, -1);
  array.lower_[0] = lower;
  array.count_[0] = static_cast<std::int32_t>(items.size());
  array.items_ = std::move(items);
  return array;
}

// A copy is as many new cells as the original: taken before the elements are copied.
Array::Array(const Array& other)
    : dims_(other.dims_),
      lower_{other.lower_[0], other.lower_[1]},
      count_{other.count_[0], other.count_[1]} {
  cells::Take(other.Size());
  items_ = other.items_;
}

Array& Array::operator=(const Array& other) {
  if (this != &other) *this = Array(other);
  return *this;
}

std::int32_t Array::LBound(int dimension) const {
  if (dimension < 1 || dimension > dims_) ThrowSubscript();
  return lower_[dimension - 1];
}

std::int32_t Array::UBound(int dimension) const {
  if (dimension < 1 || dimension > dims_) ThrowSubscript();
  return static_cast<std::int32_t>(std::int64_t{lower_[dimension - 1]} + count_[dimension - 1] - 1);
}

std::size_t Array::Offset(std::int32_t i) const {
  const std::int64_t k = std::int64_t{i} - lower_[0];
  if (dims_ != 1 || k < 0 || k >= count_[0]) ThrowSubscript();
  return static_cast<std::size_t>(k);
}

std::size_t Array::Offset(std::int32_t i, std::int32_t j) const {
  const std::int64_t k1 = std::int64_t{i} - lower_[0];
  const std::int64_t k2 = std::int64_t{j} - lower_[1];
  if (dims_ != 2 || k1 < 0 || k1 >= count_[0] || k2 < 0 || k2 >= count_[1]) ThrowSubscript();
  return static_cast<std::size_t>(k1 * count_[1] + k2);
}

Variant& Array::At(std::int32_t i) { return items_[Offset(i)]; }
const Variant& Array::At(std::int32_t i) const { return items_[Offset(i)]; }
Variant& Array::At(std::int32_t i, std::int32_t j) { return items_[Offset(i, j)]; }
const Variant& Array::At(std::int32_t i, std::int32_t j) const { return items_[Offset(i, j)]; }

bool Array::operator==(const Array& other) const {
  return dims_ == other.dims_ && lower_[0] == other.lower_[0] && count_[0] == other.count_[0] &&
         lower_[1] == other.lower_[1] && count_[1] == other.count_[1] && items_ == other.items_;
}

}  // namespace carvalen
