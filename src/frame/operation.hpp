// The frame every public operation runs in, written once: arm the trap, obtain the utilities
// component and a connection, run the operation's body (its SQL, its reads, its result), close
// the connection and return; on failure release everything, close the connection and report the
// error under the operation's qualified name. An operation body is only what differs.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

#include "carvalen/enums.hpp"
#include "carvalen/interfaces.hpp"
#include "db/client.hpp"
#include "frame/procedures.hpp"
#include "frame/reporter.hpp"
#include "value/cell_budget.hpp"

namespace carvalen::frame {

/// Joins SQL pieces in order. The pieces of a braced list are evaluated left to right, so the
/// utilities component sees the values in the order the statement names them.
std::string Concat(std::initializer_list<std::string_view> pieces);

/// A status value as the bare digit the statements carry it ("6" for EContractLineStatus::Active).
/// Every status is a single digit; used on a constant, anything wider fails to compile.
template <class Status>
requires std::is_enum_v<Status>
constexpr std::string_view StatusDigit(Status status) {
  constexpr std::string_view kDigits = "0123456789";
  const auto value = static_cast<std::size_t>(status);
  if (value >= kDigits.size()) throw std::out_of_range("status is not one digit");
  return kDigits.substr(value, 1);
}

/// `value` itself when finite: double arithmetic that leaves the finite range fails as an
/// overflow (6) instead of handing the caller an infinity or NaN.
double Checked(double value);

/// A text column whose NULL callers see as the empty string; every other column keeps Null.
Variant TextOrEmpty(const db::Recordset& rs, std::string_view column);

/// `utilities` behind a guard that refuses, with 5 "Invalid procedure call or argument", a text
/// holding a NUL character and a non-finite double before the component formats them. The
/// component may be a host's own; whatever it does, no such value reaches SQL text, so a NUL
/// cannot cut a statement short and NaN cannot change what a comparison means.
std::shared_ptr<IUtilities> GuardLiterals(std::shared_ptr<IUtilities> utilities);

/// What an operation body holds for one call: the utilities component and the open connection.
class Query {
 public:
  Query(std::shared_ptr<IUtilities> utilities, db::ConnectionPtr connection)
      : utilities_(GuardLiterals(std::move(utilities))), connection_(std::move(connection)) {}

  IUtilities& Utilities() const { return *utilities_; }
  const db::ConnectionPtr& Connection() const { return connection_; }

  // SQL literals through the (guarded) utilities component.
  std::string Number(std::int32_t value) const { return utilities_->FormatSqlNumber(value); }
  std::string Double(double value) const { return utilities_->FormatSqlDouble(value); }
  std::string Quote(const std::string& value) const { return utilities_->QuoteSqlString(value); }
  std::string DateLiteral(Date value) const { return utilities_->FormatSqlDate(value); }

  /// `select` (which ends in "CONTRACTHEADERID = ") followed by the header id,
  /// " AND CONTRACTLINEID = " and the line id: the key of one contract line, formatted header
  /// first.
  std::string ForLine(std::string_view select, std::int32_t header, std::int32_t line) const;

  /// Opens a new record set on this call's connection.
  db::RecordsetPtr Open(const std::string& sql, db::CursorType cursor = db::CursorType::ForwardOnly,
                        db::LockType lock = db::LockType::ReadOnly) const;
  /// Opens a new record set that reads at most `max_records` rows.
  db::RecordsetPtr OpenLimited(const std::string& sql, std::int32_t max_records) const;

 private:
  std::shared_ptr<IUtilities> utilities_;
  db::ConnectionPtr connection_;
};

/// Reads the columns a caller names: for each index i of `names`, from its lower bound, element
/// i of `values` becomes the current row's column named by element i as text, NULL as "". Each
/// column is read before it is stored, so a bad name fails as its read does even where its index
/// lies outside `values` (which fails with 9).
void ReadNamedColumns(const db::Recordset& rs, const Array& names, Array& values);

struct FrameOptions {
  /// False for the one operation whose statement holds no caller values.
  bool utilities = true;
};

/// Runs `body(const Query&)` as the operation `qualified_name` and returns its result.
template <class Body>
auto RunOperation(std::string_view qualified_name, Body&& body, FrameOptions options = {})
    -> decltype(body(std::declval<const Query&>())) {
  using Result = decltype(body(std::declval<const Query&>()));
  const cells::CallBudget budget;  // the arrays the call makes, from caller-given bounds above all
  std::shared_ptr<IUtilities> utilities;
  db::ConnectionPtr connection;
  return Trap(
      qualified_name, false,
      [&]() -> Result {
        if (options.utilities) utilities = GetComponent(kUtilitiesName).As<IUtilities>();
        connection = GetSourceConnection();
        Result result = body(Query(utilities, connection));
        CloseConnection(connection);
        utilities.reset();
        return result;
      },
      [&] {
        utilities.reset();
        CloseConnection(connection);
        return Variant::Missing();
      });
}

}  // namespace carvalen::frame
