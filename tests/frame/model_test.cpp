// The public classes as callers see them: creation by name, metadata, enumerations and late
// binding by exact name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "carvalen/component.hpp"
#include "carvalen/contract.hpp"
#include "carvalen/contract_line.hpp"
#include "carvalen/enums.hpp"
#include "carvalen/error.hpp"
#include "carvalen/library.hpp"
#include "model/classes.hpp"
#include "support/contract_db.hpp"

namespace carvalen {
namespace {

TEST(Enumerations, PublishExactNamesAndValues) {
  struct Case {
    const char* enumeration;
    const char* member;
    std::int32_t value;
  };
  const Case cases[] = {
      {"EContractLineStatus", "Under Approval", 2},
      {"EContractLineStatus", "Active", 6},
      {"EContractLineStatus", "expired", 7},
      {"EContractAttachmentStatus", "expired", 6},
      {"EContractField", "HANDLINGCHARGE", 12},
      {"EContractExportStatus", "ContractExportStatus Open", 1},
      {"EContractExportStatus", "ContractExportStatus Exported", 2},
      {"EAttachDetachAction", "AttachTypes", 6},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EnumValue(c.enumeration, c.member), c.value) << c.member;
  }
  // Names are exact: case and blanks matter.
  EXPECT_EQ(EnumValue("EContractLineStatus", "Expired"), std::nullopt);
  EXPECT_EQ(EnumValue("EContractLineStatus", "UnderApproval"), std::nullopt);
  EXPECT_EQ(Enumerations().size(), 5u);
  EXPECT_EQ(static_cast<std::int32_t>(EContractLineStatus::Active), 6);
}

TEST(Library, CreatesEachClassByName) {
  const char* names[] = {"Carvalen.Contract", "carvalen.contractline", "CARVALEN.ENUMS"};
  const char* classes[] = {"Contract", "ContractLine", "Enums"};
  for (int i = 0; i < 3; ++i) {
    ObjectPtr object = CreateObject(names[i]);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->ClassName(), classes[i]);
  }
  EXPECT_EQ(Library().version_major, 1);
  EXPECT_EQ(Library().version_minor, 1);
  EXPECT_EQ(Library().locale, 0x409u);
  EXPECT_EQ(Library().classes[1].interface_name, "_ContractLine");
  EXPECT_EQ(Library().classes[1].interface_id, "b0baf45b-6ed1-4cf5-80b4-a6b930aeef27");
}

TEST(LateBinding, FindsEveryOperationByExactNameInAnyCase) {
  const std::vector<std::string> expected = {"GetContractLineDetail",
                                             "GetContractLineNumber",
                                             "GetEligibleContractsForRFQCreation",
                                             "GetPriceBreakup",
                                             "GetDiscountBreakUp",
                                             "GetEffectivePrice",
                                             "GetPrice",
                                             "GetDiscount",
                                             "GetContractFieldValue",
                                             "GetContractLineAttachment",
                                             "GetContractUserData",
                                             "GetContractBIS",
                                             "GetBISTransactionIgnore",
                                             "ContractLineAttachmentExists",
                                             "ContractPriceBreakUpExists",
                                             "ContractDiscountBreakUpExists",
                                             "GetOldContract",
                                             "MaximumQuantityExceeded",
                                             "OldContractExists"};
  const auto& methods = model::ContractLineMethods();
  ASSERT_EQ(methods.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(methods[i].name, expected[i]);  // interface order, letter for letter
    std::string upper = expected[i];
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(model::FindMethod(methods, upper), &methods[i]);
  }
  // The currency look-up is private to the class.
  EXPECT_EQ(model::FindMethod(methods, "GetContractLineCurrency"), nullptr);
}

TEST(LateBinding, RejectsBadCallsBeforeTheOperationRuns) {
  test::LogRecorder log;
  struct Case {
    const char* name;
    std::vector<Variant> args;
    std::int32_t number;
  };
  const Case cases[] = {
      {"GetContractLineCurrency", {Variant(1), Variant(1)}, 438},
      {"NoSuchOperation", {}, 438},
      {"GetContractLineNumber", {Variant(1), Variant(2)}, 450},
      {"GetContractLineNumber", {}, 449},
      {"GetContractLineNumber", {Variant("twelve")}, 13},
      {"GetContractLineNumber", {Variant::Null()}, 94},
      {"GetContractLineNumber", {Variant(5e9)}, 6},
      {"GetPrice", {Variant(1), Variant(1), Variant("x"), Variant()}, 13},
  };
  ContractLine line;
  for (const Case& c : cases) {
    std::vector<Variant> args = c.args;
    try {
      line.Invoke(c.name, args);
      ADD_FAILURE() << c.name;
    } catch (const Error& e) {
      EXPECT_EQ(e.Number(), c.number) << c.name;
    }
  }
  EXPECT_TRUE(log.Entries().empty());  // nothing ran, so nothing was reported
}

class LateBoundCall : public ::testing::TestWithParam<test::Provider> {};

TEST_P(LateBoundCall, ConvertsArgumentsAndWritesBack) {
  test::ContractDb db(GetParam());
  db.Exec(
      "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, QUOTATIONID, CURRENCYCODE, "
      "PRICE, INCLUDEPRICEBREAKUP) VALUES (4, 2, 900, 'SEK', 12.5, 0)");
  ContractLine line;
  // Text that is a number converts to the declared Long.
  std::vector<Variant> args = {Variant("900")};
  EXPECT_EQ(line.Invoke("getcontractlinenumber", args).GetArray().At(1), Variant(2));
  // By-reference arguments come back; an omitted optional takes its default.
  std::vector<Variant> price = {Variant(4), Variant(2), Variant(1.0), Variant()};
  EXPECT_EQ(line.Invoke("GETPRICE", price), Variant(12.5));
  EXPECT_EQ(price[3], Variant("SEK"));
}

INSTANTIATE_TEST_SUITE_P(Providers, LateBoundCall, ::testing::ValuesIn(test::AvailableProviders()),
                         [](const auto& info) { return test::ProviderName(info.param); });

}  // namespace
}  // namespace carvalen
