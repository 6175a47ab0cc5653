// Unit price and discount from a line's own figures or its breaks, the break tables, the landed
// price of a line, and bulk pricing of many partner/product requests in batched line statements.
#include <algorithm>
#include <map>

#include "api/call.hpp"
#include "carvalen/component.hpp"
#include "carvalen/contract.hpp"
#include "contract/bulk_pricing.hpp"
#include "support/operation_test.hpp"

namespace carvalen::test {
namespace {

const Variant no = Variant::Missing();
const Variant null = Variant::Null();
const std::string kNullUse = "Invalid use of Null";
const std::string kDuplicate = "This key is already associated with an element of this collection";

// Header 1, price: lines 1 and 2 have the breaks 10 (9), 50 (8) and 100 (7), from below and (a
// NULL flag means on) from above; line 3 has a break but switched off; the own PRICE 99 must
// never leak into a break price; lines 4 and 5 hold NULLs that fail. Header 2, discount: lines 1
// and 2 use the breaks 10 (2 %) and 100 (amount 50) the same two ways; 3 to 5 carry their own
// percentage and amount; 6 a NULL percentage.
class Price : public LineReadTest {
 protected:
  Price() {
    db.Exec(
        "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, CURRENCYCODE, PRICE, "
        "INCLUDEPRICEBREAKUP, DISCOUNTPERCENTAGE, DISCOUNTAMOUNT, INCLUDEDISCOUNTBREAKUP, "
        "MINQTYBREAKUP) VALUES (1, 1, 'EUR', 99, 1, 0, 0, 0, 1), (1, 2, 'EUR', 99, NULL, 0, 0, 0, "
        "0), (1, 3, 'EUR', 99, 0, 0, 0, 0, NULL), (1, 4, NULL, NULL, 0, 0, 0, 0, NULL), "
        "(1, 5, 'EUR', 1, 1, 0, 0, 0, NULL), (2, 1, 'USD', 0, 0, 7, 7, 1, 1), "
        "(2, 2, 'USD', 0, 0, 7, 7, NULL, 0), (2, 3, 'USD', 0, 0, 5, 20, 0, NULL), "
        "(2, 4, 'USD', 0, 0, 0, 20, 0, NULL), (2, 5, 'USD', 0, 0, 0, 0, 0, NULL), "
        "(2, 6, 'USD', 0, 0, NULL, 1, 0, 0)");
    db.Exec(
        "INSERT INTO CONTRACTPRICE (CONTRACTHEADERID, CONTRACTLINEID, QUANTITY, PRICE) VALUES "
        "(1, 1, 10, 9), (1, 1, 50, 8), (1, 1, 100, 7), (1, 2, 10, 9), (1, 2, 50, 8), "
        "(1, 2, 100, 7), (1, 3, 10, 9)");
    db.Exec(
        "INSERT INTO CONTRACTDISCOUNT (CONTRACTHEADERID, CONTRACTLINEID, QUANTITY, "
        "DISCOUNTPERCENTAGE, DISCOUNTAMOUNT) VALUES (2, 1, 10, 2, 0), (2, 1, 100, 0, 50), "
        "(2, 2, 10, 2, 0), (2, 2, 100, 0, 50)");
  }
};

TEST_P(Price, PicksTheBreakTheQuantityEarns) {
  constexpr double F = 42.5;  // the caller's price fall-back when no break applies
  const struct {
    bool discount;
    std::int32_t line;
    std::vector<double> quantities, values;
    std::string flags;  // discount: p percentage (true), a amount (false), - left Empty
  } cases[] = {
      {false, 1, {5, 10, 49.5, 50, 1000}, {F, 9, 9, 8, 7}, ""},  // from below: greatest break <= Q
      {false, 2, {5, 10, 10.5, 100, 101}, {9, 9, 8, 7, F}, ""},  // from above: least break >= Q
      {false, 3, {5}, {99}, ""},                                 // breaks off: the line's own price
      {true, 1, {5, 10, 99, 100}, {0, 2, 2, 50}, "-ppa"},
      {true, 2, {5, 10, 11, 101}, {2, 2, 50, 0}, "ppa-"},
      {true, 3, {1}, {5}, "p"},  // own figures: a percentage wins
      {true, 4, {1}, {20}, "a"},
      {true, 5, {1}, {0}, "-"},
  };
  for (const auto& c : cases) {
    for (std::size_t i = 0; i < c.quantities.size(); ++i) {
      SCOPED_TRACE((c.discount ? "discount line " : "line ") + std::to_string(c.line) +
                   " quantity " + std::to_string(c.quantities[i]));
      Variant currency, flag;
      double fall_back = F;
      if (c.discount) {
        EXPECT_EQ(ContractLine().GetDiscount(2, c.line, c.quantities[i], currency, flag),
                  c.values[i]);
        EXPECT_EQ(flag, c.flags[i] == '-' ? Variant() : Variant(c.flags[i] == 'p'));
      } else {
        EXPECT_EQ(ContractLine().GetPrice(1, c.line, c.quantities[i], currency, fall_back),
                  c.values[i]);
      }
      EXPECT_EQ(currency, Variant(c.discount ? "USD" : "EUR"));
    }
  }
  Variant currency;
  EXPECT_EQ(ContractLine().GetPrice(1, 1, 5, currency), 0.0);  // fall-back omitted
}

TEST_P(Price, BreakTablesAndStatements) {
  ContractLine line;
  std::string price_code = "x", discount_code;
  Variant currency, flag;
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
      "SELECT CURRENCYCODE,DISCOUNTPERCENTAGE,DISCOUNTAMOUNT,INCLUDEDISCOUNTBREAKUP,MINQTYBREAKUP "
      "FROM CONTRACTLINE" +
      w2;
  const std::string of_breaks = "SELECT DISCOUNTPERCENTAGE,DISCOUNTAMOUNT FROM CONTRACTDISCOUNT";
  EXPECT_EQ(
      trace.Queries(),
      (std::vector<std::string>{
          price + "1",
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

TEST_P(Price, ReportsFailuresUnderItsName) {
  const struct {
    bool discount;
    std::int32_t line, number;
    std::string description;
    Variant currency;  // price: written before the price is decided, a missing line leaves it
  } cases[] = {
      {false, 99, errnum::kLineMissing, kGenericDescription, Variant("untouched")},
      {false, 4, 94, kNullUse, null},            // NULL PRICE, breaks off
      {false, 5, 94, kNullUse, Variant("EUR")},  // NULL MINQTYBREAKUP, breaks on
      {true, 99, errnum::kLineMissing, kGenericDescription, no},
      {true, 6, 94, kNullUse, no},  // NULL DISCOUNTPERCENTAGE
  };
  for (const auto& c : cases) {
    Variant currency("untouched"), flag;
    ErrorInfo e = ReportedOnce([&] {
      if (c.discount)
        ContractLine().GetDiscount(2, c.line, 1, currency, flag);
      else
        ContractLine().GetPrice(1, c.line, 10, currency);
    });
    const std::string op = c.discount ? "GetDiscount" : "GetPrice";
    EXPECT_EQ(e.Description, Reported(c.number, "Carvalen.ContractLine." + op, c.description));
    if (!c.discount) {
      EXPECT_EQ(currency, c.currency) << "line " << c.line;
    }
  }
}

// Partner 500 has contracts 1 (category 7) and 2 (category 8); product 12 is only under 2.
// Line 1/7 costs 100, less 10 %, plus 8 % tax, freight 5 and handling 2: 104.2.
class EffectivePrice : public LineReadTest {
 protected:
  EffectivePrice() {
    db.Exec(
        "INSERT INTO CONTRACTHEADER (CONTRACTHEADERID, BUSINESSPARTNERID, CATEGORYID) VALUES "
        "(1, 500, 7), (2, 500, 8)");
    db.Exec(
        "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, PRODUCTID, "
        "CONTRACTSTATUS, CURRENCYCODE, PRICE, DISCOUNTPERCENTAGE, DISCOUNTAMOUNT, TAXPERCENTAGE, "
        "FREIGHTCHARGE, HANDLINGCHARGE, INCLUDEPRICEBREAKUP, INCLUDEDISCOUNTBREAKUP, "
        "MINQTYBREAKUP) VALUES "
        "(1, 7, 11, 6, 'EUR', 100, 10, 0, 8, 5, 2, 0, 0, 1), "
        "(1, 9, 11, 6, 'EUR', 100, 0, 10, 8, 5, 2, 0, 0, 1), "
        "(1, 10, 11, 5, 'EUR', 100, 0, 10, 8, 5, 2, 0, 0, 1), "
        "(2, 1, 12, 6, 'GBP', 50, 0, 0, 0, 0, 0, 0, 0, 1), "
        "(1, 20, 13, 6, 'EUR', NULL, 0, 0, 0, 0, 0, 0, 0, 1), "
        "(1, 21, 14, 6, 'EUR', 100, 0, 10, 0, 0, 0, 1, 0, 1)");
  }
};

Variant L(std::int32_t v) { return Variant(v); }

TEST_P(EffectivePrice, ChoosesTheLineAndPricesIt) {
  const struct {
    const char* name;
    Variant header, line, product, partner, category;
    Variant found_line, found_header;  // Empty: no line qualifies
    double price;
  } cases[] = {
      {"direct, percentage", L(1), L(7), no, no, no, L(7), L(1), 104.2},
      {"direct keeps the caller's text ids", Variant("1"), Variant("9"), no, no, no, Variant("9"),
       Variant("1"), 104.2},
      {"partner alone is direct mode", L(1), L(7), no, L(999), no, L(7), L(1), 104.2},
      {"supplier ignores the header id, newest line", L(2), no, L(11), L(500), no, L(9), L(1),
       104.2},
      {"only the partner's first contract", no, no, L(12), L(500), no, {}, {}, 0},
      {"category picks the contract", no, no, L(12), L(500), L(8), L(1), L(2), 50},
      {"no break applies: price 0 less the amount", L(1), L(21), no, no, no, L(21), L(1), -10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string currency = "keep";
    DictionaryPtr result = ContractLine().GetEffectivePrice(1, currency, c.header, c.line,
                                                            c.product, c.partner, c.category);
    if (c.found_line.IsEmpty()) {
      EXPECT_EQ(result, nullptr);
      EXPECT_EQ(currency, "keep");
      continue;
    }
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(KeysOf(*result), Vs("CONTRACTLINEID", "EFFECTIVEPRICE", "CONTRACTHEADERID"));
    EXPECT_EQ(ElementsOf(Variant(result->Items())), Vs(c.found_line, c.price, c.found_header));
    EXPECT_EQ(currency, c.found_header == L(2) ? "GBP" : "EUR");
  }
}

TEST_P(EffectivePrice, SendsTheStatementsAsWritten) {
  // The statements before the nested price and discount look-ups, which read one line each.
  auto first = [](Variant header, Variant line, Variant product, Variant partner,
                  Variant category) {
    SqlTrace trace;
    std::string currency;
    ContractLine().GetEffectivePrice(1, currency, header, line, product, partner, category);
    std::vector<std::string> queries = trace.Queries();
    queries.resize(queries.size() - std::min<std::size_t>(2, queries.size()));
    return queries;
  };
  const std::string of_partner =
      "SELECT CURRENCYCODE,CONTRACTLINEID,TAXPERCENTAGE,FREIGHTCHARGE,HANDLINGCHARGE FROM "
      "CONTRACTLINE WHERE CONTRACTHEADERID = 1 AND PRODUCTID = 11";
  const std::string headers =
      "SELECT CONTRACTHEADERID FROM CONTRACTHEADER WHERE BUSINESSPARTNERID = 500";
  EXPECT_EQ(first(L(1), L(7), no, no, no),
            std::vector<std::string>{
                "SELECT CURRENCYCODE,TAXPERCENTAGE,FREIGHTCHARGE,HANDLINGCHARGE FROM CONTRACTLINE "
                "WHERE CONTRACTHEADERID = 1 AND CONTRACTLINEID = 7 AND CONTRACTSTATUS = 6"});
  EXPECT_EQ(first(no, no, L(11), L(500), L(7)),
            (std::vector<std::string>{
                headers + " AND CATEGORYID = 7",
                of_partner + " AND CONTRACTSTATUS = 6 ORDER BY CONTRACTLINEID DESC"}));
  EXPECT_EQ(first(no, L(7), L(11), L(500), no),
            (std::vector<std::string>{
                headers, of_partner + " AND CONTRACTLINEID = 7 AND CONTRACTSTATUS = 6"}));
  EXPECT_TRUE(first(L(1), no, no, no, no).empty());  // direct without a line id
}

TEST_P(EffectivePrice, NestedLookUpsHoldTheirOwnConnectionAndNestTheirErrors) {
  std::string currency;
  SqlTrace trace;
  ContractLine().GetEffectivePrice(1, currency, L(1), L(21));
  int open = 0, most = 0;
  for (const auto& event : trace.Events()) {
    if (event["event"] == "open") most = std::max(most, ++open);
    if (event["event"] == "close") --open;
  }
  EXPECT_EQ(most, 2);  // the operation's own and one nested look-up's at a time
  ErrorInfo e = RaisedBy([&] { ContractLine().GetEffectivePrice(1, currency, L(1), L(20)); });
  EXPECT_EQ(e.Number, 94);
  EXPECT_EQ(e.Description, ReportHeader(94, "Carvalen.ContractLine.GetEffectivePrice") +
                               Reported(94, "Carvalen.ContractLine.GetPrice", kNullUse) + ".\r\n");
  EXPECT_EQ(db.Log().size(), 2u);
}

constexpr const char* kBulk = "Carvalen.Contract.GetActiveContractLinesProc";
constexpr std::size_t kBatch = contract::kPricingBatch;

// The request item: {partner, quantity}.
Variant Ask(std::int32_t partner, double quantity) {
  return Variant(Array::Of(Vs(partner, quantity)));
}

DictionaryPtr Request(std::vector<std::pair<Variant, Variant>> entries) {
  DictionaryPtr request = Dictionary::Create();
  for (auto& [key, item] : entries) request->Add(std::move(key), std::move(item));
  return request;
}

// A request in the faces' typed JSON, from its compact [[key, [partner, quantity]], ...] form;
// nullptr gives Nothing.
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

// The faces read a plain request compactly and write the answer as it is priced, any other
// through the dictionary: either way the same text as the operation's result, or its error.
void ExpectTheFacesAgree(const std::string& typed) {
  std::string expected;
  try {
    expected = "{\"result\": ";
    api::AppendJson(Variant(ObjectPtr(PriceInBulk(typed))), expected);
    expected += ", \"byref\": {}}";
  } catch (...) {
    expected = api::Dump(api::ErrorJson(CurrentError().Info()));
  }
  EXPECT_EQ(api::CallWithJson("Contract.GetActiveContractLinesProc",
                              R"({"i_oDicBPProductQuan": )" + typed + "}")
                .text,
            expected);
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

// Partners 501 (contracts 1 and 3) and 502 (contract 2). Product 10: breaks 10/50/100 at 9/8/7
// from below, discount off (5 % and amount 20, both returned). Product 11: the same breaks from
// above, discount breaks 10 (2 %) and 100 (amount 50), both flags NULL, which means on. Product
// 12: own price, NULL currency and freight. 13 is expired; 14 has two active lines of 501;
// 20 and 22 hold a NULL where a value is taken.
class BulkPricing : public LineReadTest {
 protected:
  BulkPricing() {
    db.Exec(
        "INSERT INTO CONTRACTHEADER (CONTRACTHEADERID, BUSINESSPARTNERID) VALUES (1, 501), "
        "(2, 502), (3, 501)");
    db.Exec(
        "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, PRODUCTID, CONTRACTSTATUS, "
        "CURRENCYCODE, PRICE, DISCOUNTPERCENTAGE, DISCOUNTAMOUNT, TAXPERCENTAGE, FREIGHTCHARGE, "
        "INCLUDEPRICEBREAKUP, INCLUDEDISCOUNTBREAKUP, MINQTYBREAKUP) VALUES "
        "(1, 1, 10, 6, 'EUR', 99, 5, 20, 8, 5, 1, 0, 1), "
        "(1, 2, 11, 6, 'EUR', 99, 0, 0, 0, 0, NULL, NULL, 0), "
        "(1, 3, 12, 6, NULL, 4.5, 0, 0, 19, NULL, 0, 0, 0), "
        "(1, 4, 13, 7, 'EUR', 1, 0, 0, 0, 0, 0, 0, 0), (2, 1, 10, 6, 'USD', 3, 0, 0, 0, 0, 0, 0, "
        "1), "
        "(1, 5, 14, 6, 'EUR', 1, 0, 0, 0, 0, 0, 0, 1), (3, 1, 14, 6, 'EUR', 2, 0, 0, 0, 0, 0, 0, "
        "1), "
        "(1, 6, 20, 6, 'EUR', 1, 0, 0, 0, 0, 0, 0, NULL), "
        "(1, 8, 22, 6, 'EUR', 1, 0, 0, 0, 0, 1, 0, 1)");
    db.Exec(
        "INSERT INTO CONTRACTPRICE (CONTRACTHEADERID, CONTRACTLINEID, QUANTITY, PRICE) VALUES "
        "(1, 1, 10, 9), (1, 1, 50, 8), (1, 1, 100, 7), (1, 2, 10, 9), (1, 2, 50, 8), "
        "(1, 2, 100, 7), (1, 8, 10, NULL)");
    db.Exec(
        "INSERT INTO CONTRACTDISCOUNT (CONTRACTHEADERID, CONTRACTLINEID, QUANTITY, "
        "DISCOUNTPERCENTAGE, DISCOUNTAMOUNT) VALUES (1, 2, 10, 2, 0), (1, 2, 100, 0, 50)");
  }
};

TEST_P(BulkPricing, PricesEachLineAtItsOwnRequestsQuantity) {
  // The operation keeps a utilities instance of its own: one from the registry would fail.
  ComponentOverride no_utilities(kUtilitiesName, []() -> ObjectPtr { return nullptr; });
  const struct {
    const char* name;
    const char* request;
    std::map<std::int32_t, std::vector<Variant>> expected;
  } cases[] = {
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
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DictionaryPtr result = PriceInBulk(Typed(c.request));
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(ByProduct(*result), c.expected);
    ExpectTheFacesAgree(Typed(c.request));
  }
  EXPECT_TRUE(db.Log().empty());
}

TEST_P(BulkPricing, ReportsFailuresUnderItsName) {
  const struct {
    const char* name;
    const char* request;  // nullptr: Nothing
    std::int32_t number;
    std::string description;  // empty: the database's own text
  } cases[] = {
      {"empty request: nothing between the parentheses", "[]", 0, ""},
      {"item that is no array", "[[10, 501]]", 13, "Type mismatch"},
      {"item without a quantity, needed by a break", "[[10, [501]]]", 9, "Subscript out of range"},
      {"NULL MINQTYBREAKUP, breaks unused", "[[20, [501, 1.0]]]", 94, kNullUse},
      {"NULL break price", "[[22, [501, 10.0]]]", 94, kNullUse},
      {"two active lines of one partner", "[[14, [501, 1.0]]]", 457, kDuplicate},
      {"two keys naming one product", R"([[12, [501, 1.0]], ["10", [501, 1.0]], [10, [502, 1.0]]])",
       457, kDuplicate},
      {"no request dictionary", nullptr, 91, "Object variable or With block variable not set"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectTheFacesAgree(Typed(c.request));
    ErrorInfo e = ReportedOnce([&] { PriceInBulk(Typed(c.request)); });
    if (c.description.empty()) {
      EXPECT_NE(e.Number, 0);
      EXPECT_TRUE(e.Description.starts_with("\r\nERROR 0x")) << e.Description;
      EXPECT_NE(e.Description.find("\r\n METHOD: " + std::string(kBulk) + "\r\n"),
                std::string::npos);
    } else {
      EXPECT_EQ(e.Number, c.number);
      EXPECT_EQ(e.Description, Reported(c.number, kBulk, c.description));
    }
  }
}

// Two and a half batches of lines at their own price (the break rule is BulkPricing's business).
// Every tenth product also has an active line of partner 9999; every thirteenth request names a
// partner without lines. Requests are asked in an order that is not the order of insertion.
class ManyRequests : public LineReadTest {
 protected:
  static constexpr int kCount = static_cast<int>(2 * kBatch + kBatch / 2);
  static constexpr std::int32_t kOtherPartner = 9999;

  ManyRequests() {
    std::string headers, lines;
    auto add = [&](int header, std::int32_t partner, int product, const std::string& price) {
      const std::string h = std::to_string(header);
      headers += (headers.empty() ? "(" : ", (") + h + ", " + std::to_string(partner) + ")";
      lines += (lines.empty() ? "(" : ", (") + h + ", 1, " + std::to_string(product) + ", 6, " +
               price + ", 0, 0, 0, 0, 0, 0, 1)";
    };
    for (int i = 0; i < kCount; ++i) {
      add(1 + i, Partner(i), 5000 + i, "'EUR', " + std::to_string(10 + i % 17));
      if (i % 10 == 0) add(100000 + i, kOtherPartner, 5000 + i, "'USD', 1");
    }
    db.Exec("INSERT INTO CONTRACTHEADER (CONTRACTHEADERID, BUSINESSPARTNERID) VALUES " + headers);
    db.Exec(
        "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, PRODUCTID, CONTRACTSTATUS, "
        "CURRENCYCODE, PRICE, DISCOUNTPERCENTAGE, DISCOUNTAMOUNT, TAXPERCENTAGE, FREIGHTCHARGE, "
        "INCLUDEPRICEBREAKUP, INCLUDEDISCOUNTBREAKUP, MINQTYBREAKUP) VALUES " +
        lines);
    for (int j = 0; j < kCount; ++j) order_.push_back((j * 97) % kCount);
  }

  static std::int32_t Partner(int i) { return 700 + i % 37; }

  std::vector<int> order_;
};

// Then a product of the first statement that partner 9999 also supplies is asked again, as the
// last request of the third statement under its number as text: for partner 9999 it fails the
// whole call; for the same partner one statement would find its line once, and so do the batches.
TEST_P(ManyRequests, AnswersEveryRequestInStatementsOfAtMostTheBatchSize) {
  std::vector<std::pair<Variant, Variant>> asked;  // every line's product, in the order of order_
  std::map<std::int32_t, std::vector<Variant>> expected;
  for (int i : order_) {
    asked.emplace_back(Variant(5000 + i), Ask(i % 13 == 0 ? 1 : Partner(i), 1));
    if (i % 13 != 0) {
      expected[5000 + i] = Vs(1 + i, 1, 10.0 + i % 17, 0.0, 0.0, "EUR", 0.0, 0.0, true, true);
    }
  }
  SqlTrace trace;
  DictionaryPtr result = Contract().GetActiveContractLinesProc(Request(asked));
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(ByProduct(*result), expected);

  // Consecutive statements of kBatch groups in the request's order, one connection for all.
  std::vector<std::string> statements;
  for (const std::string& sql : trace.Queries()) {
    if (IsLineStatement(sql)) statements.push_back(sql);
  }
  ASSERT_EQ(statements.size(), (asked.size() + kBatch - 1) / kBatch);
  for (std::size_t s = 0; s < statements.size(); ++s) {
    std::string condition;
    for (std::size_t i = s * kBatch; i < std::min(asked.size(), (s + 1) * kBatch); ++i) {
      condition += std::string(i == s * kBatch ? "" : " OR") +
                   " (CONTRACTHEADER.BUSINESSPARTNERID = " +
                   std::to_string(asked[i].second.GetArray().At(0).ToLong()) +
                   " AND CONTRACTLINE.PRODUCTID = " + std::to_string(asked[i].first.ToLong()) + ")";
    }
    EXPECT_EQ(statements[s],
              " SELECT CONTRACTHEADER.CONTRACTHEADERID, CONTRACTLINE.CONTRACTLINEID,"
              "CONTRACTLINE.PRICE, CONTRACTLINE.DISCOUNTAMOUNT,CONTRACTLINE.DISCOUNTPERCENTAGE, "
              "CONTRACTLINE.TAXPERCENTAGE,CONTRACTLINE.FREIGHTCHARGE, CONTRACTLINE.CURRENCYCODE,"
              "CONTRACTLINE.INCLUDEPRICEBREAKUP, CONTRACTLINE.INCLUDEDISCOUNTBREAKUP,"
              "CONTRACTLINE.PRODUCTID, CONTRACTLINE.MINQTYBREAKUP FROM CONTRACTHEADER, "
              "CONTRACTLINE WHERE (" +
                  condition +
                  ") AND CONTRACTLINE.CONTRACTHEADERID = CONTRACTHEADER.CONTRACTHEADERID AND "
                  "CONTRACTLINE.CONTRACTSTATUS = 6")
        << "statement " << s;
  }
  int opens = 0;
  for (const auto& event : trace.Events()) opens += event["event"] == "open" ? 1 : 0;
  EXPECT_EQ(opens, 1);
  // The answers of one statement come before those of the next.
  std::size_t batch_of_previous = 0;
  std::map<std::int32_t, std::size_t> batch_of;
  for (std::size_t i = 0; i < asked.size(); ++i) batch_of[asked[i].first.ToLong()] = i / kBatch;
  for (const auto& [key, item] : result->Entries()) {
    EXPECT_GE(batch_of[key.ToLong()], batch_of_previous);
    batch_of_previous = batch_of[key.ToLong()];
  }

  auto first = std::find_if(order_.begin(), order_.begin() + kBatch,
                            [](int i) { return i % 10 == 0 && i % 13 != 0; });
  ASSERT_NE(first, order_.begin() + kBatch);
  const Variant product(5000 + *first);
  const Variant same_partner = Ask(Partner(*first), 1);
  asked.back() = {Variant(std::to_string(5000 + *first)), Ask(kOtherPartner, 1)};
  SqlTrace again;
  ErrorInfo e = ReportedOnce([&] { Contract().GetActiveContractLinesProc(Request(asked)); });
  EXPECT_EQ(e.Description, Reported(457, kBulk, kDuplicate));
  const auto queries = again.Queries();
  EXPECT_EQ(std::count_if(queries.begin(), queries.end(), IsLineStatement), 3);
  asked.back().second = same_partner;
  const auto once = Contract().GetActiveContractLinesProc(Request(asked));
  EXPECT_EQ(once->Count(), result->Count() - (result->Exists(asked.back().first) ? 0 : 1));
  EXPECT_TRUE(once->Exists(product));
}

CARVALEN_ON_PROVIDERS(Price);
CARVALEN_ON_PROVIDERS(EffectivePrice);
CARVALEN_ON_PROVIDERS(BulkPricing);
CARVALEN_ON_PROVIDERS(ManyRequests);

}  // namespace
}  // namespace carvalen::test
