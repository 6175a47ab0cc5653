// Lines due for automatic RFQ generation: the category settings asked once per run of a category,
// the expiry compared with today plus the interval, and the columns the caller names.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "carvalen/component.hpp"
#include "carvalen/contract_line.hpp"
#include "carvalen/interfaces.hpp"
#include "ops/line_reads.hpp"
#include "support/contract_db.hpp"

namespace carvalen {
namespace {

using test::Reported;
using test::Show;

constexpr const char* kOperation = "Carvalen.ContractLine.GetEligibleContractsForRFQCreation";
constexpr const char* kStatement =
    "SELECT * FROM CONTRACTHEADER,CONTRACTLINE WHERE CONTRACTLINE.CONTRACTHEADERID = "
    "CONTRACTHEADER.CONTRACTHEADERID AND CONTRACTSTATUS = 6 AND EXPIRYDATETIME IS NOT NULL AND "
    "RFQGENERATED = 0 AND CATEGORYID IS NOT NULL ORDER BY CATEGORYID";

// A host's category component: answers from a map by category id and records what it was asked.
struct CategoryState {
  std::map<std::int32_t, Variant> answers;  // no entry: an empty dictionary
  std::vector<std::int32_t> asked;
  std::vector<std::string> bad_calls;  // calls whose arguments were not as agreed
};

class FakeCategory final : public Object {
 public:
  explicit FakeCategory(std::shared_ptr<CategoryState> state) : state_(std::move(state)) {}
  std::string ClassName() const override { return kCategoryName; }
  Variant Invoke(std::string_view name, std::span<Variant> args) override {
    if (name != "GetCategoryFields") return Object::Invoke(name, args);
    if (args.size() != 2 || args[0].Type() != VarType::Long || !args[1].IsArray() ||
        test::ElementsOf(args[1]) != std::vector<Variant>{Variant("AUTOMATICRFQGENERATION"),
                                                          Variant("GENERATIONINTERVAL")} ||
        args[1].GetArray().LBound() != 0) {
      state_->bad_calls.push_back(std::string(name));
    }
    const std::int32_t id = args[0].ToLong();
    state_->asked.push_back(id);
    const auto found = state_->answers.find(id);
    return found == state_->answers.end() ? Variant(ObjectPtr(Dictionary::Create()))
                                          : found->second;
  }

