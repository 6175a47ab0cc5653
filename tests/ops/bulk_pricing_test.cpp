// Bulk pricing of many partner/product requests: each line priced and discounted at its own
// request's quantity, requests split over several exact line statements, and the failures, all
// reported under the operation's name with nothing left open. The break look-ups are built by the
// code that price_test and discount_test check word for word.
#include <algorithm>
#include <map>
#include <optional>

#include "api/call.hpp"
#include "carvalen/component.hpp"
#include "carvalen/contract.hpp"
#include "contract/bulk_pricing.hpp"
#include "support/operation_test.hpp"

namespace carvalen::test {
namespace {

constexpr const char* kName = "Carvalen.Contract.GetActiveContractLinesProc";
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

// The line statement for `groups` ("(partner, product)" pairs in order), as it must be sent.
std::string LineStatement(const std::vector<std::pair<std::int32_t, std::int32_t>>& groups) {
  std::string condition;
  for (std::size_t i = 0; i < groups.size(); ++i) {
    condition += " (CONTRACTHEADER.BUSINESSPARTNERID = " + std::to_string(groups[i].first) +
                 " AND CONTRACTLINE.PRODUCTID = " + std::to_string(groups[i].second) + ")";
    if (i + 1 < groups.size()) condition += " OR";
  }
  return " SELECT CONTRACTHEADER.CONTRACTHEADERID, CONTRACTLINE.CONTRACTLINEID,"
         "CONTRACTLINE.PRICE, CONTRACTLINE.DISCOUNTAMOUNT,CONTRACTLINE.DISCOUNTPERCENTAGE, "
         "CONTRACTLINE.TAXPERCENTAGE,CONTRACTLINE.FREIGHTCHARGE, CONTRACTLINE.CURRENCYCODE,"
         "CONTRACTLINE.INCLUDEPRICEBREAKUP, CONTRACTLINE.INCLUDEDISCOUNTBREAKUP,"
         "CONTRACTLINE.PRODUCTID, CONTRACTLINE.MINQTYBREAKUP FROM CONTRACTHEADER, CONTRACTLINE "
         "WHERE (" +
         condition +
         ") AND CONTRACTLINE.CONTRACTHEADERID = CONTRACTHEADER.CONTRACTHEADERID AND "
         "CONTRACTLINE.CONTRACTSTATUS = 6";
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
        "(1, 4, 13, 7, 'EUR', 1, 0, 0, 0, 0, 0, 0, 0), "
        "(2, 1, 10, 6, 'USD', 3, 0, 0, 0, 0, 0, 0, 1), "
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
  // Created through the registry the operation would fail; it keeps a utilities instance of
  // its own.
  ComponentOverride no_utilities(kUtilitiesName, []() -> ObjectPtr { return nullptr; });
  const Variant null = Variant::Null(), h1(1), l3(3);
  struct Case {
    const char* name;
    std::vector<std::pair<Variant, Variant>> request;
    std::map<std::int32_t, std::vector<Variant>> expected;
  } const cases[] = {
      {"breaks between two quantities, own price, both discount figures",
       {{Variant(10), Ask(501, 49.5)}, {Variant(11), Ask(501, 10.5)}, {Variant(12), Ask(501, 5)}},
       {{10, Vs(1, 1, 9.0, 5.0, 20.0, "EUR", 8.0, 5.0, true, true)},
        {11, Vs(1, 2, 8.0, 0.0, 50.0, "EUR", 0.0, 0.0, true, true)},
        {12,
         {h1, l3, Variant(4.5), Variant(0.0), Variant(0.0), null, Variant(19.0), null,
          Variant(true), Variant(true)}}}},
      {"no break applies: nothing found, never the line's own figures",
       {{Variant(10), Ask(501, 5)}, {Variant(11), Ask(501, 101)}},
       {{10, Vs(1, 1, 0.0, 5.0, 20.0, "EUR", 8.0, 5.0, false, true)},
        {11, Vs(1, 2, 0.0, 0.0, 0.0, "EUR", 0.0, 0.0, false, false)}}},
      {"each partner finds only its own active lines",
       {{Variant(10), Ask(502, 1)}, {Variant(12), Ask(502, 1)}, {Variant(13), Ask(501, 1)}},
       {{10, Vs(2, 1, 3.0, 0.0, 0.0, "USD", 0.0, 0.0, true, true)}}},
      {"text keys and values convert; further item elements are ignored",
       {{Variant("10"), Variant(Array::Of(Vs("501", "60", "ignored")))}},
       {{10, Vs(1, 1, 8.0, 5.0, 20.0, "EUR", 8.0, 5.0, true, true)}}},
      {"nothing qualifies", {{Variant(10), Ask(999, 1)}}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DictionaryPtr result = Contract().GetActiveContractLinesProc(Request(c.request));
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(ByProduct(*result), c.expected);
  }
  EXPECT_TRUE(db.Log().empty());
}

TEST_P(BulkPricing, ReportsFailuresUnderItsName) {
  const std::string duplicate = "This key is already associated with an element of this collection";
  struct Case {
    const char* name;
    std::optional<std::vector<std::pair<Variant, Variant>>> request;  // none: Nothing
    std::int32_t number;
    std::string description;  // empty: the database's own text
  } const cases[] = {
      {"empty request: nothing between the parentheses", std::vector<std::pair<Variant, Variant>>{},
       0, ""},
      {"item that is no array", {{{Variant(10), Variant(501)}}}, 13, "Type mismatch"},
      {"item without a quantity, needed by a break",
       {{{Variant(10), Variant(Array::Of(Vs(501)))}}},
       9,
       "Subscript out of range"},
      {"NULL MINQTYBREAKUP, breaks unused",
       {{{Variant(20), Ask(501, 1)}}},
       94,
       "Invalid use of Null"},
      {"NULL break price", {{{Variant(22), Ask(501, 10)}}}, 94, "Invalid use of Null"},
      {"two active lines of one partner", {{{Variant(14), Ask(501, 1)}}}, 457, duplicate},
      {"two keys naming one product",
       {{{Variant(12), Ask(501, 1)}, {Variant("10"), Ask(501, 1)}, {Variant(10), Ask(502, 1)}}},
       457,
       duplicate},
      {"no request dictionary", std::nullopt, 91, "Object variable or With block variable not set"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DictionaryPtr request = c.request ? Request(*c.request) : nullptr;
    ErrorInfo e = ReportedOnce([&] { Contract().GetActiveContractLinesProc(request); });
    if (c.description.empty()) {
      EXPECT_NE(e.Number, 0);
      EXPECT_TRUE(e.Description.starts_with("\r\nERROR 0x")) << e.Description;
      EXPECT_NE(e.Description.find("\r\n METHOD: " + std::string(kName) + "\r\n"),
                std::string::npos);
    } else {
      EXPECT_EQ(e.Number, c.number);
      EXPECT_EQ(e.Description, Reported(c.number, kName, c.description));
    }
  }
}

// Through the faces a plain request is read compactly and the answer written as it is priced,
// any other through the dictionary: either way the same text as the operation's result, or the
// same error, as the C++ call gives.
TEST_P(BulkPricing, TheFacesAnswerAsTheOperation) {
  for (const char* request : {
           R"({"$dict": [[10, {"$array": [501, 49.5]}], [11, {"$array": [501, 10]}],
                         [12, {"$array": [501, 5]}], [13, {"$array": [501, 1]}]]})",
           R"({"$dict": [[10.0, {"$array": [501, 60]}], [12, {"$array": ["501", 1]}]]})",
           R"({"$dict": [[14, {"$array": [501, 1]}]]})",
           R"({"$dict": [[12, {"$array": [501, 1]}], ["10", {"$array": [501, 1]}],
                         [10, {"$array": [502, 1]}]]})",
           R"({"$dict": [[10, 501]]})", R"({"$dict": []})", R"({"$nothing": true})"}) {
    SCOPED_TRACE(request);
    std::string expected;
    try {
      const Variant value = api::ParseValue(request);
      const DictionaryPtr result = Contract().GetActiveContractLinesProc(
          value.IsNothing() ? nullptr : value.As<Dictionary>());
      expected = "{\"result\": ";
      api::AppendJson(Variant(ObjectPtr(result)), expected);
      expected += ", \"byref\": {}}";
    } catch (...) {
      expected = api::Dump(api::ErrorJson(CurrentError().Info()));
    }
    EXPECT_EQ(api::CallWithJson("Contract.GetActiveContractLinesProc",
                                std::string(R"({"i_oDicBPProductQuan": )") + request + "}")
                  .text,
              expected);
  }
}

