// The contract database: its tables and columns as data, and the DDL that creates them on each
// database. The library itself never creates or writes these tables; the DDL is for installers,
// tests and the demo.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace carvalen::model {

enum class ColumnKind { Long, Double, String, Date, Flag };

struct Column {
  std::string_view name;
  ColumnKind kind;
};

struct Table {
  std::string_view name;
  std::span<const Column> columns;
};

enum class SchemaProvider { SQLite, PostgreSQL };

/// The seven contract tables and CATEGORYSETTING, in creation order.
std::span<const Table> Tables();
const Table* FindTable(std::string_view name);

/// CREATE TABLE and CREATE INDEX statements, one statement per element.
std::vector<std::string> SchemaStatements(SchemaProvider provider);
/// The statements joined into one script, each ending in ";" and a newline.
std::string SchemaScript(SchemaProvider provider);

}  // namespace carvalen::model
