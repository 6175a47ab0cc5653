// A line's attachments and user-defined fields, and the search for an attachment type.
#include <gmock/gmock.h>

#include "ops/line_reads.hpp"

namespace carvalen::test {
namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

class LineAttachments : public LineReadTest {
 protected:
  LineAttachments() {
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
        "(12, 3, 'COLOR', 'Colour', 'A', 0, 'red'), (12, 3, NULL, NULL, NULL, NULL, NULL), "
        "(12, 4, 'SIZE', 'Size', NULL, 1, '10')");
  }
};

// The elements of every item, in key order (rows come in the database's order).
std::vector<std::vector<Variant>> Items(const Dictionary& result) {
  std::vector<std::vector<Variant>> items;
  for (const auto& [key, item] : result.Entries()) items.push_back(ElementsOf(item));
  return items;
}

TEST_P(LineAttachments, ReadsTheRowsOfTheLine) {
  ContractLine line;
  SqlTrace trace;
  // Attachments under text keys; only the three text columns turn NULL into "", and the expired
  // one is returned all the same.
  const DictionaryPtr attachments = line.GetContractLineAttachment(12, 3);
  EXPECT_EQ(KeysOf(*attachments), Vs("1", "2"));
  EXPECT_THAT(Items(*attachments),
              UnorderedElementsAre(
                  ElementsAre(Variant(1), Variant(2), Variant("Drawing"), Variant(12),
                              Variant("DRAWING"), Variant(1), Variant(5), Variant("/docs/d.pdf")),
                  ElementsAre(Variant(2), Variant::Null(), Variant(""), Variant(12), Variant(""),
                              Variant::Null(), Variant(6), Variant(""))));
  // User data under number keys, with a sixth element left Empty.
  const DictionaryPtr user_data = line.GetContractUserData(12, 3);
  EXPECT_EQ(KeysOf(*user_data), Vs(1, 2));
  EXPECT_THAT(Items(*user_data),
              UnorderedElementsAre(ElementsAre(Variant("COLOR"), Variant("Colour"), Variant("A"),
                                               Variant(0), Variant("red"), Variant()),
                                   ElementsAre(Variant::Null(), Variant(""), Variant::Null(),
                                               Variant::Null(), Variant(""), Variant())));
  EXPECT_EQ(
      trace.Queries(),
      (std::vector<std::string>{
          " SELECT * FROM CONTRACTATTACHMENT WHERE CONTRACTHEADERID = 12 AND "
          "CONTRACTLINEID = 3",
          "SELECT * FROM CONTRACTUSERDATA WHERE CONTRACTHEADERID = 12 AND CONTRACTLINEID = 3"}));
  // No rows: empty dictionaries, not Nothing.
  EXPECT_EQ(line.GetContractLineAttachment(99, 3)->Count(), 0);
  EXPECT_EQ(line.GetContractUserData(12, 99)->Count(), 0);
  EXPECT_TRUE(db.Log().empty());
}

TEST_P(LineAttachments, AnAttachmentTypeIsFoundInAnyContractAndStatus) {
  ContractLine line;
  EXPECT_TRUE(line.ContractLineAttachmentExists("DATASHEET"));  // another line
  EXPECT_TRUE(line.ContractLineAttachmentExists("TERMS"));      // a header attachment
  EXPECT_FALSE(line.ContractLineAttachmentExists("drawing"));   // compared with regard to case
  SqlTrace trace;
  EXPECT_TRUE(line.ContractLineAttachmentExists("O'Brien"));  // another contract, rejected
  EXPECT_EQ(trace.Queries(),
            std::vector<std::string>{" SELECT ATTACHMENTID FROM CONTRACTATTACHMENT "
                                     "WHERE ATTACHMENTTYPECODE = 'O''Brien'"});
  EXPECT_TRUE(db.Log().empty());
}

TEST_P(LineAttachments, FailuresAreReportedUnderTheOperationsName) {
  {
    // The utilities component refuses a NUL character: nothing is sent.
    SqlTrace trace;
    const ErrorInfo error =
        RaisedBy([] { ContractLine().ContractLineAttachmentExists(std::string("A\0B", 3)); });
    EXPECT_EQ(error.Description, Reported(5, "Carvalen.ContractLine.ContractLineAttachmentExists",
                                          "Invalid procedure call or argument"));
    EXPECT_TRUE(trace.Queries().empty());
  }
  // A database failure while reading (the tables are gone) keeps the driver's number.
  db.Exec("DROP TABLE CONTRACTUSERDATA");
  db.Exec("DROP TABLE CONTRACTATTACHMENT");
  auto expect_reported = [](const std::string& name, const std::function<void()>& call) {
    const ErrorInfo error = RaisedBy(call);
    EXPECT_NE(error.Number, 0);
    EXPECT_EQ(
        error.Description.rfind(ReportHeader(error.Number, "Carvalen.ContractLine." + name), 0), 0u)
        << error.Description;
  };
  expect_reported("GetContractUserData", [] { ContractLine().GetContractUserData(12, 3); });
  expect_reported("GetContractLineAttachment",
                  [] { ContractLine().GetContractLineAttachment(12, 3); });
  EXPECT_EQ(db.Log().size(), 3u);
}

CARVALEN_ON_PROVIDERS(LineAttachments);

}  // namespace
}  // namespace carvalen::test