// Two and a half batches of lines at their own price (the break rule is the table above's
// business). Every tenth product also has an active line of partner 9999; every thirteenth
// request names a partner without lines. Requests are asked in an order that is not the order of
// insertion.
class ManyRequests : public LineReadTest {
 protected:
  static constexpr int kCount = static_cast<int>(2 * kBatch + kBatch / 2);
  static constexpr std::int32_t kOtherPartner = 9999;

  ManyRequests() {
    std::string headers, lines;
    auto add = [](std::string& list, const std::string& row) {
      list += (list.empty() ? "" : ", ") + row;
    };
    for (int i = 0; i < kCount; ++i) {
      const std::string h = std::to_string(1 + i), p = std::to_string(Partner(i)),
                        product = std::to_string(5000 + i), price = std::to_string(10 + i % 17);
      add(headers, "(" + h + ", " + p + ")");
      add(lines, "(" + h + ", 1, " + product + ", 6, 'EUR', " + price + ", 0, 0, 0, 0, 0, 0, 1)");
      if (i % 10 == 0) {
        add(headers, "(" + std::to_string(100000 + i) + ", " + std::to_string(kOtherPartner) + ")");
        add(lines, "(" + std::to_string(100000 + i) + ", 1, " + product +
                       ", 6, 'USD', 1, 0, 0, 0, 0, 0, 0, 1)");
      }
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

  // The request: every line's product, in the order of order_.
  std::vector<std::pair<Variant, Variant>> Asked() const {
    std::vector<std::pair<Variant, Variant>> request;
    for (int i : order_) {
      request.emplace_back(Variant(5000 + i), Ask(i % 13 == 0 ? 1 : Partner(i), 1));
    }
    return request;
  }

  std::vector<int> order_;
};

TEST_P(ManyRequests, AnswersEveryRequestInStatementsOfAtMostTheBatchSize) {
  const std::vector<std::pair<Variant, Variant>> asked = Asked();
  SqlTrace trace;
  DictionaryPtr result = Contract().GetActiveContractLinesProc(Request(asked));
  ASSERT_NE(result, nullptr);

  std::map<std::int32_t, std::vector<Variant>> expected;
  for (int i : order_) {
    if (i % 13 != 0) {
      expected[5000 + i] = Vs(1 + i, 1, 10.0 + i % 17, 0.0, 0.0, "EUR", 0.0, 0.0, true, true);
    }
  }
  EXPECT_EQ(ByProduct(*result), expected);

  // Consecutive statements of kBatch groups in the request's order, one connection for all.
  std::vector<std::string> statements;
  for (const std::string& sql : trace.Queries()) {
    if (IsLineStatement(sql)) statements.push_back(sql);
  }
  ASSERT_EQ(statements.size(), (asked.size() + kBatch - 1) / kBatch);
  for (std::size_t s = 0; s < statements.size(); ++s) {
    std::vector<std::pair<std::int32_t, std::int32_t>> groups;
    for (std::size_t i = s * kBatch; i < std::min(asked.size(), (s + 1) * kBatch); ++i) {
      groups.emplace_back(asked[i].second.GetArray().At(0).ToLong(), asked[i].first.ToLong());
    }
    EXPECT_EQ(statements[s], LineStatement(groups)) << "statement " << s;
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
}

TEST_P(ManyRequests, AProductMetInTwoStatementsFailsTheWholeCall) {
  // A product of the first statement that partner 9999 also supplies, asked again as the last
  // request of the third statement under its number as text for partner 9999.
  std::vector<std::pair<Variant, Variant>> asked = Asked();
  auto first = std::find_if(order_.begin(), order_.begin() + kBatch,
                            [](int i) { return i % 10 == 0 && i % 13 != 0; });
  ASSERT_NE(first, order_.begin() + kBatch);
  asked.back() = {Variant(std::to_string(5000 + *first)), Ask(kOtherPartner, 1)};
  SqlTrace trace;
  ErrorInfo e = RaisedBy([&] { Contract().GetActiveContractLinesProc(Request(asked)); });
  EXPECT_EQ(e.Number, 457);
  EXPECT_EQ(
      e.Description,
      Reported(457, kName, "This key is already associated with an element of this collection"));
  const auto queries = trace.Queries();
  EXPECT_EQ(std::count_if(queries.begin(), queries.end(), IsLineStatement), 3);
  EXPECT_EQ(db.Log().size(), 1u);
}

// The same product under a second key of the same partner, in a later statement: one statement
// would find its line once, and so do the batches.
TEST_P(ManyRequests, ALineMetAgainInALaterStatementIsDeliveredOnce) {
  std::vector<std::pair<Variant, Variant>> asked = Asked();
  auto first = std::find_if(order_.begin(), order_.begin() + kBatch,
                            [](int i) { return i % 10 == 0 && i % 13 != 0; });
  ASSERT_NE(first, order_.begin() + kBatch);
  const Variant product(5000 + *first);
  auto earlier = std::find_if(asked.begin(), asked.end(),
                              [&](const auto& a) { return a.first.ToLong() == product.ToLong(); });
  ASSERT_NE(earlier, asked.end());
  const auto whole = Contract().GetActiveContractLinesProc(Request(asked));
  asked.back() = {Variant(std::to_string(5000 + *first)), earlier->second};
  const auto again = Contract().GetActiveContractLinesProc(Request(asked));
  EXPECT_EQ(again->Count(), whole->Count() - (whole->Exists(asked.back().first) ? 0 : 1));
  EXPECT_TRUE(again->Exists(product));
}

CARVALEN_ON_PROVIDERS(BulkPricing);
CARVALEN_ON_PROVIDERS(ManyRequests);

}  // namespace
}  // namespace carvalen::test
