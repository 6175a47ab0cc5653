// Lines due for automatic RFQ generation: category settings, expiry against today + interval.
#include <gmock/gmock.h>

#include <map>
#include <span>

#include "carvalen/component.hpp"
#include "carvalen/interfaces.hpp"
#include "support/operation_test.hpp"

namespace carvalen::test {
namespace {

constexpr const char* kOperation = "Carvalen.ContractLine.GetEligibleContractsForRFQCreation";

// A host's category component: checks the arguments (Long id, two names from 0), calls `answer`.
class FakeCategory final : public Object {
 public:
  explicit FakeCategory(std::function<Variant(std::int32_t)> answer) : answer_(std::move(answer)) {}
  std::string ClassName() const override { return kCategoryName; }
  Variant Invoke(std::string_view name, std::span<Variant> args) override {
    if (name != "GetCategoryFields") return Object::Invoke(name, args);
    if (args.size() != 2) throw std::logic_error("GetCategoryFields takes two arguments");
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

const Variant kLineId = List(Vs("CONTRACTLINEID"));

DictionaryPtr Due(const Variant& fields = kLineId) {
  return ContractLine().GetEligibleContractsForRFQCreation(fields);
}

// Contracts 1 (partner 100, category 4), 2 (200, 9); the category answers from `answers`.
const std::string kRfqHeaders =
    "INSERT INTO CONTRACTHEADER (CONTRACTHEADERID, BUSINESSPARTNERID, CATEGORYID) VALUES "
    "(1, 100, 4), (2, 200, 9)";
class RfqEligibility : public SeededTest<kRfqHeaders> {
 protected:
  void Line(int header, int line, const std::string& expiry) {
    db.Exec(
        "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, CONTRACTSTATUS, "
        "EXPIRYDATETIME, RFQGENERATED) VALUES (" +
        std::to_string(header) + ", " + std::to_string(line) + ", 6, " + expiry + ", 0)");
  }
  std::map<std::int32_t, Variant> answers;
  std::vector<std::int32_t> asked;
  ComponentOverride category_{kCategoryName, [this] {
                                return std::make_shared<FakeCategory>([this](std::int32_t id) {
                                  asked.push_back(id);
                                  return answers[id];
                                });
                              }};
};

// Also: the category asked once per run, the columns the caller names in any case, NULL as "".
TEST_P(RfqEligibility, ExpiryIsComparedWithTodayPlusTheIntervalInclusively) {
  Line(1, 1, Day(30));               // due: today + 30 at 00:00:00
  Line(1, 2, Day(30, 1));            // one second later: not due
  Line(1, 3, Day(-400, 12 * 3600));  // long expired: due
  Line(2, 4, Day(0));                // a Null interval is none: due from today
  answers[4] = Settings(Variant(true), Variant(30));
  answers[9] = Settings(Variant(true), Variant::Null());
  SqlTrace trace;
  const auto result = Due(List(Vs("CONTRACTLINEID", "categoryid", "BUSINESSPARTNERID", "REMARK")));
  EXPECT_EQ(trace.Queries(),
            Sql{"SELECT * FROM CONTRACTHEADER,CONTRACTLINE WHERE CONTRACTLINE.CONTRACTHEADERID = "
                "CONTRACTHEADER.CONTRACTHEADERID AND CONTRACTSTATUS = 6 AND EXPIRYDATETIME IS NOT "
                "NULL AND RFQGENERATED = 0 AND CATEGORYID IS NOT NULL ORDER BY CATEGORYID"});
  EXPECT_EQ(asked, (std::vector<std::int32_t>{4, 9}));
  EXPECT_EQ(KeysOf(*result), Vs(1, 2, 3));  // integer keys from 1, without gaps
  EXPECT_THAT(Items(*result), ::testing::UnorderedElementsAre(Vs(1, 4, 100, ""), Vs(3, 4, 100, ""),
                                                              Vs(4, 9, 200, "")));
}

TEST_P(RfqEligibility, ReadsTheCategorySettingsByTheClassicConversionsOrFailsReportedOnce) {
  // Lines 1..7 expire on today - 1 .. today + 5: `interval` days admit interval + 2 of them.
  for (int days = -1; days <= 5; ++days) Line(1, days + 2, Day(days));
  const Variant absent = no, yes(true);
  // {label, flag, interval, lines due}
  const std::tuple<const char*, Variant, Variant, int> cases[] = {
      {"interval absent", yes, absent, 2},
      {"flag and interval as text", Variant("True"), Variant(" 1 "), 3},
      {"huge interval", yes, Variant(2147483647), 7},
      {"flag absent", absent, Variant(5), 0},
  };
  for (const auto& [label, automatic, interval, due] : cases) {
    answers[4] = Settings(automatic, interval);
    EXPECT_EQ(Due()->Count(), due) << label;
  }
  // {fields, answer, number, description, whether the statement was sent before the failure}
  const Variant good = Settings(Variant(true), Variant(0));
  const std::tuple<Variant, Variant, std::int32_t, const char*, bool> failures[] = {
      {Variant("PRICE"), good, 13, "Type mismatch", false},
      {List(Vs("PRICE"), -1), good, 9, "Subscript out of range", true},
      {List(Vs(null, "PRICE"), -1), good, 94, "Invalid use of Null", true},  // read, then stored
      {kLineId, Settings(null, Variant(" \t")), 13, "Type mismatch", true},  // interval first
      {kLineId, Variant::Nothing(), 91, "Object variable or With block variable not set", true},
      {kLineId, Variant(ObjectPtr(std::make_shared<FakeCategory>(nullptr))), 13, "Type mismatch",
       true},
  };
  for (const auto& [fields, answer, number, description, queried] : failures) {
    SCOPED_TRACE(description);
    answers[4] = answer;
    SqlTrace trace;
    EXPECT_EQ(ReportedOnce([&, &f = fields] { Due(f); }).Description,
              Reported(number, kOperation, description));
    EXPECT_EQ(trace.Queries().size(), queried ? 1u : 0u);
  }
  // A failing component's error keeps its number and source.
  constexpr auto kFailure = static_cast<std::int32_t>(0x80004005u);
  ComponentOverride throwing(kCategoryName, [] {
    return std::make_shared<FakeCategory>([](std::int32_t) -> Variant {
      throw Error(kFailure, "settings store unreachable", kCategoryName);
    });
  });
  const ErrorInfo error = RaisedBy([] { Due(); });
  EXPECT_EQ(error.Source, kCategoryName);
  EXPECT_EQ(error.Description, Reported(kFailure, kOperation, "settings store unreachable"));
}

CARVALEN_ON_PROVIDERS(RfqEligibility);

}  // namespace
}  // namespace carvalen::test
