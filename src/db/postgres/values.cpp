#include "db/postgres/values.hpp"

#include <charconv>
#include <string>

namespace carvalen::db::pg {
namespace {

bool ParseInt64(std::string_view text, std::int64_t& out) {
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && ptr == text.data() + text.size();
}

}  // namespace

Variant ConvertValue(Oid type, std::string_view text) {
  switch (type) {
    case kInt2:
    case kInt4:
    case kInt8: {
      std::int64_t v = 0;
      if (!ParseInt64(text, v)) break;
      if (type == kInt2) return Variant(static_cast<std::int16_t>(v));
      return IntegerValue(v);
    }
    case kFloat4:
    case kFloat8:
    case kNumeric: {
      double v = 0;
      auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
      if (ec != std::errc() || ptr != text.data() + text.size()) break;
      return Variant(v);
    }
    case kBool:
      return Variant(text == "t");
    case kDateOid:
    case kTimestamp:
    case kTimestampTz: {
      Date date;
      if (ParseDateText(text, date)) return Variant(date);
      break;  // 'infinity', BC dates: kept as text
    }
    default:
      break;
  }
  return Variant(std::string(text));
}

void ReadRow(const PGresult* result, int index, const std::vector<Oid>& types,
             std::vector<Variant>& row) {
  const int n = static_cast<int>(types.size());
  row.resize(n);
  for (int i = 0; i < n; ++i) {
    if (Pq().PQgetisnull(result, index, i)) {
      row[i] = Variant::Null();
    } else {
      std::string_view text(Pq().PQgetvalue(result, index, i),
                            static_cast<std::size_t>(Pq().PQgetlength(result, index, i)));
      row[i] = ConvertValue(types[i], text);
    }
  }
}

ResultShape::ResultShape(const PGresult* result) {
  const int n = Pq().PQnfields(result);
  std::vector<std::string> names;
  names.reserve(n);
  types.reserve(n);
  for (int i = 0; i < n; ++i) {
    names.emplace_back(Pq().PQfname(result, i));
    types.push_back(Pq().PQftype(result, i));
  }
  fields = FieldSet(std::move(names));
}

bool ResultShape::Describe(const PGresult* result) const {
  if (Pq().PQnfields(result) != static_cast<int>(types.size())) return false;
  for (std::size_t i = 0; i < types.size(); ++i) {
    if (Pq().PQftype(result, static_cast<int>(i)) != types[i]) return false;
  }
  return true;
}

Variant PgRows::Value(std::size_t row, std::size_t column) const {
  const int r = static_cast<int>(row);
  const int c = static_cast<int>(column);
  if (Pq().PQgetisnull(result_.get(), r, c)) return Variant::Null();
  return ConvertValue(
      shape_->types[column],
      std::string_view(Pq().PQgetvalue(result_.get(), r, c),
                       static_cast<std::size_t>(Pq().PQgetlength(result_.get(), r, c))));
}
}  // namespace carvalen::db::pg
