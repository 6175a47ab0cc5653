#include "db/row.hpp"

namespace carvalen::db {

std::vector<Variant> Row::All() const {
  std::vector<Variant> values;
  values.reserve(size_);
  for (std::size_t i = 0; i < size_; ++i) values.push_back(At(i));
  return values;
}

}  // namespace carvalen::db
