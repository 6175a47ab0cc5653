// Unit price and discount from a line or its breaks, the landed price, and bulk pricing in batches.
#include <algorithm>
#include <map>

#include "api/call.hpp"
#include "carvalen/component.hpp"
#include "carvalen/contract.hpp"
#include "contract/bulk_pricing.hpp"
#include "support/operation_test.hpp"

namespace carvalen::test {
namespace {

const std::string kNullUse = "Invalid use of Null";
const std::string kDuplicate = "This key is already associated with an element of this collection";

// Header 1: lines 1, 2 price breaks 10 (9), 50 (8), 100 (7) from below / above (NULL flag: on), 3
// breaks off (own PRICE 99 never leaks into a break price), 4, 5 NULLs. Header 2: discount breaks
// 10 (2 %), 100 (amount 50) the same two ways on 1, 2; 3 to 5 own figures; 6 NULL percentage.
const std::string kPriceRows =
    "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, CURRENCYCODE, PRICE, "
    "INCLUDEPRICEBREAKUP, DISCOUNTPERCENTAGE, DISCOUNTAMOUNT, INCLUDEDISCOUNTBREAKUP, "
    "MINQTYBREAKUP) VALUES (1, 1, 'EUR', 99, 1, 0, 0, 0, 1), (1, 2, 'EUR', 99, NULL, 0, 0, 0, 0), "
    "(1, 3, 'EUR', 99, 0, 0, 0, 0, NULL), (1, 4, NULL, NULL, 0, 0, 0, 0, NULL), "
    "(1, 5, 'EUR', 1, 1, 0, 0, 0, NULL), (2, 1, 'USD', 0, 0, 7, 7, 1, 1), "
    "(2, 2, 'USD', 0, 0, 7, 7, NULL, 0), (2, 3, 'USD', 0, 0, 5, 20, 0, NULL), "
    "(2, 4, 'USD', 0, 0, 0, 20, 0, NULL), (2, 5, 'USD', 0, 0, 0, 0, 0, NULL), "
    "(2, 6, 'USD', 0, 0, NULL, 1, 0, 0);"
    "INSERT INTO CONTRACTPRICE (CONTRACTHEADERID, CONTRACTLINEID, QUANTITY, PRICE) VALUES "
    "(1, 1, 10, 9), (1, 1, 50, 8), (1, 1, 100, 7), (1, 2, 10, 9), (1, 2, 50, 8), (1, 2, 100, 7), "
    "(1, 3, 10, 9);"
    "INSERT INTO CONTRACTDISCOUNT (CONTRACTHEADERID, CONTRACTLINEID, QUANTITY, DISCOUNTPERCENTAGE, "
    "DISCOUNTAMOUNT) VALUES (2, 1, 10, 2, 0), (2, 1, 100, 0, 50), (2, 2, 10, 2, 0), "
    "(2, 2, 100, 0, 50)";
using Price = SeededTest<kPriceRows>;

TEST_P(Price, PicksTheBreakTheQuantityEarnsListsTheBreaksOrReportsUnderItsName) {
  constexpr double F = 42.5;  // the caller's price fall-back when no break applies
  // {discount, line, quantities, values, flags}; flag p percentage (true), a amount, - left Empty
  using Case =
      std::tuple<bool, std::int32_t, std::vector<double>, std::vector<double>, std::string>;
  const Case cases[] = {
      // From below the greatest break <= Q applies, from above the least >= Q; breaks off: own.
      {false, 1, {5, 10, 49.5, 50, 1000}, {F, 9, 9, 8, 7}, "-----"},
      {false, 2, {5, 10, 10.5, 100, 101}, {9, 9, 8, 7, F}, "-----"},
      {false, 3, {5}, {99}, "-"},
      {true, 1, {5, 10, 99, 100}, {0, 2, 2, 50}, "-ppa"},
      {true, 2, {5, 10, 11, 101}, {2, 2, 50, 0}, "ppa-"},
      {true, 3, {1}, {5}, "p"},  // own figures: a percentage wins
      {true, 4, {1}, {20}, "a"},
      {true, 5, {1}, {0}, "-"},
  };
  for (const auto& [discount, line, quantities, values, flags] : cases) {
    for (std::size_t i = 0; i < quantities.size(); ++i) {
      SCOPED_TRACE(::testing::Message() << discount << " line " << line << " at " << quantities[i]);
      Variant currency, flag;
      double fall_back = F;
      EXPECT_EQ(discount ? ContractLine().GetDiscount(2, line, quantities[i], currency, flag)
                         : ContractLine().GetPrice(1, line, quantities[i], currency, fall_back),
                values[i]);
      EXPECT_EQ(flag, flags[i] == '-' ? Variant() : Variant(flags[i] == 'p'));
      EXPECT_EQ(currency, Variant(discount ? "USD" : "EUR"));
    }
  }
  Variant currency;
  EXPECT_EQ(ContractLine().GetPrice(1, 1, 5, currency), 0.0);  // fall-back omitted
  // {discount, line, number, description, currency}: the currency is written before deciding.
  using Failure = std::tuple<bool, std::int32_t, std::int32_t, std::string, Variant>;
  const Failure failures[] = {
      {false, 99, errnum::kLineMissing, kGenericDescription, Variant("untouched")},
      {false, 4, 94, kNullUse, null},            // NULL PRICE, breaks off
      {false, 5, 94, kNullUse, Variant("EUR")},  // NULL MINQTYBREAKUP, breaks on
      {true, 99, errnum::kLineMissing, kGenericDescription, Variant("untouched")},
      {true, 6, 94, kNullUse, Variant("USD")},  // NULL DISCOUNTPERCENTAGE
  };
  for (const auto& [discount, line, number, description, written] : failures) {
    Variant currency("untouched"), flag;
    const ErrorInfo e = ReportedOnce([&, discount = discount, line = line] {
      if (discount) ContractLine().GetDiscount(2, line, 1, currency, flag);
      if (!discount) ContractLine().GetPrice(1, line, 10, currency);
    });
    const std::string op = discount ? "GetDiscount" : "GetPrice";
    EXPECT_EQ(e.Description, Reported(number, "Carvalen.ContractLine." + op, description));
    EXPECT_EQ(currency, written) << "line " << line;
  }
  ContractLine line;
  std::string price_code = "x", discount_code;
  Variant flag;
  SqlTrace trace;
  line.GetPrice(1, 1, 49.5, currency);
  line.GetPrice(1, 2, 10, currency);
  DictionaryPtr prices = line.GetPriceBreakup(1, 2, price_code);
  EXPECT_TRUE(line.ContractPriceBreakUpExists(1, 2));
  line.GetDiscount(2, 1, 99.5, currency, flag);
  line.GetDiscount(2, 2, 1e-05, currency, flag);
  DictionaryPtr discounts = line.GetDiscountBreakUp(2, 1, discount_code);
  EXPECT_TRUE(line.ContractDiscountBreakUpExists(2, 1));
  const std::string w1 = " WHERE CONTRACTHEADERID = 1 AND CONTRACTLINEID = ";
  const std::string w2 = " WHERE CONTRACTHEADERID = 2 AND CONTRACTLINEID = ";
  const std::string price =
      "SELECT CURRENCYCODE,PRICE,INCLUDEPRICEBREAKUP,MINQTYBREAKUP FROM CONTRACTLINE" + w1;
  const std::string discount =
      "SELECT CURRENCYCODE,DISCOUNTPERCENTAGE,DISCOUNTAMOUNT,INCLUDEDISCOUNTBREAKUP,"
      "MINQTYBREAKUP FROM CONTRACTLINE" +
      w2;
  const std::string of_breaks = "SELECT DISCOUNTPERCENTAGE,DISCOUNTAMOUNT FROM CONTRACTDISCOUNT";
  EXPECT_EQ(
      trace.Queries(),
      (Sql{price + "1",
           "SELECT PRICE FROM CONTRACTPRICE" + w1 + "1 AND QUANTITY <= 49.5 ORDER BY QUANTITY DESC",
           price + "2",
           "SELECT PRICE FROM CONTRACTPRICE" + w1 + "2 AND QUANTITY >= 10 ORDER BY QUANTITY ASC",
           "SELECT CURRENCYCODE FROM CONTRACTLINE" + w1 + "2",
           "SELECT QUANTITY,PRICE FROM CONTRACTPRICE" + w1 + "2",
           "SELECT QUANTITY FROM CONTRACTPRICE" + w1 + "2", discount + "1",
           of_breaks + w2 + "1 AND QUANTITY <= 99.5 ORDER BY QUANTITY DESC", discount + "2",
           of_breaks + w2 + "2 AND QUANTITY >= 1e-05 ORDER BY QUANTITY ASC",
           "SELECT CURRENCYCODE FROM CONTRACTLINE" + w2 + "1",
           "SELECT QUANTITY,DISCOUNTPERCENTAGE,DISCOUNTAMOUNT FROM CONTRACTDISCOUNT" + w2 + "1",
           "SELECT QUANTITY FROM CONTRACTDISCOUNT" + w2 + "1"}));
  // Price breaks have text keys, discount breaks number keys.
  EXPECT_EQ(price_code, "EUR");
  EXPECT_EQ(KeysOf(*prices), Vs("1", "2", "3"));
  EXPECT_EQ(ElementsOf(prices->Item(Variant("2"))), Vs(50.0, 8.0));
  EXPECT_EQ(discount_code, "USD");
  EXPECT_EQ(KeysOf(*discounts), Vs(1, 2));
  EXPECT_EQ(ElementsOf(discounts->Item(Variant(2))), Vs(100.0, 0.0, 50.0));
  // A line that does not exist is no error: no currency, no breaks.
  EXPECT_EQ(line.GetPriceBreakup(1, 99, price_code)->Count(), 0);
  EXPECT_EQ(price_code, "");
  EXPECT_TRUE(line.ContractPriceBreakUpExists(1, 3));  // breaks off, rows still there
  EXPECT_FALSE(line.ContractPriceBreakUpExists(1, 4));
  EXPECT_FALSE(line.ContractDiscountBreakUpExists(2, 3));
}

// Partner 500 has contracts 1 (category 7) and 2 (category 8); product 12 is only under 2.
// Line 1/7 costs 100, less 10 %, plus 8 % tax, freight 5 and handling 2: 104.2.
const std::string kEffectivePriceRows =
    "INSERT INTO CONTRACTHEADER (CONTRACTHEADERID, BUSINESSPARTNERID, CATEGORYID) VALUES "
    "(1, 500, 7), (2, 500, 8);"
    "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, PRODUCTID, CONTRACTSTATUS, "
    "CURRENCYCODE, PRICE, DISCOUNTPERCENTAGE, DISCOUNTAMOUNT, TAXPERCENTAGE, FREIGHTCHARGE, "
    "HANDLINGCHARGE, INCLUDEPRICEBREAKUP, INCLUDEDISCOUNTBREAKUP, MINQTYBREAKUP) VALUES "
    "(1, 7, 11, 6, 'EUR', 100, 10, 0, 8, 5, 2, 0, 0, 1), "
    "(1, 9, 11, 6, 'EUR', 100, 0, 10, 8, 5, 2, 0, 0, 1), "
    "(1, 10, 11, 5, 'EUR', 100, 0, 10, 8, 5, 2, 0, 0, 1), "
    "(2, 1, 12, 6, 'GBP', 50, 0, 0, 0, 0, 0, 0, 0, 1), "
    "(1, 20, 13, 6, 'EUR', NULL, 0, 0, 0, 0, 0, 0, 0, 1), "
    "(1, 21, 14, 6, 'EUR', 100, 0, 10, 0, 0, 0, 1, 0, 1)";
using EffectivePrice = SeededTest<kEffectivePriceRows>;

Variant L(std::int32_t v) { return Variant(v); }

TEST_P(EffectivePrice, ChoosesTheLinePricesItAndSendsTheStatementsAsWritten) {
  const std::string direct =
      "SELECT CURRENCYCODE,TAXPERCENTAGE,FREIGHTCHARGE,HANDLINGCHARGE FROM CONTRACTLINE WHERE "
      "CONTRACTHEADERID = 1 AND CONTRACTLINEID = ";
  const std::string headers =
      "SELECT CONTRACTHEADERID FROM CONTRACTHEADER WHERE BUSINESSPARTNERID = 500";
  const std::string of_partner =
      "SELECT CURRENCYCODE,CONTRACTLINEID,TAXPERCENTAGE,FREIGHTCHARGE,HANDLINGCHARGE FROM "
      "CONTRACTLINE WHERE CONTRACTHEADERID = ";
  const std::string active = " AND CONTRACTSTATUS = 6", line7 = direct + "7" + active;
  const std::string newest = active + " ORDER BY CONTRACTLINEID DESC";
  // {name, header, line, product, partner, category, found line, header (Empty: none), price, SQL}
  using Case = std::tuple<const char*, Variant, Variant, Variant, Variant, Variant, Variant,
                          Variant, double, std::vector<std::string>>;
  const Case cases[] = {
      {"direct, percentage", L(1), L(7), no, no, no, L(7), L(1), 104.2, Sql{line7}},
      {"direct keeps the caller's text ids", Variant("1"), Variant("9"), no, no, no, Variant("9"),
       Variant("1"), 104.2, Sql{direct + "9" + active}},
      {"partner alone is direct mode", L(1), L(7), no, L(999), no, L(7), L(1), 104.2, Sql{line7}},
      {"direct without a line id", L(1), no, no, no, no, {}, {}, 0, Sql{}},
      {"supplier ignores the header id, newest line", L(2), no, L(11), L(500), no, L(9), L(1),
       104.2, Sql{headers, of_partner + "1 AND PRODUCTID = 11" + newest}},
      {"supplier and line id", no, L(7), L(11), L(500), no, L(7), L(1), 104.2,
       Sql{headers, of_partner + "1 AND PRODUCTID = 11 AND CONTRACTLINEID = 7" + active}},
      {"only the partner's first contract", no, no, L(12), L(500), no, Variant(), Variant(), 0,
       Sql{headers, of_partner + "1 AND PRODUCTID = 12" + newest}},
      {"category picks the contract", no, no, L(12), L(500), L(8), L(1), L(2), 50,
       Sql{headers + " AND CATEGORYID = 8", of_partner + "2 AND PRODUCTID = 12" + newest}},
      {"no break applies: price 0 less the amount", L(1), L(21), no, no, no, L(21), L(1), -10,
       Sql{direct + "21" + active}},
  };
  for (const auto& [name, header, line, product, partner, category, found_line, found_header, price,
                    sent] : cases) {
    SCOPED_TRACE(name);
    std::string currency = "keep";
    SqlTrace trace;
    DictionaryPtr result =
        ContractLine().GetEffectivePrice(1, currency, header, line, product, partner, category);
    // Then nested look-ups, one line each (and line 21's breaks), each on a second connection.
    std::vector<std::string> queries = trace.Queries();
    const std::size_t nested = found_line.IsEmpty() ? 0 : found_line == L(21) ? 3 : 2;
    ASSERT_GE(queries.size(), nested);
    queries.resize(queries.size() - nested);
    EXPECT_EQ(queries, sent);
    int open = 0, most = 0;
    for (const auto& event : trace.Events()) {
      if (event["event"] == "open") most = std::max(most, ++open);
      if (event["event"] == "close") --open;
    }
    EXPECT_EQ(currency, found_line.IsEmpty() ? "keep" : found_header == L(2) ? "GBP" : "EUR");
    ASSERT_EQ(result == nullptr, found_line.IsEmpty());
    if (result == nullptr) continue;
    EXPECT_EQ(most, 2);
    EXPECT_EQ(KeysOf(*result), Vs("CONTRACTLINEID", "EFFECTIVEPRICE", "CONTRACTHEADERID"));
    EXPECT_EQ(ElementsOf(Variant(result->Items())), Vs(found_line, price, found_header));
  }
  // Nested errors are reported inside the operation's own.
  std::string currency;
  ErrorInfo e = RaisedBy([&] { ContractLine().GetEffectivePrice(1, currency, L(1), L(20)); });
  EXPECT_EQ(e.Number, 94);
  EXPECT_EQ(e.Description, ReportHeader(94, "Carvalen.ContractLine.GetEffectivePrice") +
                               Reported(94, "Carvalen.ContractLine.GetPrice", kNullUse) + ".\r\n");
  EXPECT_EQ(db.Log().size(), 2u);
}

// The columns bulk pricing reads, in the order the rows below give them.
const std::string kPricedLines =
    "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, PRODUCTID, CONTRACTSTATUS, "
    "CURRENCYCODE, PRICE, DISCOUNTPERCENTAGE, DISCOUNTAMOUNT, TAXPERCENTAGE, FREIGHTCHARGE, "
    "INCLUDEPRICEBREAKUP, INCLUDEDISCOUNTBREAKUP, MINQTYBREAKUP) VALUES ";
constexpr const char* kBulk = "Carvalen.Contract.GetActiveContractLinesProc";
constexpr std::size_t kBatch = contract::kPricingBatch;

DictionaryPtr Request(std::vector<std::pair<Variant, Variant>> entries) {
  DictionaryPtr request = Dictionary::Create();
  for (auto& [key, item] : entries) request->Add(std::move(key), std::move(item));
  return request;
}

// A request in typed JSON from its compact [[key, [partner, quantity]], ...]; nullptr: Nothing.
std::string Typed(const char* compact) {
  if (compact == nullptr) return R"({"$nothing": true})";
  nlohmann::json entries = nlohmann::json::array();
  for (nlohmann::json entry : nlohmann::json::parse(compact)) {
    if (entry[1].is_array()) entry[1] = {{"$array", entry[1]}};
    entries.push_back(entry);
  }
  return nlohmann::json{{"$dict", entries}}.dump();
}

DictionaryPtr PriceInBulk(const std::string& typed) {
  const Variant value = api::ParseValue(typed);
  return Contract().GetActiveContractLinesProc(value.IsNothing() ? nullptr
                                                                 : value.As<Dictionary>());
}

// The faces (compact or through the dictionary) answer the operation's result text, or its error.
void ExpectTheFacesAgree(const std::string& typed) {
  std::string expected = "{\"result\": ";
  try {
    api::AppendJson(Variant(ObjectPtr(PriceInBulk(typed))), expected);
    expected += ", \"byref\": {}}";
  } catch (...) {
    expected = api::Dump(api::ErrorJson(CurrentError().Info()));
  }
  const std::string arguments = R"({"i_oDicBPProductQuan": )" + typed + "}";
  EXPECT_EQ(api::CallWithJson("Contract.GetActiveContractLinesProc", arguments).text, expected);
}

bool IsLineStatement(const std::string& sql) { return sql.starts_with(" SELECT CONTRACTHEADER."); }

// The result by product id; the database decides the order of rows within one statement.
std::map<std::int32_t, std::vector<Variant>> ByProduct(const Dictionary& result) {
  std::map<std::int32_t, std::vector<Variant>> entries;
  for (const auto& [key, item] : result.Entries()) {
    EXPECT_EQ(key.Type(), VarType::Long) << "keys are the database's PRODUCTID values";
    entries[key.ToLong()] = ElementsOf(item);
  }
  return entries;
}

// Partners 501 (contracts 1, 3), 502 (2). Product 10: price breaks from below, discount off; 11:
// from above with discount breaks, NULL flags (on); 12 own price, NULL currency and freight; 13
// expired; 14 two active lines of 501; 20 and 22 a NULL where a value is taken.
const std::string kBulkPricingRows =
    "INSERT INTO CONTRACTHEADER (CONTRACTHEADERID, BUSINESSPARTNERID) VALUES (1, 501), "
    "(2, 502), (3, 501);" +
    kPricedLines +
    "(1, 1, 10, 6, 'EUR', 99, 5, 20, 8, 5, 1, 0, 1), "
    "(1, 2, 11, 6, 'EUR', 99, 0, 0, 0, 0, NULL, NULL, 0), "
    "(1, 3, 12, 6, NULL, 4.5, 0, 0, 19, NULL, 0, 0, 0), (1, 4, 13, 7, 'EUR', 1, 0, 0, 0, 0, "
    "0, 0, 0), (2, 1, 10, 6, 'USD', 3, 0, 0, 0, 0, 0, 0, 1), (1, 5, 14, 6, 'EUR', 1, 0, 0, 0, "
    "0, 0, 0, 1), (3, 1, 14, 6, 'EUR', 2, 0, 0, 0, 0, 0, 0, 1), (1, 6, 20, 6, 'EUR', 1, 0, 0, "
    "0, 0, 0, 0, NULL), (1, 8, 22, 6, 'EUR', 1, 0, 0, 0, 0, 1, 0, 1);"
    "INSERT INTO CONTRACTPRICE (CONTRACTHEADERID, CONTRACTLINEID, QUANTITY, PRICE) VALUES "
    "(1, 1, 10, 9), (1, 1, 50, 8), (1, 1, 100, 7), (1, 2, 10, 9), (1, 2, 50, 8), "
    "(1, 2, 100, 7), (1, 8, 10, NULL);"
    "INSERT INTO CONTRACTDISCOUNT (CONTRACTHEADERID, CONTRACTLINEID, QUANTITY, "
    "DISCOUNTPERCENTAGE, DISCOUNTAMOUNT) VALUES (1, 2, 10, 2, 0), (1, 2, 100, 0, 50)";
using BulkPricing = SeededTest<kBulkPricingRows>;

TEST_P(BulkPricing, PricesEachLineAtItsOwnRequestsQuantityOrReportsUnderItsName) {
  // The operation keeps a utilities instance of its own: one from the registry would fail.
  ComponentOverride no_utilities(kUtilitiesName, []() -> ObjectPtr { return nullptr; });
  using Case = std::tuple<const char*, const char*, std::map<std::int32_t, std::vector<Variant>>>;
  const Case cases[] = {
      {"breaks between two quantities, own price, both discount figures",
       "[[10, [501, 49.5]], [11, [501, 10.5]], [12, [501, 5.0]]]",
       {{10, Vs(1, 1, 9.0, 5.0, 20.0, "EUR", 8.0, 5.0, true, true)},
        {11, Vs(1, 2, 8.0, 0.0, 50.0, "EUR", 0.0, 0.0, true, true)},
        {12, Vs(1, 3, 4.5, 0.0, 0.0, null, 19.0, null, true, true)}}},
      {"no break applies: nothing found, never the line's own figures",
       "[[10.0, [501, 5.0]], [11, [501, 101.0]]]",
       {{10, Vs(1, 1, 0.0, 5.0, 20.0, "EUR", 8.0, 5.0, false, true)},
        {11, Vs(1, 2, 0.0, 0.0, 0.0, "EUR", 0.0, 0.0, false, false)}}},
      {"each partner finds only its own active lines",
       "[[10, [502, 1.0]], [12, [502, 1.0]], [13, [501, 1.0]]]",
       {{10, Vs(2, 1, 3.0, 0.0, 0.0, "USD", 0.0, 0.0, true, true)}}},
      {"text keys and values convert; further item elements are ignored",
       R"([["10", ["501", "60", "ignored"]]])",
       {{10, Vs(1, 1, 8.0, 5.0, 20.0, "EUR", 8.0, 5.0, true, true)}}},
      {"nothing qualifies", "[[10, [999, 1.0]]]", {}},
  };
  for (const auto& [name, request, expected] : cases) {
    SCOPED_TRACE(name);
    DictionaryPtr result = PriceInBulk(Typed(request));
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(ByProduct(*result), expected);
    ExpectTheFacesAgree(Typed(request));
  }
  // Lines are told apart across statements as read, never converted: a 64-bit id, ids 1.5 and 2
  // of one header (SQLite keeps both), a NULL id where the line key is not enforced.
  db.Exec(
      "CREATE TABLE RELAXED AS SELECT * FROM CONTRACTLINE; DROP TABLE CONTRACTLINE; "
      "ALTER TABLE RELAXED RENAME TO CONTRACTLINE");
  const bool sqlite = GetParam() == Provider::SQLite;
  const auto own = [](const char* ids, const char* breaks = "0") {  // priced at 7, nothing else
    return std::string(", (") + ids + ", 6, 'EUR', 7, 0, 0, 0, 0, " + breaks + ", 0, 1)";
  };
  db.Exec(kPricedLines + own("1, NULL, 40").substr(2) + own("1, NULL, 41", "1") +
          (sqlite ? own("3, 3000000000, 30") + own("3, 1.5, 31") + own("3, 2, 32") : ""));
  const auto over_statements = [](const char* first, const char* last, int between) {
    std::string request = std::string("[") + first;
    for (int i = 0; i < between; ++i) request += ", [" + std::to_string(9000 + i) + ", [501, 1]]";
    return request + ", " + last + "]";
  };
  const auto priced = [](auto header, auto line) {
    return Vs(header, line, 7.0, 0.0, 0.0, "EUR", 0.0, 0.0, true, true);
  };
  using Apart = std::tuple<bool, std::string, std::map<std::int32_t, std::vector<Variant>>>;
  const Apart apart[] = {
      {sqlite, "[[30, [501, 1.0]]]", {{30, priced(3, std::int64_t{3000000000})}}},
      {sqlite,
       over_statements("[31, [501, 1.0]]", "[32, [501, 1.0]]", int{kBatch} - 1),
       {{31, priced(3, 1.5)}, {32, priced(3, 2)}}},
      {true,
       over_statements(R"(["40", [501, 1.0]])", "[40, [501, 1.0]]", int{kBatch}),
       {{40, priced(1, null)}}},
  };
  for (const auto& [applies, request, expected] : apart) {
    if (!applies) continue;
    SCOPED_TRACE(request.substr(0, 40));
    EXPECT_EQ(ByProduct(*PriceInBulk(Typed(request.c_str()))), expected);
    ExpectTheFacesAgree(Typed(request.c_str()));
  }
  EXPECT_TRUE(db.Log().empty());
  // {name, request (nullptr: Nothing), number, description (empty: the database's own text)}
  using Failure = std::tuple<const char*, const char*, std::int32_t, std::string>;
  const Failure failures[] = {
      {"empty request: nothing between the parentheses", "[]", 0, ""},
      {"item that is no array", "[[10, 501]]", 13, "Type mismatch"},
      {"item without a quantity, needed by a break", "[[10, [501]]]", 9, "Subscript out of range"},
      {"NULL MINQTYBREAKUP, breaks unused", "[[20, [501, 1.0]]]", 94, kNullUse},
      {"NULL break price", "[[22, [501, 10.0]]]", 94, kNullUse},
      {"two active lines of one partner", "[[14, [501, 1.0]]]", 457, kDuplicate},
      {"two keys naming one product", R"([[12, [501, 1.0]], ["10", [501, 1.0]], [10, [502, 1.0]]])",
       457, kDuplicate},
      {"no request dictionary", nullptr, 91, "Object variable or With block variable not set"},
      {"ids convert in the statement's order: a NULL line id before a bad quantity",
       R"([[41, [501, "x"]]])", 94, kNullUse},
  };
  for (const auto& [name, request, number, description] : failures) {
    SCOPED_TRACE(name);
    ExpectTheFacesAgree(Typed(request));
    const ErrorInfo e = ReportedOnce([&r = request] { PriceInBulk(Typed(r)); });
    if (description.empty()) {
      EXPECT_NE(e.Number, 0);
      EXPECT_TRUE(e.Description.starts_with("\r\nERROR 0x")) << e.Description;
      EXPECT_EQ(ReportedLevels(e.Description), kBulk);
    } else {
      EXPECT_EQ(e.Number, number);
      EXPECT_EQ(e.Description, Reported(number, kBulk, description));
    }
  }
}

class ManyRequests : public LineReadTest {};

// 2.5 batches of lines at their own price; every tenth product also has a line of partner 9999,
// every thirteenth request names a partner without lines; asked out of insertion order. Then a
// product of statement 1 that partner 9999 also supplies is asked again, last in statement 3 under
// its number as text: for 9999 the whole call fails; for the same partner it is found once.
TEST_P(ManyRequests, AnswersEveryRequestInStatementsOfAtMostTheBatchSize) {
  constexpr int kCount = static_cast<int>(2 * kBatch + kBatch / 2);
  constexpr std::int32_t kOtherPartner = 9999;
  const auto partner_of = [](int i) { return 700 + i % 37; };
  std::string headers, lines;
  auto add = [&](int header, std::int32_t partner, int product, const std::string& price) {
    const std::string h = std::to_string(header);
    headers += (headers.empty() ? "(" : ", (") + h + ", " + std::to_string(partner) + ")";
    lines += (lines.empty() ? "(" : ", (") + h + ", 1, " + std::to_string(product) + ", 6, " +
             price + ", 0, 0, 0, 0, 0, 0, 1)";
  };
  std::vector<int> order;
  for (int i = 0; i < kCount; ++i) {
    add(1 + i, partner_of(i), 5000 + i, "'EUR', " + std::to_string(10 + i % 17));
    if (i % 10 == 0) add(100000 + i, kOtherPartner, 5000 + i, "'USD', 1");
    order.push_back((i * 97) % kCount);
  }
  db.Exec("INSERT INTO CONTRACTHEADER (CONTRACTHEADERID, BUSINESSPARTNERID) VALUES " + headers);
  db.Exec(kPricedLines + lines);
  std::vector<std::pair<Variant, Variant>> asked;  // every line's product, in the order of order
  std::map<std::int32_t, std::vector<Variant>> expected;
  std::map<std::int32_t, std::size_t> batch_of;  // product: the statement that asks for it
  std::vector<std::string> statements;           // each one's conditions, then the whole text
  for (std::size_t j = 0; j < order.size(); ++j) {
    const int i = order[j], partner = i % 13 == 0 ? 1 : partner_of(i);
    asked.emplace_back(Variant(5000 + i), List(Vs(partner, 1.0)));
    if (i % 13)
      expected[5000 + i] = Vs(1 + i, 1, 10.0 + i % 17, 0.0, 0.0, "EUR", 0.0, 0.0, true, true);
    batch_of[5000 + i] = j / kBatch;
    if (j % kBatch == 0) statements.emplace_back();
    statements.back() += std::string(j % kBatch == 0 ? "" : " OR") +
                         " (CONTRACTHEADER.BUSINESSPARTNERID = " + std::to_string(partner) +
                         " AND CONTRACTLINE.PRODUCTID = " + std::to_string(5000 + i) + ")";
  }
  for (std::string& condition : statements) {
    condition =
        " SELECT CONTRACTHEADER.CONTRACTHEADERID, CONTRACTLINE.CONTRACTLINEID,CONTRACTLINE.PRICE, "
        "CONTRACTLINE.DISCOUNTAMOUNT,CONTRACTLINE.DISCOUNTPERCENTAGE, CONTRACTLINE.TAXPERCENTAGE,"
        "CONTRACTLINE.FREIGHTCHARGE, CONTRACTLINE.CURRENCYCODE,CONTRACTLINE.INCLUDEPRICEBREAKUP, "
        "CONTRACTLINE.INCLUDEDISCOUNTBREAKUP,CONTRACTLINE.PRODUCTID, CONTRACTLINE.MINQTYBREAKUP "
        "FROM CONTRACTHEADER, CONTRACTLINE WHERE (" +
        condition +
        ") AND CONTRACTLINE.CONTRACTHEADERID = CONTRACTHEADER.CONTRACTHEADERID AND "
        "CONTRACTLINE.CONTRACTSTATUS = 6";
  }
  SqlTrace trace;
  DictionaryPtr result = Contract().GetActiveContractLinesProc(Request(asked));
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(ByProduct(*result), expected);
  // Consecutive statements of kBatch groups in the request's order, one connection for all.
  std::vector<std::string> sent = trace.Queries();
  std::erase_if(sent, [](const std::string& sql) { return !IsLineStatement(sql); });
  EXPECT_EQ(sent, statements);
  const auto events = trace.Events();
  EXPECT_EQ(std::ranges::count_if(events, [](auto& e) { return e["event"] == "open"; }), 1);
  // The answers of one statement come before those of the next.
  std::vector<std::size_t> batches;
  for (const auto& [key, item] : result->Entries()) batches.push_back(batch_of[key.ToLong()]);
  EXPECT_TRUE(std::ranges::is_sorted(batches));
  auto first = std::find_if(order.begin(), order.begin() + kBatch,
                            [](int i) { return i % 10 == 0 && i % 13 != 0; });
  ASSERT_NE(first, order.begin() + kBatch);
  asked.back() = {Variant(std::to_string(5000 + *first)), List(Vs(kOtherPartner, 1.0))};
  SqlTrace again;
  ErrorInfo e = ReportedOnce([&] { Contract().GetActiveContractLinesProc(Request(asked)); });
  EXPECT_EQ(e.Description, Reported(457, kBulk, kDuplicate));
  EXPECT_EQ(std::ranges::count_if(again.Queries(), IsLineStatement), 3);
  asked.back().second = List(Vs(partner_of(*first), 1.0));
  const auto once = Contract().GetActiveContractLinesProc(Request(asked));
  EXPECT_EQ(once->Count(), result->Count() - (result->Exists(asked.back().first) ? 0 : 1));
  EXPECT_TRUE(once->Exists(Variant(5000 + *first)));
  asked.back().second = Variant(5);  // not an array, last: the call fails before any statement
  SqlTrace bad;
  EXPECT_EQ(ReportedOnce([&] { Contract().GetActiveContractLinesProc(Request(asked)); }).Number,
            13);
  EXPECT_TRUE(bad.Queries().empty());
}

CARVALEN_ON_PROVIDERS(Price);
CARVALEN_ON_PROVIDERS(EffectivePrice);
CARVALEN_ON_PROVIDERS(BulkPricing);
CARVALEN_ON_PROVIDERS(ManyRequests);

}  // namespace
}  // namespace carvalen::test
