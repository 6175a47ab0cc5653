// What the reliability tests call: a contract database on one provider holding the rows of a
// small demo (the tool's own generator, copied row for row), and one call with valid arguments
// for every operation of both classes, made through the call path every face shares.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "api/call.hpp"
#include "cli/demo.hpp"
#include "db/sqlite/handles.hpp"
#include "support/contract_db.hpp"
#include "support/scratch.hpp"

namespace carvalen::test {

struct DemoCall {
  const char* target;  // "Class.Operation", as the operation list spells it
  const char* arguments;
};

// Every operation once, on the hand-written first contracts of the demo (header 1, line 1:
// product 7001 of partner 501, price and discount breaks, attachments, user data, BIS records).
inline const std::vector<DemoCall>& DemoCalls() {
  static const std::vector<DemoCall> calls = {
      {"ContractLine.GetContractLineDetail",
       R"({"i_lContractHeaderID": 1, "i_lContractLineID": 1})"},
      {"ContractLine.GetContractLineNumber", R"({"i_lQuotationNumber": 1007})"},
      {"ContractLine.GetEligibleContractsForRFQCreation",
       R"({"i_aContractFields": {"$array": ["CONTRACTLINEID", "PRICE"]}})"},
      {"ContractLine.GetPriceBreakup", R"({"i_lContractHeaderID": 1, "i_lContractLineID": 1})"},
      {"ContractLine.GetDiscountBreakUp", R"({"i_lContractHeaderID": 1, "i_lContractLineID": 1})"},
      {"ContractLine.GetEffectivePrice",
       R"({"i_fQuantity": 60.0, "i_lContractHeaderID": 1, "i_lContractLineID": 1})"},
      {"ContractLine.GetPrice",
       R"({"i_lContractHeaderID": 1, "i_lContractLineID": 1, "i_fQuantity": 100.0})"},
      {"ContractLine.GetDiscount",
       R"({"i_lContractHeaderID": 1, "i_lContractLineID": 1, "i_fQuantity": 60.0})"},
      {"ContractLine.GetContractFieldValue",
       R"({"i_lContractHeaderID": 1, "i_lContractLineID": 1, "i_sField": "BUYERID"})"},
      {"ContractLine.GetContractLineAttachment",
       R"({"i_lContractHeaderID": 1, "i_lContractLineID": 1})"},
      {"ContractLine.GetContractUserData", R"({"i_lContractHeaderID": 1, "i_lContractLineID": 1})"},
      {"ContractLine.GetContractBIS", R"({"i_lContractHeaderID": 1, "i_lContractLineID": 1})"},
      {"ContractLine.GetBISTransactionIgnore",
       R"({"i_lBISId": 2, "i_lContractHeaderID": 1, "i_lContractLineID": 1})"},
      {"ContractLine.ContractLineAttachmentExists", R"({"i_sAttachmentTypeCode": "TDS"})"},
      {"ContractLine.ContractPriceBreakUpExists",
       R"({"i_lContractHeaderID": 1, "i_lContractLineID": 1})"},
      {"ContractLine.ContractDiscountBreakUpExists",
       R"({"i_lContractHeaderID": 1, "i_lContractLineID": 1})"},
      {"ContractLine.GetOldContract",
       R"({"i_lContractHeaderID": 1, "i_lContractLineID": 1, "i_lProductId": 7001})"},
      {"ContractLine.MaximumQuantityExceeded",
       R"({"i_lContractHeaderID": 1, "i_lContractLineID": 1, "i_fQuantity": 6000.0})"},
      {"ContractLine.OldContractExists",
       R"({"i_lContractHeaderID": 1, "i_lContractLineID": 1, "i_lProductId": 7001})"},
      {"Contract.GetContractHeader", R"({"i_lBusinessPartnerId": 501})"},
      {"Contract.GetContractHeaderDetails", R"({"i_lContractHeaderID": 1})"},
      {"Contract.GetContractLineDetails", R"({"i_lContractHeaderID": 1})"},
      {"Contract.GetContractLineIdforProduct", R"({"i_lProductId": 7001})"},
      {"Contract.GetActiveContractLinesForBuyer", R"({"i_sBuyerId": "B01"})"},
      {"Contract.GetActiveContractLines",
       R"({"i_aContractFields": {"$array": ["CONTRACTLINEID", "PRICE"]}, "i_lContractHeaderID": 1})"},
      {"Contract.GetActiveContractLineDetails",
       R"({"i_lCategoryId": 10, "i_lBusinessPartnerId": 501})"},
      {"Contract.GetContractHeaderAttachments", R"({"i_lContractHeaderID": 1})"},
      {"Contract.GetContractApprovallines", R"({"i_lContractHeaderID": 1})"},
      {"Contract.GetApprovedHeaderAttachment", R"({"i_lContractHeaderID": 1})"},
      {"Contract.getActiveContractLineFieldsperSupplier",
       R"({"i_lProductId": 7001, "i_aBusinessPartnerIds": {"$array": [501, 502]},
           "i_aContractLineFieldNames": {"$array": ["PRICE", "CURRENCYCODE"]}})"},
      {"Contract.GetContractUserDataPerSupplier",
       R"({"i_aContractHeaderIds": {"$array": [1, 2]}, "i_aContractLineIds": {"$array": [1, 1]},
           "i_aBusinessPartnerIds": {"$array": [501, 502]},
           "i_aContractUserDefinedFields": {"$array": ["UD01", "UD03"]}, "i_lBPArrayIndex": 0})"},
      {"Contract.ContractHeaderExists", R"({"i_lContractHeaderID": 1})"},
      {"Contract.GetActiveHeaderAttachments", R"({"i_lContractHeaderID": 1})"},
      {"Contract.GetActiveContractLinesProc",
       R"({"i_oDicBPProductQuan": {"$dict": [[7001, {"$array": [501, 100.0]}],
                                              [7006, {"$array": [501, 5.0]}]]}})"},
  };
  return calls;
}

