#include "db/postgres/cursor.hpp"

#include "db/postgres/error.hpp"
#include "db/postgres/session.hpp"

namespace carvalen::db::pg {

PgCursor::PgCursor(PgConnection& session, std::string sql, bool whole,
                   std::optional<BoundValues> prepared)
    : session_(session), sql_(std::move(sql)), prepared_(std::move(prepared)), whole_(whole) {
  if (prepared_) prepared_->Point();
  Start();
}

void PgCursor::Take(ResultPtr result) {
  next_row_ = 0;
  if (!result) {
    current_.reset();
    return;
  }
  if (!columns_) {
    PreparedStatement* statement = prepared_ ? prepared_->statement.get() : nullptr;
    if (statement != nullptr && statement->columns && statement->columns->Describe(result.get())) {
      columns_ = statement->columns;
    } else {
      columns_ = std::make_shared<const ResultShape>(result.get());
      if (statement != nullptr) statement->columns = columns_;
    }
    fields_ = FieldSetPtr(columns_, &columns_->fields);
  }
  current_ = std::make_shared<const PgRows>(std::move(result), columns_);
}

void PgCursor::Start() {
  session_.Settle();
  if (session_.Pooler() == Pooler::Transaction) {
    // The rows come whole with the transaction, which ends before the first is read.
    Take(session_.RunPooled(sql_));
    return;
  }
  PGconn* conn = session_.Handle();
  // The statement text goes as given: the extended protocol still refuses a second statement.
  const bool prepared = prepared_ && !prepared_->statement->dropped;
  const int sent =
      prepared
          ? Pq().PQsendQueryPrepared(conn, prepared_->statement->name.c_str(),
                                     static_cast<int>(prepared_->values.size()),
                                     prepared_->values.data(), nullptr, nullptr, 0)
          : Pq().PQsendQueryParams(conn, sql_.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0);
  if (sent == 0) throw PgError(conn, nullptr, sql_);
  // Not refused right after a successful send; were it, the rows would come as one result,
  // which Next reads just as well.
  if (!whole_) Pq().PQsetSingleRowMode(conn);
  streaming_ = true;
  session_.Streaming(this);
  Take(Receive());
}

ResultPtr PgCursor::Receive() {
  ResultPtr result = AwaitResult(session_.Handle());
  if (result && Pq().PQresultStatus(result.get()) == PGRES_SINGLE_TUPLE) return result;
  // The statement's last result: its end or its error. Read up to the session's idle state
  // first, so that the session is clean whatever happens next.
  std::optional<Error> failure;
  try {
    session_.Check(result.get(), sql_);
  } catch (const Error& e) {
    failure = e;
  }
  Drain();
  if (failure) throw *failure;
  return result;
}

void PgCursor::Drain() {
  if (!streaming_) return;
  while (ResultPtr ignored{Pq().PQgetResult(session_.Handle())}) {
  }
  streaming_ = false;
  session_.Idle(this);
}

bool PgCursor::Next(Row& row) {
  for (;;) {
    if (current_ && next_row_ < current_->Count()) {
      row = Row(current_, static_cast<std::size_t>(next_row_++), Width());
      return true;
    }
    current_.reset();
    if (!settled_.empty()) {
      row = std::move(settled_.front());
      settled_.pop_front();
      return true;
    }
    if (settled_error_) {
      Error error = std::move(*settled_error_);
      settled_error_.reset();
      throw error;
    }
    if (!streaming_) return false;
    Take(Receive());
  }
}

void PgCursor::Settle() {
  try {
    for (;;) {
      if (current_ && next_row_ < current_->Count()) {
        settled_.emplace_back(current_, static_cast<std::size_t>(next_row_++), Width());
        continue;
      }
      current_.reset();
      if (!streaming_) return;
      Take(Receive());
    }
  } catch (const Error& e) {
    settled_error_ = e;
  }
}

void PgCursor::Stop() {
  if (!streaming_) return;
  PGconn* conn = session_.Handle();
  if (Pq().PQconsumeInput(conn) != 0) {
    while (Pq().PQisBusy(conn) == 0) {
      ResultPtr result(Pq().PQgetResult(conn));
      if (!result) {
        streaming_ = false;
        session_.Idle(this);
        return;
      }
    }
  }
  // The server may finish just before the cancel request reaches it; an idle backend ignores
  // the request, so the next statement is not hit by it.
  Cancel(conn);
  Drain();  // the rows already sent, then the cancellation's error
}

}  // namespace carvalen::db::pg
