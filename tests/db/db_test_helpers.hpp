// Small helpers shared by the database client's tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "carvalen/error.hpp"
#include "platform/db/client.hpp"

namespace carvalen::test {

/// Runs `action` and answers the carvalen::Error it throws; a test failure when it throws none.
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

/// A client connection opened on `connection_string`.
inline db::ConnectionPtr OpenClient(const std::string& connection_string,
                                    std::int32_t command_timeout = 30) {
  auto connection = std::make_shared<db::Connection>();
  connection->CommandTimeout = command_timeout;
  connection->Open(connection_string);
  return connection;
}

/// A record set opened on `sql`.
inline db::RecordsetPtr OpenQuery(const db::ConnectionPtr& connection, const std::string& sql,
                                  db::CursorType cursor = db::CursorType::ForwardOnly,
                                  db::CursorLocation location = db::CursorLocation::Server,
                                  std::int32_t max_records = 0) {
  auto rs = db::Recordset::Create();
  rs->SetCursorLocation(location);
  rs->SetMaxRecords(max_records);
  rs->Open(sql, connection, cursor, db::LockType::ReadOnly);
  return rs;
}

/// The number a PostgreSQL SQLSTATE is reported with.
inline std::int32_t PackedSqlState(const char* state) {
  std::uint32_t packed = 0;
  for (int i = 0; i < 5; ++i)
    packed |= (static_cast<std::uint32_t>(state[i] - '0') & 0x3F) << (6 * i);
  return static_cast<std::int32_t>(packed);
}

}  // namespace carvalen::test
