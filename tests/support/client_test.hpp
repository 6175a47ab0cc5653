#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "carvalen/error.hpp"
#include "db/client.hpp"
#include "support/databases.hpp"

namespace carvalen::test {

/// The carvalen::Error that `action` throws; a test failure when it throws none.
template <class Action>
Error CaptureError(Action&& action) {
  try {
    action();
  } catch (const Error& e) {
    return e;
  }
  ADD_FAILURE() << "no carvalen::Error was thrown";
  return Error(0, "no error");
}

inline db::ConnectionPtr OpenClient(const std::string& connection_string,
                                    std::int32_t timeout = 30) {
  auto connection = std::make_shared<db::Connection>();
  connection->CommandTimeout = timeout;
  connection->Open(connection_string);
  return connection;
}

inline db::RecordsetPtr OpenQuery(const db::ConnectionPtr& connection, const std::string& sql,
                                  db::CursorType cursor = db::CursorType::ForwardOnly,
                                  std::int32_t max_records = 0,
                                  db::CursorLocation location = db::CursorLocation::Server) {
  auto rs = db::Recordset::Create();
  rs->SetCursorLocation(location);
  rs->SetMaxRecords(max_records);
  rs->Open(sql, connection, cursor, db::LockType::ReadOnly);
  return rs;
}

/// The first field of the first row of `sql`, as text.
inline std::string Scalar(const db::ConnectionPtr& connection, const std::string& sql) {
  auto rs = OpenQuery(connection, sql);
  return rs->Field(rs->FieldNames().at(0)).ToString();
}

/// A test on one provider with a fresh database `db` that must leave no connection open.
template <class Db>
class ProviderTest : public ::testing::TestWithParam<Provider> {
 protected:
  void TearDown() override {
    EXPECT_EQ(db::OpenConnectionCount(), connections_) << "a connection was left open";
  }
  bool lite() const { return GetParam() == Provider::SQLite; }
  Db db{GetParam()};
  /// The Error that `call` raises, checking that it reached the log exactly once.
  ErrorInfo ReportedOnce(const std::function<void()>& call) {
    db.ClearLog();
    ErrorInfo error = CaptureError(call).Info();
    EXPECT_EQ(db.Log().size(), 1u);
    return error;
  }
  std::int64_t connections_ = db::OpenConnectionCount();
};
using ClientTest = ProviderTest<TestDatabase>;  // each test's database empties the pool after it

}  // namespace carvalen::test
