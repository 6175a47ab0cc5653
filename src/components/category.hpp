// "Morrowfen.Category": settings of a purchasing category, kept as (field name, value) rows of
// table CATEGORYSETTING in the contract database. Called late-bound only:
//   GetCategoryFields(category id by reference, array of field names) -> Dictionary
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "carvalen/dictionary.hpp"
#include "carvalen/interfaces.hpp"
#include "carvalen/variant.hpp"

namespace carvalen::components {

class Category final : public Object {
 public:
  /// For each name in `fields` (in that order) that the category has a row for, an entry keyed
  /// by the name holding its FIELDVALUE (Null for NULL); names without a row are left out.
  /// The contract database is found through connection "EContract" of the first configuration
  /// store of "Vendra" and "Zandril" that exists.
  DictionaryPtr GetCategoryFields(std::int32_t& category_id, const Array& fields);

  std::string ClassName() const override { return kCategoryName; }
  Variant Invoke(std::string_view name, std::span<Variant> args) override;
};

}  // namespace carvalen::components
