// Record sets. A forward-only, server-side record set streams: it holds the driver's cursor and
// one row, and its RecordCount is -1. Every other kind (keyset, static, dynamic, or a
// client-side location) reads all its rows at Open, so it keeps them when its connection closes
// or is detached.
//
// MoveFirst on a streaming record set runs the statement again; that run is not traced as a new
// query. MoveFirst on an empty record set fails with 3021, as MoveNext at the end does. Moving
// backwards and filtering need the rows at hand, so a streaming record set refuses them (3251)
// rather than running its statement again behind the caller's back. A filter only hides rows: the
// buffered rows stay, and clearing it shows them all again. Lock types are accepted and not
// otherwise used: every session is read-only anyway. Open's options are accepted and ignored (the
// text is always a statement).
#include <string>

#include "carvalen/dictionary.hpp"
#include "db/client.hpp"
#include "db/connection_string.hpp"
#include "db/driver.hpp"
#include "db/errors.hpp"
#include "db/trace.hpp"
#include "value/text.hpp"

namespace carvalen::db {

Recordset::Recordset() = default;

Recordset::~Recordset() {
  try {
    Close();
  } catch (...) {
    // Close only lets go of memory and statements; nothing to report from a destructor.
  }
}

void Recordset::Open(const std::string& source, const ConnectionPtr& connection, CursorType cursor,
                     LockType /*lock*/, std::int32_t /*options*/) {
  if (state_ == kStateOpen) throw LayerError(dberr::kObjectOpen, kTextOpen);
  if (!connection || connection->State() != kStateOpen) {
    throw LayerError(dberr::kObjectClosed, kTextClosed);
  }
  PhysicalConnection& session = connection->Physical();
  const bool buffered = cursor != CursorType::ForwardOnly || location_ == CursorLocation::Client;
  const auto limit = static_cast<std::size_t>(max_records_ > 0 ? max_records_ : 0);

  std::unique_ptr<Cursor> reader;
  FieldSetPtr fields;
  std::vector<Row> rows;
  bool has_row = false;
  try {
    if (text::TrimBlanks(source).empty()) {
      Error error = LayerError(dberr::kInvalidArgument, kTextNoCommand);
      error.WithNative({}, source);
      throw error;
    }
    reader = session.Query(source, connection->CommandTimeout, buffered && limit == 0);
    // The fields as the first step found them: a driver may only learn there that the
    // statement was prepared again for a changed table.
    Row row;
    if (buffered) {
      while ((limit == 0 || rows.size() < limit) && reader->Next(row)) {
        rows.push_back(std::move(row));
        if (rows.size() == 1) fields = reader->Fields();
      }
      if (rows.empty()) fields = reader->Fields();
      reader.reset();  // everything is read: the statement goes at once
    } else {
      has_row = reader->Next(row);
      fields = reader->Fields();
      if (has_row) rows.push_back(std::move(row));
    }
  } catch (const Error& e) {
    if (session.trace) session.trace->Statement(connection->TraceId(), "query", source, &e);
    throw;
  }
  if (session.trace) session.trace->Statement(connection->TraceId(), "query", source, nullptr);

  cursor_type_ = cursor;
  cursor_ = std::move(reader);
  fields_ = std::move(fields);
  rows_ = std::move(rows);
  ResetRows();
  streaming_ = !buffered;
  delivered_ = has_row ? 1 : 0;
  eof_ = streaming_ ? !has_row : rows_.empty();
  connection_ = connection.get();
  keep_alive_ = connection;
  connection->Attach(this);
  state_ = kStateOpen;
}

bool Recordset::Eof() const {
  RequireOpen();
  return streaming_ ? eof_ : position_ >= static_cast<std::int64_t>(RowsKept());
}

bool Recordset::Bof() const {
  RequireOpen();
  // A streaming record set never moves backwards: it is before its first row only when it has
  // none.
  return streaming_ ? eof_ && delivered_ == 0 : position_ < 0 || RowsKept() == 0;
}

Variant Recordset::Field(std::string_view name) const {
  RequireOpen();
  const std::size_t i = IndexOf(name);
  if (Eof() || Bof()) throw LayerError(dberr::kNoCurrentRecord, kTextNoCurrentRecord);
  const std::size_t k = static_cast<std::size_t>(position_);
  return streaming_ ? rows_.front().At(i) : rows_[filtered_ ? kept_[k] : k].At(i);
}

const std::vector<std::string>& Recordset::FieldNames() const {
  static const std::vector<std::string> kNone;
  return fields_ ? fields_->Names() : kNone;
}

void Recordset::MoveNext() {
  RequireOpen();
  if (Eof()) throw LayerError(dberr::kNoCurrentRecord, kTextNoCurrentRecord);
  if (streaming_) {
    Fetch();
  } else {
    ++position_;
  }
}

void Recordset::MovePrevious() {
  RequireBuffered();
  if (Bof()) throw LayerError(dberr::kNoCurrentRecord, kTextNoCurrentRecord);
  --position_;
}

void Recordset::MoveFirst() {
  RequireOpen();
  if (!streaming_) {
    if (RowsKept() == 0) throw LayerError(dberr::kNoCurrentRecord, kTextNoCurrentRecord);
    position_ = 0;
    return;
  }
  if (Bof()) throw LayerError(dberr::kNoCurrentRecord, kTextNoCurrentRecord);
  if (delivered_ == 1 && !eof_) return;  // already on the first row
  cursor_->Rewind();
  delivered_ = 0;
  eof_ = false;
  Fetch();
}

void Recordset::MoveLast() {
  RequireBuffered();
  if (RowsKept() == 0) throw LayerError(dberr::kNoCurrentRecord, kTextNoCurrentRecord);
  position_ = static_cast<std::int64_t>(RowsKept()) - 1;
}

void Recordset::Filter(std::string_view name, const Variant& value) {
  RequireBuffered();
  const std::size_t column = IndexOf(name);
  // A one-entry dictionary holds the one definition of "equal" that callers already know from
  // result keys; an array value fails here with 13.
  Dictionary wanted;
  wanted.Add(value, Variant());
  std::vector<std::size_t> kept;
  for (std::size_t r = 0; r < rows_.size(); ++r) {
    if (wanted.Exists(rows_[r].At(column))) kept.push_back(r);
  }
  kept_ = std::move(kept);
  filtered_ = true;
  position_ = 0;
}

void Recordset::ClearFilter() {
  RequireBuffered();
  ResetRows();
}

std::int32_t Recordset::State() const { return state_; }

void Recordset::Close() {
  cursor_.reset();
  if (connection_ != nullptr) {
    connection_->Detach(this);
    connection_ = nullptr;
  }
  fields_.reset();
  rows_.clear();
  ResetRows();
  delivered_ = 0;
  streaming_ = false;
  eof_ = true;
  state_ = kStateClosed;
  // Last: this may be the connection's last owner, and its destructor closes it.
  ConnectionPtr connection = std::move(keep_alive_);
}

std::int32_t Recordset::RecordCount() const {
  RequireOpen();
  return streaming_ ? -1 : static_cast<std::int32_t>(RowsKept());
}

void Recordset::DetachConnection() {
  if (state_ == kStateOpen && location_ == CursorLocation::Server) {
    throw LayerError(dberr::kNotSupported, kTextNotSupported);
  }
  if (connection_ != nullptr) {
    connection_->Detach(this);
    connection_ = nullptr;
  }
  ConnectionPtr connection = std::move(keep_alive_);
}

void Recordset::OpenRows(std::vector<std::string> fields, std::vector<std::vector<Variant>> rows) {
  if (state_ == kStateOpen) throw LayerError(dberr::kObjectOpen, kTextOpen);
  fields_ = std::make_shared<const FieldSet>(std::move(fields));
  auto memory = std::make_shared<const RowsInMemory>(std::move(rows));
  rows_.clear();
  rows_.reserve(memory->Count());
  for (std::size_t r = 0; r < memory->Count(); ++r) rows_.emplace_back(memory, r, memory->Width(r));
  ResetRows();
  delivered_ = 0;
  streaming_ = false;
  eof_ = rows_.empty();
  cursor_type_ = CursorType::Static;
  location_ = CursorLocation::Client;
  state_ = kStateOpen;
}

void Recordset::ReleaseCursor() {
  // The connection is closing and has already forgotten us; keep_alive_ stays until our own
  // Close, since the connection may be in the middle of a member function.
  connection_ = nullptr;
  if (streaming_) {
    cursor_.reset();
    fields_.reset();
    rows_.clear();
    streaming_ = false;
    eof_ = true;
    delivered_ = 0;
    state_ = kStateClosed;
  }
}

void Recordset::RequireOpen() const {
  if (state_ != kStateOpen) throw LayerError(dberr::kObjectClosed, kTextClosed);
}

void Recordset::RequireBuffered() const {
  RequireOpen();
  if (streaming_) throw LayerError(dberr::kNotSupported, kTextNotSupported);
}

std::size_t Recordset::IndexOf(std::string_view name) const {
  const std::size_t i = fields_ ? fields_->Find(name) : FieldSet::npos;
  if (i == FieldSet::npos) throw LayerError(dberr::kNotFoundInCollection, kTextNotFound);
  return i;
}

void Recordset::ResetRows() {
  filtered_ = false;
  kept_.clear();
  position_ = 0;
}

void Recordset::Fetch() {
  if (max_records_ > 0 && delivered_ >= max_records_) {
    cursor_->Finish();
    eof_ = true;
    rows_.clear();
    return;
  }
  Row row;
  if (cursor_->Next(row)) {
    rows_.clear();
    rows_.push_back(std::move(row));
    ++delivered_;
    eof_ = false;
  } else {
    rows_.clear();
    eof_ = true;
  }
}

}  // namespace carvalen::db
