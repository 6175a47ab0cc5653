// Lines due for automatic RFQ generation: the category settings asked once per run of a category,
// the expiry compared with today plus the interval, and the columns the caller names.
#include <gmock/gmock.h>

#include <map>
#include <span>

#include "carvalen/component.hpp"
#include "carvalen/interfaces.hpp"
#include "ops/line_reads.hpp"

namespace carvalen::test {
namespace {

constexpr const char* kOperation = "Carvalen.ContractLine.GetEligibleContractsForRFQCreation";

// A host's category component: checks the agreed arguments and answers through `answer`.
class FakeCategory final : public Object {
 public:
  explicit FakeCategory(std::function<Variant(std::int32_t)> answer) : answer_(std::move(answer)) {}
  std::string ClassName() const override { return kCategoryName; }
  Variant Invoke(std::string_view name, std::span<Variant> args) override {
    if (name != "GetCategoryFields") return Object::Invoke(name, args);
    if (args.size() != 2) throw std::logic_error("GetCategoryFields takes two arguments");
    // A Long id and the two field names in an array from 0.
    EXPECT_EQ(args[0].Type(), VarType::Long);
    EXPECT_EQ(args[1].GetArray().LBound(), 0);
    EXPECT_EQ(ElementsOf(args[1]), Vs("AUTOMATICRFQGENERATION", "GENERATIONINTERVAL"));
    return answer_(args[0].ToLong());
  }