/// The outcome of a call as one text: status and typed-JSON document.
inline std::string CallText(const DemoCall& call) {
  const api::CallOutcome outcome = api::CallWithJson(call.target, call.arguments);
  return std::to_string(outcome.status) + " " + outcome.text;
}

/// A ContractDb filled with the rows of a demo of `lines` contract lines.
class DemoDb : public ContractDb {
 public:
  explicit DemoDb(Provider provider, std::int64_t lines = 30) : ContractDb(provider) {
    testing::TempFolder folder;
    cli::DemoOptions options;
    options.dir = folder.path;
    options.lines = lines;
    cli::CreateDemo(options);
    sqlite3* raw = nullptr;
    sqlite3_open_v2((folder / "contracts.db").c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    db::DbPtr demo(raw);
    for (const std::string& table : Strings(demo.get(),
                                            "SELECT name FROM sqlite_master WHERE type = 'table' "
                                            "AND name NOT LIKE 'sqlite%' ORDER BY name")) {
      const std::vector<std::string> rows = Strings(demo.get(), RowsAsValues(demo.get(), table));
      for (std::size_t i = 0; i < rows.size(); i += 200) {
        std::string sql = "INSERT INTO " + table + " VALUES ";
        for (std::size_t j = i; j < rows.size() && j < i + 200; ++j) {
          sql += (j > i ? "," : "") + rows[j];
        }
        Exec(sql);
      }
    }
  }

 private:
  /// The first column of every row of `sql`.
  static std::vector<std::string> Strings(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
      throw std::runtime_error(sqlite3_errmsg(db));
    }
    db::StmtPtr stmt(raw);
    std::vector<std::string> out;
    while (sqlite3_step(stmt.get()) == SQLITE_ROW) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), 0));
      out.emplace_back(text != nullptr ? text : "");
    }
    return out;
  }
  /// A query giving each row of `table` as "(v1,v2,...)": every value a quoted literal (or
  /// NULL), which both databases convert to the column's type.
  static std::string RowsAsValues(sqlite3* db, const std::string& table) {
    std::string row;
    for (const std::string& column :
         Strings(db, "SELECT name FROM pragma_table_info('" + table + "') ORDER BY cid")) {
      row += (row.empty() ? "" : " || ',' || ") +
             ("COALESCE(quote(CAST(" + column + " AS TEXT)), 'NULL')");
    }
    return "SELECT '(' || " + row + " || ')' FROM " + table;
  }
};

}  // namespace carvalen::test
