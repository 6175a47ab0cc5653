// A line's attachments and user-defined fields, and the search for an attachment type.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "carvalen/contract_line.hpp"
#include "ops/line_reads.hpp"
#include "support/contract_db.hpp"

namespace carvalen {
namespace {

using test::Reported;
using test::Show;

void Seed(test::ContractDb& db) {
  db.Exec(
      "INSERT INTO CONTRACTATTACHMENT (ATTACHMENTID, CONTRACTHEADERID, CONTRACTLINEID, "
      "REVISIONNUMBER, DESCRIPTION, ATTACHMENTTYPECODE, INTERNAL, ATTACHMENTSTATUS, FILEPATH) "
      "VALUES "
      "(1, 12, 3, 2, 'Drawing', 'DRAWING', 1, 5, '/docs/d.pdf'), "
      "(2, 12, 3, NULL, NULL, NULL, NULL, 6, NULL), "  // expired, text columns NULL
      "(3, 12, 4, 1, 'Other line', 'DATASHEET', 0, 5, '/docs/s.pdf'), "
      "(4, 12, NULL, 1, 'Header', 'TERMS', 0, 5, '/docs/t.pdf'), "  // a header attachment
      "(5, 30, 1, 1, 'Quote', 'O''Brien', 0, 4, '/docs/q.pdf')");   // rejected, another contract
  db.Exec(
      "INSERT INTO CONTRACTUSERDATA (CONTRACTHEADERID, CONTRACTLINEID, FIELDCODE, "
      "FIELDDESCRIPTION, COSTTYPE, NUMERICFIELD, VALUE) VALUES "
      "(12, 3, 'COLOR', 'Colour', 'A', 0, 'red'), "
      "(12, 3, NULL, NULL, NULL, NULL, NULL), "
      "(12, 4, 'SIZE', 'Size', NULL, 1, '10')");
}

// The item whose element 0 equals `first` (rows come in the database's order).
std::vector<Variant> ItemStarting(const Dictionary& result, const Variant& first) {
  for (const auto& [key, item] : result.Entries()) {
    if (item.GetArray().At(0) == first) return test::ElementsOf(item);
  }
  ADD_FAILURE() << "no item starts with " << Show(first);
  return {};
}

class LineAttachments : public ::testing::TestWithParam<test::Provider> {};

TEST_P(LineAttachments, EveryAttachmentOfTheLineUnderTextKeys) {
  test::ContractDb db(GetParam());
  Seed(db);
  test::NoConnectionLeft check;
  const DictionaryPtr result = ContractLine().GetContractLineAttachment(12, 3);
  ASSERT_EQ(test::KeysOf(*result), (std::vector<Variant>{Variant("1"), Variant("2")}));
  EXPECT_FALSE(result->Exists(Variant(1)));  // the number 1 is another key
  EXPECT_EQ(
      ItemStarting(*result, Variant(1)),
      (std::vector<Variant>{Variant(1), Variant(2), Variant("Drawing"), Variant(12),
                            Variant("DRAWING"), Variant(1), Variant(5), Variant("/docs/d.pdf")}));
  // Only the three text columns turn NULL into ""; the expired one is returned all the same.
  EXPECT_EQ(ItemStarting(*result, Variant(2)),
            (std::vector<Variant>{Variant(2), Variant::Null(), Variant(""), Variant(12),
                                  Variant(""), Variant::Null(), Variant(6), Variant("")}));
  EXPECT_TRUE(db.Log().empty());
}

TEST_P(LineAttachments, UserDataUnderIntegerKeysWithASixthElementLeftEmpty) {
  test::ContractDb db(GetParam());
  Seed(db);
  test::NoConnectionLeft check;
  const DictionaryPtr result = ContractLine().GetContractUserData(12, 3);
  ASSERT_EQ(test::KeysOf(*result), (std::vector<Variant>{Variant(1), Variant(2)}));
  EXPECT_FALSE(result->Exists(Variant("1")));
  EXPECT_EQ(ItemStarting(*result, Variant("COLOR")),
            (std::vector<Variant>{Variant("COLOR"), Variant("Colour"), Variant("A"), Variant(0),
                                  Variant("red"), Variant()}));
  EXPECT_EQ(ItemStarting(*result, Variant::Null()),
            (std::vector<Variant>{Variant::Null(), Variant(""), Variant::Null(), Variant::Null(),
                                  Variant(""), Variant()}));
  EXPECT_TRUE(db.Log().empty());
}

TEST_P(LineAttachments, ALineWithoutRowsGivesEmptyDictionaries) {
  test::ContractDb db(GetParam());
  Seed(db);
  test::NoConnectionLeft check;
  ContractLine line;
  for (auto [header, id] : {std::pair{12, 99}, std::pair{99, 3}, std::pair{30, 1}}) {
    SCOPED_TRACE(std::to_string(header) + "/" + std::to_string(id));
    const DictionaryPtr user_data = line.GetContractUserData(header, id);
    ASSERT_NE(user_data, nullptr);
    EXPECT_EQ(user_data->Count(), 0);
    if (header != 30) {
      const DictionaryPtr attachments = line.GetContractLineAttachment(header, id);
      ASSERT_NE(attachments, nullptr);
      EXPECT_EQ(attachments->Count(), 0);
    }
  }
  EXPECT_TRUE(db.Log().empty());
}

TEST_P(LineAttachments, AnAttachmentTypeIsFoundInAnyContractAndStatus) {
  test::ContractDb db(GetParam());
  Seed(db);
  const struct {
    const char* code;
    bool exists;
  } cases[] = {
      {"DRAWING", true},  {"DATASHEET", true},  // lines of the same contract
      {"TERMS", true},                          // a header attachment
      {"O'Brien", true},                        // another contract, rejected; a quote in the code
      {"drawing", false},                       // compared with regard to case
      {"NONE", false},    {"", false},         {"DRAWING' OR '1'='1", false},
  };
  ContractLine line;
  for (const auto& c : cases) {
    test::NoConnectionLeft check;
    EXPECT_EQ(line.ContractLineAttachmentExists(c.code), c.exists) << c.code;
  }
  EXPECT_TRUE(db.Log().empty());
}

TEST_P(LineAttachments, SendsTheStatementsAsWritten) {
  test::ContractDb db(GetParam());
  Seed(db);
  test::SqlTrace trace;
  ContractLine line;
  line.GetContractLineAttachment(12, 3);
  line.GetContractUserData(-12, 3);
  line.ContractLineAttachmentExists("O'Brien");
  EXPECT_EQ(
      trace.Queries(),
      (std::vector<std::string>{
          " SELECT * FROM CONTRACTATTACHMENT WHERE CONTRACTHEADERID = 12 AND "
          "CONTRACTLINEID = 3",
          "SELECT * FROM CONTRACTUSERDATA WHERE CONTRACTHEADERID = -12 AND CONTRACTLINEID = 3",
          " SELECT ATTACHMENTID FROM CONTRACTATTACHMENT WHERE ATTACHMENTTYPECODE = "
          "'O''Brien'",
      }));
}

TEST_P(LineAttachments, FailuresAreReportedUnderTheOperationsName) {
  test::ContractDb db(GetParam());
  Seed(db);
  {
    // The utilities component refuses a NUL character: nothing is sent.
    test::SqlTrace trace;
    test::NoConnectionLeft check;
    const ErrorInfo error =
        test::RaisedBy([] { ContractLine().ContractLineAttachmentExists(std::string("A\0B", 3)); });
    EXPECT_EQ(error.Number, 5);
    EXPECT_EQ(error.Description, Reported(5, "Carvalen.ContractLine.ContractLineAttachmentExists",
                                          "Invalid procedure call or argument"));
    EXPECT_TRUE(trace.Queries().empty());
    EXPECT_EQ(db.Log().size(), 1u);
  }
  // A database failure while reading (the tables are gone) keeps the driver's number.
  db.Exec("DROP TABLE CONTRACTUSERDATA");
  db.Exec("DROP TABLE CONTRACTATTACHMENT");
  const struct {
    const char* name;
    std::function<void()> call;
  } calls[] = {
      {"Carvalen.ContractLine.GetContractUserData",
       [] { ContractLine().GetContractUserData(12, 3); }},
      {"Carvalen.ContractLine.GetContractLineAttachment",
       [] { ContractLine().GetContractLineAttachment(12, 3); }},
  };
  for (const auto& c : calls) {
    SCOPED_TRACE(c.name);
    db.ClearLog();
    test::NoConnectionLeft check;
    const ErrorInfo error = test::RaisedBy(c.call);
    EXPECT_NE(error.Number, 0);
    EXPECT_EQ(error.Description.rfind(
                  test::ReportHeader(static_cast<std::uint32_t>(error.Number), c.name), 0),
              0u)
        << error.Description;
    EXPECT_EQ(db.Log().size(), 1u);
  }
}

TEST_P(LineAttachments, LateBoundCalls) {
  test::ContractDb db(GetParam());
  Seed(db);
  ContractLine cl;
  std::vector<Variant> ids{Variant(12), Variant(3)};
  EXPECT_EQ(cl.Invoke("getcontractlineattachment", ids).As<Dictionary>()->Count(), 2);
  EXPECT_EQ(cl.Invoke("GETCONTRACTUSERDATA", ids).As<Dictionary>()->Count(), 2);
  std::vector<Variant> code{Variant("TERMS")};
  EXPECT_EQ(cl.Invoke("ContractLineAttachmentExists", code), Variant(true));
  std::vector<Variant> number_code{Variant(42)};  // converted to its text, "42"
  EXPECT_EQ(cl.Invoke("ContractLineAttachmentExists", number_code), Variant(false));
}

INSTANTIATE_TEST_SUITE_P(Providers, LineAttachments,
                         ::testing::ValuesIn(test::AvailableProviders()),
                         [](const auto& info) { return test::ProviderName(info.param); });

}  // namespace
}  // namespace carvalen
