#include "db/sqlite/values.hpp"

namespace carvalen::db::sqlite {
namespace {

DeclKind KindOf(const char* decltype_text) {
  if (decltype_text == nullptr) return DeclKind::Other;
  std::string upper(decltype_text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  if (upper.rfind("DATE", 0) == 0 || upper.rfind("TIMESTAMP", 0) == 0) return DeclKind::Date;
  if (upper == "BOOLEAN" || upper == "BOOL") return DeclKind::Boolean;
  return DeclKind::Other;
}

}  // namespace

ResultShape::ResultShape(sqlite3_stmt* stmt)
    : reprepared(sqlite3_stmt_status(stmt, SQLITE_STMTSTATUS_REPREPARE, 0)) {
  const int n = sqlite3_column_count(stmt);
  std::vector<std::string> names;
  names.reserve(n);
  kinds.reserve(n);
  for (int i = 0; i < n; ++i) {
    const char* name = sqlite3_column_name(stmt, i);
    names.emplace_back(name != nullptr ? name : "");
    kinds.push_back(KindOf(sqlite3_column_decltype(stmt, i)));
  }
  fields = FieldSet(std::move(names));
}

SqliteRow::SqliteRow(sqlite3_stmt* stmt, std::shared_ptr<const ResultShape> shape,
                     std::size_t bytes)
    : shape_(std::move(shape)), cells_(shape_->kinds.size()) {
  bytes_.reserve(bytes);
  // Each column through its value object: one call for the column and light ones for its type
  // and contents, where every sqlite3_column_* call checks the statement and the index again.
  // The object is unprotected; the session is used by one thread at a time (the pool sees to
  // it), which is what reading it requires.
  for (std::size_t i = 0; i < cells_.size(); ++i) {
    sqlite3_value* value = sqlite3_column_value(stmt, static_cast<int>(i));
    Cell& cell = cells_[i];
    cell.type = sqlite3_value_type(value);
    switch (cell.type) {
      case SQLITE_NULL:
        break;
      case SQLITE_INTEGER:
        cell.integer = sqlite3_value_int64(value);
        break;
      case SQLITE_FLOAT:
        cell.real = sqlite3_value_double(value);
        break;
      default: {  // text or blob: their bytes
        const auto* p = cell.type == SQLITE_TEXT
                            ? reinterpret_cast<const char*>(sqlite3_value_text(value))
                            : static_cast<const char*>(sqlite3_value_blob(value));
        cell.length = static_cast<std::uint32_t>(sqlite3_value_bytes(value));
        cell.offset = bytes_.size();
        if (p != nullptr) bytes_.append(p, cell.length);
        break;
      }
    }
  }
}

Variant SqliteRow::Value(std::size_t /*row*/, std::size_t column) const {
  const Cell& cell = cells_[column];
  const DeclKind kind = shape_->kinds[column];
  switch (cell.type) {
    case SQLITE_NULL:
      return Variant::Null();
    case SQLITE_INTEGER:
      return kind == DeclKind::Boolean ? Variant(cell.integer != 0) : IntegerValue(cell.integer);
    case SQLITE_FLOAT:
      return Variant(cell.real);
    default: {
      const std::string_view bytes(bytes_.data() + cell.offset, cell.length);
      Date date;
      if (cell.type == SQLITE_TEXT && kind == DeclKind::Date && ParseDateText(bytes, date)) {
        return Variant(date);
      }
      return Variant(std::string(bytes));  // a blob: its bytes as text
    }
  }
}

}  // namespace carvalen::db::sqlite
