// A line's attachments and user-defined fields, and the search for an attachment type.
#include <gmock/gmock.h>

#include "support/operation_test.hpp"

namespace carvalen::test {
namespace {

using ::testing::UnorderedElementsAre;

class LineAttachments : public LineReadTest {
 protected:
  LineAttachments() {
    db.Exec(
        "INSERT INTO CONTRACTATTACHMENT (ATTACHMENTID, CONTRACTHEADERID, CONTRACTLINEID, "
        "REVISIONNUMBER, DESCRIPTION, ATTACHMENTTYPECODE, INTERNAL, ATTACHMENTSTATUS, FILEPATH) "
        "VALUES (1, 12, 3, 2, 'Drawing', 'DRAWING', 1, 5, '/docs/d.pdf'), "
        "(2, 12, 3, NULL, NULL, NULL, NULL, 6, NULL), "               // expired, NULL columns
        "(4, 12, NULL, 1, 'Header', 'TERMS', 0, 5, '/docs/t.pdf'), "  // a header attachment
        "(5, 30, 1, 1, 'Quote', 'O''Brien', 0, 4, '/docs/q.pdf')");   // rejected, another contract
    db.Exec(
        "INSERT INTO CONTRACTUSERDATA (CONTRACTHEADERID, CONTRACTLINEID, FIELDCODE, "
        "FIELDDESCRIPTION, COSTTYPE, NUMERICFIELD, VALUE) VALUES "
        "(12, 3, 'COLOR', 'Colour', 'A', 0, 'red'), (12, 3, NULL, NULL, NULL, NULL, NULL)");
  }
};

TEST_P(LineAttachments, ReadsTheRowsOfTheLine) {
  ContractLine line;
  SqlTrace trace;
  // Attachments under text keys; only the three text columns turn NULL into "", and the expired
  // one is returned all the same.
  const DictionaryPtr attachments = line.GetContractLineAttachment(12, 3);
  EXPECT_EQ(KeysOf(*attachments), Vs("1", "2"));
  const Variant null = Variant::Null();
  EXPECT_THAT(Items(*attachments),
              UnorderedElementsAre(Vs(1, 2, "Drawing", 12, "DRAWING", 1, 5, "/docs/d.pdf"),
                                   Vs(2, null, "", 12, "", null, 6, "")));
  // User data under number keys, with a sixth element left Empty.
  const DictionaryPtr user_data = line.GetContractUserData(12, 3);
  EXPECT_EQ(KeysOf(*user_data), Vs(1, 2));
  EXPECT_THAT(Items(*user_data),
              UnorderedElementsAre(Vs("COLOR", "Colour", "A", 0, "red", Variant()),
                                   Vs(null, "", null, null, "", Variant())));
  EXPECT_EQ(
      trace.Queries(),
      (std::vector<std::string>{
          " SELECT * FROM CONTRACTATTACHMENT WHERE CONTRACTHEADERID = 12 AND "
          "CONTRACTLINEID = 3",
          "SELECT * FROM CONTRACTUSERDATA WHERE CONTRACTHEADERID = 12 AND CONTRACTLINEID = 3"}));
  // No rows: empty dictionaries, not Nothing.
  EXPECT_EQ(line.GetContractLineAttachment(99, 3)->Count(), 0);
  EXPECT_EQ(line.GetContractUserData(12, 99)->Count(), 0);
}

TEST_P(LineAttachments, AnAttachmentTypeIsFoundInAnyContractAndAnyStatus) {
  ContractLine line;
  EXPECT_TRUE(line.ContractLineAttachmentExists("TERMS"));     // a header attachment
  EXPECT_FALSE(line.ContractLineAttachmentExists("drawing"));  // compared with regard to case
  SqlTrace trace;
  EXPECT_TRUE(line.ContractLineAttachmentExists("O'Brien"));  // another contract, rejected
  EXPECT_EQ(trace.Queries(),
            std::vector<std::string>{" SELECT ATTACHMENTID FROM CONTRACTATTACHMENT "
                                     "WHERE ATTACHMENTTYPECODE = 'O''Brien'"});
}

CARVALEN_ON_PROVIDERS(LineAttachments);

}  // namespace
}  // namespace carvalen::test
