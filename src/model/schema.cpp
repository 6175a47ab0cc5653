#include "model/schema.hpp"

namespace carvalen::model {
namespace {

using K = ColumnKind;

constexpr Column kHeader[] = {
    {"CONTRACTHEADERID", K::Long},
    {"BUSINESSPARTNERID", K::Long},
    {"CATEGORYID", K::Long},
    {"CONTRACTNAME", K::String},
};

// Column order is not the order callers see: operations read fields by name.
constexpr Column kLine[] = {
    {"CONTRACTHEADERID", K::Long},
    {"CONTRACTLINEID", K::Long},
    {"QUOTATIONID", K::Long},
    {"RFQID", K::Long},
    {"PRODUCTID", K::Long},
    {"PRODUCTPARTNUMBER", K::String},
    {"PRODUCTDESCRIPTION", K::String},
    {"CONTRACTDESCRIPTION", K::String},
    {"CURRENCYCODE", K::String},
    {"BUYERID", K::String},
    {"SUPPLIERID", K::Long},
    {"CONTRACTSTATUS", K::Long},
    {"ORIGIN", K::String},
    {"QUANTITY", K::Double},
    {"PRICE", K::Double},
    {"DISCOUNTPERCENTAGE", K::Double},
    {"DISCOUNTAMOUNT", K::Double},
    {"EFFECTIVEDATETIME", K::Date},
    {"EXPIRYDATETIME", K::Date},
    {"REMARK", K::String},
    {"CREATIONDATE", K::Date},
    {"DELIVERYBEGINDATE", K::Date},
    {"DELIVERYENDDATE", K::Date},
    {"ORDERINTERVAL", K::Long},
    {"HANDLINGCHARGE", K::Double},
    {"FREIGHTCHARGE", K::Double},
    {"TAXPERCENTAGE", K::Double},
    {"UNITCODE", K::String},
    {"INCLUDEPRICEBREAKUP", K::Flag},
    {"INCLUDEDISCOUNTBREAKUP", K::Flag},
    {"MINQTYBREAKUP", K::Flag},
    {"RFQGENERATED", K::Flag},
    {"CALLEDQUANTITY", K::Double},
    {"INVOICEDQUANTITY", K::Double},
    {"CALLEDVALUE", K::Double},
    {"INVOICEDVALUE", K::Double},
    {"INCLUDECONTRACTLINEBIS", K::Flag},
    {"SUPPLIERAPPROVAL", K::Flag},
    {"LANDEDCOST", K::Double},
    {"PAYMENTTERM", K::String},
    {"PAYMENTMETHOD", K::String},
    {"PACKAGINGTERM", K::String},
    {"SHIPPINGMETHOD", K::String},
    {"SHIPPINGSERVICELEVEL", K::String},
    {"WARRANTYTERM", K::String},
    {"PENALTYTERM", K::String},
};

constexpr Column kPrice[] = {
    {"CONTRACTHEADERID", K::Long},
    {"CONTRACTLINEID", K::Long},
    {"QUANTITY", K::Double},
    {"PRICE", K::Double},
};

constexpr Column kDiscount[] = {
    {"CONTRACTHEADERID", K::Long},     {"CONTRACTLINEID", K::Long},   {"QUANTITY", K::Double},
    {"DISCOUNTPERCENTAGE", K::Double}, {"DISCOUNTAMOUNT", K::Double},
};

constexpr Column kAttachment[] = {
    {"ATTACHMENTID", K::Long},   {"CONTRACTHEADERID", K::Long}, {"CONTRACTLINEID", K::Long},
    {"REVISIONNUMBER", K::Long}, {"DESCRIPTION", K::String},    {"ATTACHMENTTYPECODE", K::String},
    {"INTERNAL", K::Flag},       {"ATTACHMENTSTATUS", K::Long}, {"FILEPATH", K::String},
};

constexpr Column kUserData[] = {
    {"CONTRACTHEADERID", K::Long}, {"CONTRACTLINEID", K::Long},
    {"FIELDCODE", K::String},      {"FIELDDESCRIPTION", K::String},
    {"COSTTYPE", K::String},       {"NUMERICFIELD", K::Flag},
    {"VALUE", K::String},
};

constexpr Column kBis[] = {
    {"BISID", K::Long},         {"CONTRACTHEADERID", K::Long},  {"CONTRACTLINEID", K::Long},
    {"EXPORTSTATUS", K::Long},  {"BACKENDHEADERID", K::String}, {"BACKENDLINEID", K::String},
    {"ERRORFIELD", K::String},  {"CALLEDQUANTITY", K::Double},  {"INVOICEDQUANTITY", K::Double},
    {"CALLEDVALUE", K::Double}, {"INVOICEDVALUE", K::Double},   {"PREVENTTRANSACTION", K::Flag},
    {"PRICESERIES", K::String}, {"CONTRACTSERIES", K::String},  {"DISCOUNTSERIES", K::String},
};

constexpr Column kCategorySetting[] = {
    {"CATEGORYID", K::Long},
    {"FIELDNAME", K::String},
    {"FIELDVALUE", K::String},
};

constexpr Table kTables[] = {
    {"CONTRACTHEADER", kHeader},         {"CONTRACTLINE", kLine},
    {"CONTRACTPRICE", kPrice},           {"CONTRACTDISCOUNT", kDiscount},
    {"CONTRACTATTACHMENT", kAttachment}, {"CONTRACTUSERDATA", kUserData},
    {"CONTRACTLINEBIS", kBis},           {"CATEGORYSETTING", kCategorySetting},
};

struct Key {
  std::string_view table;
  std::string_view columns;
};

// Keys; every column of a key is also NOT NULL.
constexpr Key kPrimaryKeys[] = {
    {"CONTRACTHEADER", "CONTRACTHEADERID"},
    {"CONTRACTLINE", "CONTRACTHEADERID, CONTRACTLINEID"},
    {"CONTRACTATTACHMENT", "ATTACHMENTID"},
    {"CONTRACTLINEBIS", "BISID"},
};

// What the queries filter, join and order on.
constexpr Key kIndexes[] = {
    {"CONTRACTHEADER", "BUSINESSPARTNERID, CATEGORYID"},
    {"CONTRACTHEADER", "CATEGORYID"},
    {"CONTRACTLINE", "QUOTATIONID"},
    {"CONTRACTLINE", "PRODUCTID, CONTRACTHEADERID, CONTRACTSTATUS"},
    {"CONTRACTLINE", "PRODUCTPARTNUMBER"},
    {"CONTRACTLINE", "BUYERID, CONTRACTSTATUS"},
    {"CONTRACTLINE", "CONTRACTSTATUS, RFQGENERATED"},
    {"CONTRACTPRICE", "CONTRACTHEADERID, CONTRACTLINEID, QUANTITY"},
    {"CONTRACTDISCOUNT", "CONTRACTHEADERID, CONTRACTLINEID, QUANTITY"},
    {"CONTRACTATTACHMENT", "CONTRACTHEADERID, CONTRACTLINEID"},
    {"CONTRACTATTACHMENT", "ATTACHMENTTYPECODE"},
    {"CONTRACTUSERDATA", "CONTRACTHEADERID, CONTRACTLINEID"},
    {"CONTRACTLINEBIS", "CONTRACTHEADERID, CONTRACTLINEID, EXPORTSTATUS"},
    {"CATEGORYSETTING", "CATEGORYID, FIELDNAME"},
};

std::string_view TypeName(ColumnKind kind, SchemaProvider provider) {
  bool sqlite = provider == SchemaProvider::SQLite;
  switch (kind) {
    case K::Long:
    case K::Flag:
      return sqlite ? "INTEGER" : "integer";
    case K::Double:
      return sqlite ? "REAL" : "double precision";
    case K::String:
      return sqlite ? "TEXT" : "text";
    case K::Date:
      return sqlite ? "DATETIME" : "timestamp";
  }
  return "TEXT";
}

const Key* PrimaryKey(std::string_view table) {
  for (const Key& key : kPrimaryKeys) {
    if (key.table == table) return &key;
  }
  return nullptr;
}

bool InKey(const Key* key, std::string_view column) {
  if (key == nullptr) return false;
  std::string_view list = key->columns;
  while (!list.empty()) {
    std::size_t comma = list.find(',');
    std::string_view part = list.substr(0, comma);
    while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
    if (part == column) return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

std::string IndexName(const Key& index) {
  std::string name = "IX_" + std::string(index.table);
  for (char c : index.columns) {
    if (c == ',') continue;
    name += c == ' ' ? '_' : c;
  }
  return name;
}

}  // namespace

std::span<const Table> Tables() { return kTables; }

const Table* FindTable(std::string_view name) {
  for (const Table& table : kTables) {
    if (table.name == name) return &table;
  }
  return nullptr;
}

std::vector<std::string> SchemaStatements(SchemaProvider provider) {
  std::vector<std::string> statements;
  for (const Table& table : kTables) {
    const Key* key = PrimaryKey(table.name);
    std::string ddl = "CREATE TABLE " + std::string(table.name) + " (";
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
      const Column& column = table.columns[i];
      ddl += i == 0 ? "\n  " : ",\n  ";
      ddl += column.name;
      ddl += ' ';
      ddl += TypeName(column.kind, provider);
      if (InKey(key, column.name)) ddl += " NOT NULL";
    }
    if (key != nullptr) ddl += ",\n  PRIMARY KEY (" + std::string(key->columns) + ")";
    ddl += "\n)";
    statements.push_back(std::move(ddl));
  }
  for (const Key& index : kIndexes) {
    statements.push_back("CREATE INDEX " + IndexName(index) + " ON " + std::string(index.table) +
                         " (" + std::string(index.columns) + ")");
  }
  return statements;
}

std::string SchemaScript(SchemaProvider provider) {
  std::string script;
  for (const std::string& statement : SchemaStatements(provider)) script += statement + ";\n";
  return script;
}

}  // namespace carvalen::model