 private:
  std::shared_ptr<CategoryState> state_;
};

// The component's answer; a Missing value leaves the field out.
Variant Settings(Variant automatic, Variant interval) {
  auto answer = Dictionary::Create();
  if (!automatic.IsMissing()) answer->Add(Variant("AUTOMATICRFQGENERATION"), std::move(automatic));
  if (!interval.IsMissing()) answer->Add(Variant("GENERATIONINTERVAL"), std::move(interval));
  return Variant(ObjectPtr(answer));
}

// A date literal relative to today at 00:00:00.
std::string Day(int days, int hour = 0, int minute = 0, int second = 0) {
  const Date at(Date::Today().AddDays(days).Micros() +
                ((hour * 60LL + minute) * 60 + second) * 1'000'000LL);
  return "'" + at.ToText() + "'";
}

void Header(test::ContractDb& db, int header, const std::string& category) {
  db.Exec("INSERT INTO CONTRACTHEADER (CONTRACTHEADERID, BUSINESSPARTNERID, CATEGORYID) VALUES (" +
          std::to_string(header) + ", " + std::to_string(header * 100) + ", " + category + ")");
}

void Line(test::ContractDb& db, int header, int line, const std::string& expiry, int status = 6,
          const std::string& rfq_generated = "0") {
  db.Exec(
      "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, CONTRACTSTATUS, EXPIRYDATETIME, "
      "RFQGENERATED, PRICE, REMARK) VALUES (" +
      std::to_string(header) + ", " + std::to_string(line) + ", " + std::to_string(status) + ", " +
      expiry + ", " + rfq_generated + ", " + std::to_string(line) + ".5, NULL)");
}

Variant Fields(std::vector<Variant> names, std::int32_t lower = 0) {
  return Variant(Array::Of(std::move(names), lower));
}

// Element `index` of every item, in key order.
std::vector<Variant> Column(const Dictionary& result, std::int32_t index) {
  std::vector<Variant> values;
  for (const auto& [key, item] : result.Entries()) values.push_back(item.GetArray().At(index));
  return values;
}

std::vector<std::int32_t> SortedLongs(const std::vector<Variant>& values) {
  std::vector<std::int32_t> longs;
  for (const Variant& v : values) longs.push_back(v.ToLong());
  std::sort(longs.begin(), longs.end());
  return longs;
}

class RfqEligibility : public ::testing::TestWithParam<test::Provider> {
 protected:
  std::shared_ptr<CategoryState> state_ = std::make_shared<CategoryState>();
  ComponentOverride category_{kCategoryName,
                              [state = state_] { return std::make_shared<FakeCategory>(state); }};
};

TEST_P(RfqEligibility, ExpiryIsComparedWithTodayPlusTheIntervalInclusively) {
  test::ContractDb db(GetParam());
  Header(db, 1, "4");
  const struct {
    int line, days, hour, minute, second;
    bool due;
  } cases[] = {
      {1, 30, 0, 0, 0, true},    {2, 30, 8, 0, 0, false},   {3, -1, 0, 0, 0, true},
      {4, 29, 23, 59, 59, true}, {5, 30, 0, 0, 1, false},   {6, 31, 0, 0, 0, false},
      {7, 0, 0, 0, 0, true},     {8, -400, 12, 0, 0, true},
  };
  std::vector<std::int32_t> due;
  for (const auto& c : cases) {
    Line(db, 1, c.line, Day(c.days, c.hour, c.minute, c.second));
    if (c.due) due.push_back(c.line);
  }
  state_->answers[4] = Settings(Variant(true), Variant(30));

  test::SqlTrace trace;
  test::NoConnectionLeft check;
  const DictionaryPtr result =
      ContractLine().GetEligibleContractsForRFQCreation(Fields({Variant("CONTRACTLINEID")}));
  ASSERT_NE(result, nullptr);
  std::vector<Variant> keys;
  for (std::int32_t key = 1; key <= static_cast<std::int32_t>(due.size()); ++key) {
    keys.push_back(Variant(key));
  }
  EXPECT_EQ(test::KeysOf(*result), keys);
  EXPECT_FALSE(result->Exists(Variant("1")));  // integer keys, not text
  EXPECT_EQ(SortedLongs(Column(*result, 0)), due);
  EXPECT_EQ(state_->asked, std::vector<std::int32_t>{4});
  EXPECT_TRUE(state_->bad_calls.empty());
  EXPECT_EQ(trace.Queries(), std::vector<std::string>{kStatement});
  EXPECT_TRUE(db.Log().empty());
}

TEST_P(RfqEligibility, ReadsTheCategorySettingsByTheClassicConversions) {
  test::ContractDb db(GetParam());
  Header(db, 1, "4");
  // Lines 1..7 expire on today - 1 .. today + 5: `interval` days admit interval + 2 of them.
  for (int days = -1; days <= 5; ++days) Line(db, 1, days + 2, Day(days));
  const Variant absent = Variant::Missing();
  const struct {
    const char* label;
    Variant automatic, interval;
    int due;             // lines due when the call succeeds
    std::int32_t error;  // or the error it fails with
  } cases[] = {
      {"interval absent", Variant(true), absent, 2, 0},
      {"interval Null", Variant(true), Variant::Null(), 2, 0},
      {"interval Empty", Variant(true), Variant(), 2, 0},
      {"interval empty text", Variant(true), Variant(""), 2, 0},
      {"interval blanks", Variant(true), Variant("   "), 2, 0},
      {"interval text", Variant(true), Variant("3"), 5, 0},
      {"interval padded text", Variant(true), Variant(" 3 "), 5, 0},
      {"interval Long", Variant(true), Variant(3), 5, 0},
      {"interval 2.5 rounds to even", Variant(true), Variant("2.5"), 4, 0},
      {"interval 3.5 rounds to even", Variant(true), Variant("3.5"), 6, 0},
      {"interval Double", Variant(true), Variant(2.5), 4, 0},
      {"negative interval", Variant(true), Variant("-1"), 1, 0},
      {"huge interval", Variant(true), Variant(2147483647), 7, 0},
      {"flag text True", Variant("True"), Variant(1), 3, 0},
      {"flag text 1", Variant("1"), Variant(1), 3, 0},
      {"flag Long -1", Variant(-1), Variant(1), 3, 0},
      {"flag False", Variant(false), Variant(5), 0, 0},
      {"flag text 0", Variant("0"), Variant(5), 0, 0},
      {"flag absent", absent, Variant(5), 0, 0},
      {"flag off, interval huge", Variant(false), Variant(-2147483647 - 1), 0, 0},
      {"interval not a number", Variant(true), Variant("abc"), 0, 13},
      {"interval overflows", Variant(true), Variant("1e10"), 0, 6},
      {"flag Null", Variant::Null(), Variant(1), 0, 94},
      {"flag not a Boolean", Variant("yes"), Variant(1), 0, 13},
      // The interval is converted before the flag.
      {"both bad", Variant::Null(), Variant("abc"), 0, 13},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    db.ClearLog();
    state_->answers[4] = Settings(c.automatic, c.interval);
    test::NoConnectionLeft check;
    ContractLine line;
    const Variant fields = Fields({Variant("CONTRACTLINEID")});
    if (c.error != 0) {
      const ErrorInfo error =
          test::RaisedBy([&] { line.GetEligibleContractsForRFQCreation(fields); });
      EXPECT_EQ(error.Number, c.error);
      EXPECT_EQ(error.Description.rfind(test::ReportHeader(c.error, kOperation), 0), 0u)
          << error.Description;
      EXPECT_EQ(db.Log().size(), 1u);
    } else {
      EXPECT_EQ(line.GetEligibleContractsForRFQCreation(fields)->Count(), c.due);
      EXPECT_TRUE(db.Log().empty());
    }
  }
}

TEST_P(RfqEligibility, AsksOncePerRunOfACategoryAndNumbersEntriesWithoutGaps) {
  test::ContractDb db(GetParam());
  Header(db, 1, "4");
  Header(db, 2, "9");
  Header(db, 3, "NULL");  // no category: never considered
  Header(db, 5, "7");     // automatic generation off
  Header(db, 6, "11");    // only lines that never qualify: never asked about
  Line(db, 1, 1, Day(-2));
  Line(db, 1, 2, Day(3));
  Line(db, 2, 1, Day(0));
  Line(db, 3, 1, Day(-5));
  Line(db, 5, 1, Day(-5));
  // Lines of category 4 that the statement leaves out.
  Line(db, 1, 3, Day(-2), 5);
  Line(db, 1, 4, Day(-2), 7);
  Line(db, 1, 5, Day(-2), 6, "1");
  Line(db, 1, 6, Day(-2), 6, "NULL");
  Line(db, 1, 7, "NULL");
  Line(db, 6, 1, Day(-2), 6, "1");
  Line(db, 6, 2, "NULL");
  state_->answers[4] = Settings(Variant(true), Variant("5"));
  state_->answers[7] = Settings(Variant(false), Variant("5"));
  state_->answers[9] = Settings(Variant(true), Variant());

  test::NoConnectionLeft check;
  const DictionaryPtr result = ContractLine().GetEligibleContractsForRFQCreation(
      Fields({Variant("CATEGORYID"), Variant("CONTRACTLINEID"), Variant("BUSINESSPARTNERID")}));
  EXPECT_EQ(state_->asked, (std::vector<std::int32_t>{4, 7, 9}));
  EXPECT_TRUE(state_->bad_calls.empty());
  ASSERT_EQ(test::KeysOf(*result), (std::vector<Variant>{Variant(1), Variant(2), Variant(3)}));
  EXPECT_EQ(Column(*result, 0), (std::vector<Variant>{Variant(4), Variant(4), Variant(9)}));
  EXPECT_EQ(Column(*result, 2), (std::vector<Variant>{Variant(100), Variant(100), Variant(200)}));
  const auto lines = Column(*result, 1);
  EXPECT_EQ(SortedLongs({lines[0], lines[1]}), (std::vector<std::int32_t>{1, 2}));
  EXPECT_EQ(lines[2], Variant(1));
}

TEST_P(RfqEligibility, ItemsFollowTheFieldListAndItsBounds) {
  test::ContractDb db(GetParam());
  Header(db, 1, "4");
  Line(db, 1, 1, Day(-1));
  state_->answers[4] = Settings(Variant(true), Variant(0));
  const struct {
    const char* label;
    Variant fields;
    std::vector<Variant> item;
  } cases[] = {
      {"values as read, NULL as empty text",
       Fields({Variant("CONTRACTLINEID"), Variant("REMARK"), Variant("PRICE"),
               Variant("BUSINESSPARTNERID"), Variant("contractstatus")}),
       {Variant(1), Variant(""), Variant(1.5), Variant(100), Variant(6)}},
      {"lower bound 1 leaves element 0 Empty",
       Fields({Variant("CONTRACTLINEID"), Variant("REMARK")}, 1),
       {Variant(), Variant(1), Variant("")}},
      {"lower bound above the upper bound",
       Variant(Array(3, 2)),
       {Variant(), Variant(), Variant()}},
      {"no fields", Variant(Array(0, -1)), {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    test::NoConnectionLeft check;
    const DictionaryPtr result = ContractLine().GetEligibleContractsForRFQCreation(c.fields);
    ASSERT_EQ(result->Count(), 1);
    const Variant& item = result->Item(Variant(1));
    EXPECT_EQ(item.GetArray().LBound(), 0);
    EXPECT_EQ(test::ElementsOf(item), c.item);
  }
  EXPECT_TRUE(db.Log().empty());
}

TEST_P(RfqEligibility, NoDueLineGivesAnEmptyDictionaryEvenForABadLowerBound) {
  test::ContractDb db(GetParam());
  Header(db, 1, "4");
  Line(db, 1, 1, Day(10));
  state_->answers[4] = Settings(Variant(true), Variant(1));
  test::NoConnectionLeft check;
  const DictionaryPtr result =
      ContractLine().GetEligibleContractsForRFQCreation(Fields({Variant("CONTRACTLINEID")}, -1));
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->Count(), 0);
  EXPECT_TRUE(db.Log().empty());
}

TEST_P(RfqEligibility, FailuresReachTheCallerReportedOnce) {
  test::ContractDb db(GetParam());
  Header(db, 1, "4");
  Line(db, 1, 1, Day(-1));
  const Variant good_answer = Settings(Variant(true), Variant(0));
  const Variant good_fields = Fields({Variant("CONTRACTLINEID")});
  const struct {
    const char* label;
    Variant fields;
    Variant answer;
    std::int32_t number;
    const char* description;
    bool queried;  // whether the statement was sent before the failure
  } cases[] = {
      {"field list not an array", Variant("CONTRACTLINEID"), good_answer, 13, "Type mismatch",
       false},
      {"field list never allocated", Variant::UnallocatedArray(), good_answer, 9,
       "Subscript out of range", false},
      {"negative lower bound", Fields({Variant("CONTRACTLINEID")}, -1), good_answer, 9,
       "Subscript out of range", true},
      {"field name Null", Fields({Variant::Null()}), good_answer, 94, "Invalid use of Null", true},
      {"answer is text", good_fields, Variant("settings"), 13, "Type mismatch", true},
      {"answer is Nothing", good_fields, Variant::Nothing(), 91,
       "Object variable or With block variable not set", true},
      {"answer is another object", good_fields,
       Variant(ObjectPtr(std::make_shared<FakeCategory>(std::make_shared<CategoryState>()))), 13,
       "Type mismatch", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    db.ClearLog();
    state_->answers[4] = c.answer;
    test::SqlTrace trace;
    test::NoConnectionLeft check;
    const ErrorInfo error =
        test::RaisedBy([&] { ContractLine().GetEligibleContractsForRFQCreation(c.fields); });
    EXPECT_EQ(error.Number, c.number);
    EXPECT_EQ(error.Description,
              Reported(static_cast<std::uint32_t>(c.number), kOperation, c.description));
    EXPECT_EQ(db.Log().size(), 1u);
    EXPECT_EQ(trace.Queries().size(), c.queried ? 1u : 0u);
  }

  // A column the joined row does not have fails with the client's own error.
  db.ClearLog();
  state_->answers[4] = good_answer;
  test::NoConnectionLeft check;
  const ErrorInfo unknown = test::RaisedBy(
      [] { ContractLine().GetEligibleContractsForRFQCreation(Fields({Variant("NOSUCHCOLUMN")})); });
  EXPECT_EQ(unknown.Number, db::dberr::kNotFoundInCollection);
  EXPECT_EQ(db.Log().size(), 1u);
}

TEST_P(RfqEligibility, AFailingCategoryComponentKeepsItsErrorNumberAndSource) {
  test::ContractDb db(GetParam());
  Header(db, 1, "4");
  Line(db, 1, 1, Day(-1));
  constexpr std::int32_t kFailure = static_cast<std::int32_t>(0x80004005u);

  struct Throwing final : Object {
    std::string ClassName() const override { return kCategoryName; }
    Variant Invoke(std::string_view, std::span<Variant>) override {
      throw Error(kFailure, "settings store unreachable", kCategoryName);
    }
  };
  {
    ComponentOverride throwing(kCategoryName, [] { return std::make_shared<Throwing>(); });
    test::NoConnectionLeft check;
    const ErrorInfo error = test::RaisedBy(
        [] { ContractLine().GetEligibleContractsForRFQCreation(Fields({Variant("PRICE")})); });
    EXPECT_EQ(error.Number, kFailure);
    EXPECT_EQ(error.Source, kCategoryName);
    EXPECT_EQ(error.Description, Reported(0x80004005u, kOperation, "settings store unreachable"));
    EXPECT_EQ(db.Log().size(), 1u);
  }

  // A component that cannot be created is reported by the factory and again by the operation.
  db.ClearLog();
  ComponentOverride missing(kCategoryName, [] { return ObjectPtr(); });
  test::NoConnectionLeft check;
  const ErrorInfo error = test::RaisedBy(
      [] { ContractLine().GetEligibleContractsForRFQCreation(Fields({Variant("PRICE")})); });
  EXPECT_EQ(error.Number, 429);
  const std::string inner =
      Reported(429, "VendraUtilies.GetComponent", "ActiveX component can't create object") +
      " INFO: CreateObject(Morrowfen.Category) failed.\r\n";
  EXPECT_EQ(error.Description, Reported(429, kOperation, inner));
  EXPECT_EQ(db.Log().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Providers, RfqEligibility, ::testing::ValuesIn(test::AvailableProviders()),
                         [](const auto& info) { return test::ProviderName(info.param); });

// Without a host's component: the library's own reads CATEGORYSETTING in the contract database.
class RfqWithDefaultCategory : public ::testing::TestWithParam<test::Provider> {};

TEST_P(RfqWithDefaultCategory, ReadsTheSettingsStoredForEachCategory) {
  test::ContractDb db(GetParam());
  Header(db, 1, "4");
  Header(db, 2, "9");
  Line(db, 1, 1, Day(30));
  Line(db, 1, 2, Day(31));
  Line(db, 2, 1, Day(-3));
  db.Exec(
      "INSERT INTO CATEGORYSETTING (CATEGORYID, FIELDNAME, FIELDVALUE) VALUES "
      "(4, 'AUTOMATICRFQGENERATION', '1'), (4, 'GENERATIONINTERVAL', ' 30 '), "
      "(9, 'AUTOMATICRFQGENERATION', 'False'), (9, 'GENERATIONINTERVAL', NULL)");
  test::NoConnectionLeft check;
  ContractLine cl;
  std::vector<Variant> args{Fields({Variant("CONTRACTHEADERID"), Variant("CONTRACTLINEID")})};
  const DictionaryPtr result =
      cl.Invoke("GetEligibleContractsForRFQCreation", args).As<Dictionary>();
  ASSERT_EQ(result->Count(), 1);
  EXPECT_EQ(test::ElementsOf(result->Item(Variant(1))),
            (std::vector<Variant>{Variant(1), Variant(1)}));
  EXPECT_TRUE(db.Log().empty());
}

INSTANTIATE_TEST_SUITE_P(Providers, RfqWithDefaultCategory,
                         ::testing::ValuesIn(test::AvailableProviders()),
                         [](const auto& info) { return test::ProviderName(info.param); });

}  // namespace
}  // namespace carvalen