 private:
  std::function<Variant(std::int32_t)> answer_;
};

// The component's answer; a Missing value leaves the field out.
Variant Settings(Variant automatic, Variant interval) {
  auto answer = Dictionary::Create();
  if (!automatic.IsMissing()) answer->Add(Variant("AUTOMATICRFQGENERATION"), std::move(automatic));
  if (!interval.IsMissing()) answer->Add(Variant("GENERATIONINTERVAL"), std::move(interval));
  return Variant(ObjectPtr(answer));
}

// A date literal: today at 00:00:00 plus days and seconds.
std::string Day(int days, int seconds = 0) {
  return "'" + Date(Date::Today().AddDays(days).Micros() + seconds * 1'000'000LL).ToText() + "'";
}

Variant Fields(std::vector<Variant> names, std::int32_t lower = 0) {
  return Variant(Array::Of(std::move(names), lower));
}
const Variant kLineId = Fields({Variant("CONTRACTLINEID")});

DictionaryPtr Due(const Variant& fields = kLineId) {
  return ContractLine().GetEligibleContractsForRFQCreation(fields);
}

// Element `index` of every item, in key order.
std::vector<Variant> Column(const Dictionary& result, std::int32_t index) {
  std::vector<Variant> values;
  for (const auto& [key, item] : result.Entries()) values.push_back(item.GetArray().At(index));
  return values;
}

// Contracts 1 (partner 100, category 4) and 2 (partner 200, category 9).
class RfqTest : public LineReadTest {
 protected:
  RfqTest() {
    db.Exec(
        "INSERT INTO CONTRACTHEADER (CONTRACTHEADERID, BUSINESSPARTNERID, CATEGORYID) VALUES "
        "(1, 100, 4), (2, 200, 9)");
  }
  // An active line without an RFQ, priced at line + 0.5.
  void Line(int header, int line, const std::string& expiry) {
    db.Exec(
        "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, CONTRACTSTATUS, "
        "EXPIRYDATETIME, RFQGENERATED, PRICE, REMARK) VALUES (" +
        std::to_string(header) + ", " + std::to_string(line) + ", 6, " + expiry + ", 0, " +
        std::to_string(line) + ".5, NULL)");
  }
};

// With a host's category component that answers from `answers` and records what it was asked.
class RfqEligibility : public RfqTest {
 protected:
  std::map<std::int32_t, Variant> answers;
  std::vector<std::int32_t> asked;
  ComponentOverride category_{kCategoryName, [this] {
                                return std::make_shared<FakeCategory>([this](std::int32_t id) {
                                  asked.push_back(id);
                                  return answers[id];
                                });
                              }};
};

TEST_P(RfqEligibility, ExpiryIsComparedWithTodayPlusTheIntervalInclusively) {
  Line(1, 1, Day(30));               // due: today + 30 at 00:00:00
  Line(1, 2, Day(30, 1));            // one second later: not due
  Line(1, 3, Day(29, 86'399));       // due
  Line(1, 4, Day(0));                // due
  Line(1, 5, Day(-400, 12 * 3600));  // long expired: due
  answers[4] = Settings(Variant(true), Variant(30));
  SqlTrace trace;
  const DictionaryPtr result = Due();
  // Integer keys from 1; the lines in the database's order.
  EXPECT_EQ(KeysOf(*result), Vs(1, 2, 3, 4));
  EXPECT_THAT(Column(*result, 0),
              ::testing::UnorderedElementsAre(Variant(1), Variant(3), Variant(4), Variant(5)));
  EXPECT_EQ(asked, std::vector<std::int32_t>{4});
  EXPECT_EQ(trace.Queries(),
            std::vector<std::string>{
                "SELECT * FROM CONTRACTHEADER,CONTRACTLINE WHERE CONTRACTLINE.CONTRACTHEADERID = "
                "CONTRACTHEADER.CONTRACTHEADERID AND CONTRACTSTATUS = 6 AND EXPIRYDATETIME IS NOT "
                "NULL AND RFQGENERATED = 0 AND CATEGORYID IS NOT NULL ORDER BY CATEGORYID"});
  EXPECT_TRUE(db.Log().empty());
}

TEST_P(RfqEligibility, ReadsTheCategorySettingsByTheClassicConversions) {
  // Lines 1..7 expire on today - 1 .. today + 5: `interval` days admit interval + 2 of them. The
  // conversions themselves are the value tests' business; here: what counts as no interval, the
  // clamp of a huge one, and which setting is converted first.
  for (int days = -1; days <= 5; ++days) Line(1, days + 2, Day(days));
  const Variant absent = Variant::Missing(), yes(true);
  const struct {
    const char* label;
    Variant automatic, interval;
    int due;             // lines due when the call succeeds
    std::int32_t error;  // or the error it fails with
  } cases[] = {
      {"interval absent", yes, absent, 2, 0},
      {"interval Null", yes, Variant::Null(), 2, 0},
      {"interval blanks", yes, Variant("   "), 2, 0},
      {"interval 3.5 rounds to even", yes, Variant("3.5"), 6, 0},
      {"huge interval", yes, Variant(2147483647), 7, 0},
      {"flag text True", Variant("True"), Variant(1), 3, 0},
      {"flag absent", absent, Variant(5), 0, 0},
      {"interval not a number", yes, Variant("abc"), 0, 13},
      {"flag Null", Variant::Null(), Variant(1), 0, 94},
      {"both bad: the interval is converted first", Variant::Null(), Variant("abc"), 0, 13},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    db.ClearLog();
    answers[4] = Settings(c.automatic, c.interval);
    if (c.error != 0) {
      const ErrorInfo error = RaisedBy([] { Due(); });
      EXPECT_EQ(error.Number, c.error);
      EXPECT_EQ(error.Description.rfind(ReportHeader(c.error, kOperation), 0), 0u);
    } else {
      EXPECT_EQ(Due()->Count(), c.due);
    }
    EXPECT_EQ(db.Log().size(), c.error != 0 ? 1u : 0u);
  }
}

TEST_P(RfqEligibility, AsksOncePerRunOfACategoryAndNumbersEntriesWithoutGaps) {
  Line(1, 1, Day(-2));
  Line(1, 2, Day(3));
  Line(1, 3, Day(10));  // not due
  Line(2, 1, Day(0));
  answers[4] = Settings(Variant(true), Variant("5"));
  answers[9] = Settings(Variant(true), Variant());
  const DictionaryPtr result = Due(Fields({Variant("CATEGORYID"), Variant("BUSINESSPARTNERID")}));
  EXPECT_EQ(asked, (std::vector<std::int32_t>{4, 9}));
  EXPECT_EQ(KeysOf(*result), Vs(1, 2, 3));
  EXPECT_EQ(Column(*result, 0), Vs(4, 4, 9));
  EXPECT_EQ(Column(*result, 1), Vs(100, 100, 200));
}

TEST_P(RfqEligibility, ItemsFollowTheFieldListAndItsBounds) {
  Line(1, 1, Day(-1));
  answers[4] = Settings(Variant(true), Variant(0));
  // Values as read, but NULL as empty text.
  const Variant fields = Fields({Variant("REMARK"), Variant("PRICE"), Variant("contractstatus")});
  EXPECT_EQ(ElementsOf(Due(fields)->Item(Variant(1))), Vs("", 1.5, 6));
  // An item is sized by the upper bound alone and starts at 0: below the lower bound, Empty.
  const Variant item = Due(Fields({Variant("CONTRACTLINEID")}, 1))->Item(Variant(1));
  EXPECT_EQ(item.GetArray().LBound(), 0);
  EXPECT_EQ(ElementsOf(item), Vs(Variant(), 1));
  // No line due: an empty dictionary, even for a lower bound that would fail.
  answers[4] = Settings(Variant(false), Variant(0));
  EXPECT_EQ(Due(Fields({Variant("PRICE")}, -1))->Count(), 0);
  EXPECT_TRUE(db.Log().empty());
}

TEST_P(RfqEligibility, FailuresReachTheCallerReportedOnce) {
  Line(1, 1, Day(-1));
  const Variant good = Settings(Variant(true), Variant(0));
  const struct {
    Variant fields, answer;
    std::int32_t number;
    const char* description;
    bool queried;  // whether the statement was sent before the failure
  } cases[] = {
      {Variant("PRICE"), good, 13, "Type mismatch", false},
      {Fields({Variant("PRICE")}, -1), good, 9, "Subscript out of range", true},
      {kLineId, Variant::Nothing(), 91, "Object variable or With block variable not set", true},
      {kLineId, Variant(ObjectPtr(std::make_shared<FakeCategory>(nullptr))), 13, "Type mismatch",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.description);
    db.ClearLog();
    answers[4] = c.answer;
    SqlTrace trace;
    EXPECT_EQ(RaisedBy([&] { Due(c.fields); }).Description,
              Reported(c.number, kOperation, c.description));
    EXPECT_EQ(db.Log().size(), 1u);
    EXPECT_EQ(trace.Queries().size(), c.queried ? 1u : 0u);
  }
  // A column the joined row does not have fails with the client's own error.
  answers[4] = good;
  EXPECT_EQ(RaisedBy([] { Due(Fields({Variant("NOSUCHCOLUMN")})); }).Number,
            db::dberr::kNotFoundInCollection);
}

TEST_P(RfqEligibility, AFailingCategoryComponentKeepsItsErrorNumberAndSource) {
  Line(1, 1, Day(-1));
  constexpr auto kFailure = static_cast<std::int32_t>(0x80004005u);
  ComponentOverride throwing(kCategoryName, [] {
    return std::make_shared<FakeCategory>([](std::int32_t) -> Variant {
      throw Error(kFailure, "settings store unreachable", kCategoryName);
    });
  });
  const ErrorInfo error = RaisedBy([] { Due(); });
  EXPECT_EQ(error.Number, kFailure);
  EXPECT_EQ(error.Source, kCategoryName);
  EXPECT_EQ(error.Description, Reported(kFailure, kOperation, "settings store unreachable"));
  EXPECT_EQ(db.Log().size(), 1u);
}

CARVALEN_ON_PROVIDERS(RfqEligibility);

// Without a host's component: the library's own reads CATEGORYSETTING in the contract database.
class RfqWithDefaultCategory : public RfqTest {};

TEST_P(RfqWithDefaultCategory, ReadsTheSettingsStoredForEachCategory) {
  Line(1, 1, Day(30));
  Line(1, 2, Day(31));
  Line(2, 1, Day(-3));
  db.Exec(
      "INSERT INTO CATEGORYSETTING (CATEGORYID, FIELDNAME, FIELDVALUE) VALUES "
      "(4, 'AUTOMATICRFQGENERATION', '1'), (4, 'GENERATIONINTERVAL', ' 30 '), "
      "(9, 'AUTOMATICRFQGENERATION', 'False'), (9, 'GENERATIONINTERVAL', NULL)");
  const DictionaryPtr result =
      Due(Fields({Variant("CONTRACTHEADERID"), Variant("CONTRACTLINEID")}));
  ASSERT_EQ(result->Count(), 1);
  EXPECT_EQ(ElementsOf(result->Item(Variant(1))), Vs(1, 1));
  EXPECT_TRUE(db.Log().empty());
}

CARVALEN_ON_PROVIDERS(RfqWithDefaultCategory);

}  // namespace
}  // namespace carvalen::test
