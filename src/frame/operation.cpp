#include "frame/operation.hpp"

#include <cmath>
#include <memory>
#include <span>
#include <string_view>
#include <utility>

#include "carvalen/error.hpp"

namespace carvalen::frame {

std::string Concat(std::initializer_list<std::string_view> pieces) {
  std::size_t size = 0;
  for (std::string_view piece : pieces) size += piece.size();
  std::string text;
  text.reserve(size);
  for (std::string_view piece : pieces) text += piece;
  return text;
}

namespace {

// Every literal an operation writes passes here, whichever utilities component formats it.
class LiteralGuard final : public IUtilities {
 public:
  explicit LiteralGuard(std::shared_ptr<IUtilities> inner) : inner_(std::move(inner)) {}

  std::string FormatSqlNumber(std::int32_t value) override {
    return inner_->FormatSqlNumber(value);
  }
  std::string FormatSqlDouble(double value) override {
    if (!std::isfinite(value)) throw Error::Runtime(errnum::kInvalidProcedureCall);
    return inner_->FormatSqlDouble(value);
  }
  std::string QuoteSqlString(const std::string& value) override {
    if (value.find('\0') != std::string::npos) {
      throw Error::Runtime(errnum::kInvalidProcedureCall);
    }
    return inner_->QuoteSqlString(value);
  }
  std::string FormatSqlDate(Date value) override { return inner_->FormatSqlDate(value); }

  std::string ClassName() const override { return inner_->ClassName(); }
  Variant Invoke(std::string_view name, std::span<Variant> args) override {
    return inner_->Invoke(name, args);
  }

 private:
  std::shared_ptr<IUtilities> inner_;
};

}  // namespace

std::shared_ptr<IUtilities> GuardLiterals(std::shared_ptr<IUtilities> utilities) {
  if (!utilities) return utilities;  // the operation that formats no caller value
  return std::make_shared<LiteralGuard>(std::move(utilities));
}

double Checked(double value) {
  if (!std::isfinite(value)) throw Error::Runtime(errnum::kOverflow);
  return value;
}

Variant TextOrEmpty(const db::Recordset& rs, std::string_view column) {
  Variant value = rs.Field(column);
  return value.IsNull() ? Variant(std::string()) : value;
}

std::string Query::ForLine(std::string_view select, std::int32_t header, std::int32_t line) const {
  return Concat({select, Number(header), " AND CONTRACTLINEID = ", Number(line)});
}

void ReadNamedColumns(const db::Recordset& rs, const Array& names, Array& values) {
  for (std::int32_t i = names.LBound(); i <= names.UBound(); ++i) {
    // Read, then stored: a bad name fails as its read does, before its index is looked up.
    Variant value = TextOrEmpty(rs, names.At(i).ToString());
    values.At(i) = std::move(value);
  }
}

db::RecordsetPtr Query::Open(const std::string& sql, db::CursorType cursor,
                             db::LockType lock) const {
  auto recordset = db::Recordset::Create();
  recordset->Open(sql, connection_, cursor, lock, -1);
  return recordset;
}

db::RecordsetPtr Query::OpenLimited(const std::string& sql, std::int32_t max_records) const {
  auto recordset = db::Recordset::Create();
  recordset->SetMaxRecords(max_records);
  recordset->Open(sql, connection_, db::CursorType::ForwardOnly, db::LockType::ReadOnly, -1);
  return recordset;
}

}  // namespace carvalen::frame
