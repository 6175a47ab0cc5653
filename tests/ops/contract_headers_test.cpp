// Contract headers (the list, one header's details, existence, lines awaiting approval) and the
// header's attachments.
#include <gmock/gmock.h>

#include "carvalen/contract.hpp"
#include "support/operation_test.hpp"

namespace carvalen::test {
namespace {

using ::testing::UnorderedElementsAre;
using ::testing::UnorderedElementsAreArray;

const Variant no = Variant::Missing();
const Variant null = Variant::Null();

// Headers 12 and 13 of partner 100 (13 without a category), 14 of partner 200. Lines of 12 in
// every status that matters here; attachments of 12: two of its own (one all NULL), one approved
// and one of a line under approval.
class ContractHeaders : public LineReadTest {
 protected:
  ContractHeaders() {
    db.Exec(
        "INSERT INTO CONTRACTHEADER (CONTRACTHEADERID, BUSINESSPARTNERID, CATEGORYID) VALUES "
        "(12, 100, 7), (13, 100, NULL), (14, 200, 7)");
    db.Exec(
        "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, CONTRACTSTATUS) VALUES "
        "(12, 1, 2), (12, 2, 3), (12, 3, 6), (12, 4, 1), (13, 1, 6), (13, 2, 1)");
    db.Exec(
        "INSERT INTO CONTRACTATTACHMENT (ATTACHMENTID, CONTRACTHEADERID, CONTRACTLINEID, "
        "REVISIONNUMBER, DESCRIPTION, ATTACHMENTTYPECODE, INTERNAL, ATTACHMENTSTATUS, FILEPATH) "
        "VALUES (1, 12, NULL, 2, 'Terms', 'TERMS', 0, 5, '/t.pdf'), "
        "(2, 12, NULL, NULL, NULL, NULL, NULL, 5, NULL), "
        "(3, 12, 1, 4, 'Drawing', 'DRAWING', 1, 2, '/d.pdf'), "
        "(4, 12, NULL, 3, 'Old', 'TERMS', 0, 3, '/o.pdf'), "
        "(5, 13, NULL, 1, 'Other', 'TERMS', 0, 5, '/x.pdf'), "
        "(6, 14, NULL, NULL, 'Draft', 'TERMS', 0, 2, NULL)");
  }
};

// The first element of every item.
std::vector<Variant> FirstOfEach(const Dictionary& result) {
  std::vector<Variant> firsts;
  for (const auto& item : Items(result)) firsts.push_back(item.at(0));
  return firsts;
}

TEST_P(ContractHeaders, EachCombinationOfOptionalsHasItsOwnStatement) {
  const std::string all = "SELECT * FROM CONTRACTHEADER";
  const struct {
    Variant partner, category;
    std::string sql;
    std::vector<Variant> found;
  } cases[] = {
      {no, no, all, Vs(12, 13, 14)},
      {Variant(100), no, all + " WHERE BUSINESSPARTNERID = 100", Vs(12, 13)},
      {no, Variant(7), all + " WHERE CATEGORYID = 7", Vs(12, 14)},
      {Variant(100), Variant(7), all + " WHERE BUSINESSPARTNERID = 100 AND CATEGORYID = 7", Vs(12)},
      {Variant("200"), no, all + " WHERE BUSINESSPARTNERID = 200", Vs(14)},  // text of a number
      {Variant(), no, all + " WHERE BUSINESSPARTNERID = 0", {}},  // supplied, even if Empty
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sql);
    SqlTrace trace;
    const DictionaryPtr headers = Contract().GetContractHeader(c.partner, c.category);
    EXPECT_EQ(trace.Queries(), std::vector<std::string>{c.sql});
    EXPECT_THAT(FirstOfEach(*headers), UnorderedElementsAreArray(c.found));
  }
  // Text keys; a NULL category stays Null.
  const DictionaryPtr partner = Contract().GetContractHeader(Variant(100));
  EXPECT_EQ(KeysOf(*partner), Vs("1", "2"));
  EXPECT_THAT(Items(*partner), UnorderedElementsAre(Vs(12, 100, 7), Vs(13, 100, null)));
}

TEST_P(ContractHeaders, DetailsExistenceAndLinesAwaitingApproval) {
  Contract contract;
  SqlTrace trace;
  EXPECT_EQ(ElementsOf(contract.GetContractHeaderDetails(13)), Vs(100, null));
  EXPECT_TRUE(contract.ContractHeaderExists(12));
  EXPECT_FALSE(contract.ContractHeaderExists(99));
  const Variant approval = contract.GetContractApprovallines(12);
  EXPECT_EQ(approval.GetArray().LBound(), 0);
  EXPECT_THAT(ElementsOf(approval), UnorderedElementsAre(Variant(1), Variant(2)));
  EXPECT_EQ(trace.Queries(),
            (std::vector<std::string>{
                "SELECT * FROM CONTRACTHEADER WHERE CONTRACTHEADERID = 13",
                "SELECT CONTRACTHEADERID FROM CONTRACTHEADER WHERE CONTRACTHEADERID = 12",
                "SELECT CONTRACTHEADERID FROM CONTRACTHEADER WHERE CONTRACTHEADERID = 99",
                "SELECT CONTRACTLINEID FROM CONTRACTLINE WHERE CONTRACTHEADERID = 12 AND "
                "(CONTRACTSTATUS = 2 OR CONTRACTSTATUS = 3)"}));
  // Lines only active or new: an array never allocated, not an empty one.
  const Variant none = contract.GetContractApprovallines(13);
  EXPECT_TRUE(none.IsArray());
  EXPECT_EQ(none.ArrayPointer(), nullptr);
  // A missing header is an error of its own, not an empty answer.
  constexpr auto kMissing = static_cast<std::uint32_t>(0x80040402u);
  const ErrorInfo missing = RaisedBy([&] { contract.GetContractHeaderDetails(99); });
  EXPECT_EQ(missing.Number, static_cast<std::int32_t>(kMissing));
  EXPECT_EQ(missing.Source, "Carvalen");
  EXPECT_EQ(missing.Description,
            Reported(kMissing, "Carvalen.Contract.GetContractHeaderDetails", kGenericDescription));
  EXPECT_EQ(db.Log().size(), 1u);
}

TEST_P(ContractHeaders, AttachmentsOfTheHeaderItsActiveOnesAndThoseUnderApproval) {
  Contract contract;
  SqlTrace trace;
  // Every status, header rows only; NULL text columns become "" but the file path stays Null.
  const DictionaryPtr all = contract.GetContractHeaderAttachments(12);
  EXPECT_EQ(KeysOf(*all), Vs("1", "2", "3"));
  EXPECT_THAT(Items(*all), UnorderedElementsAre(Vs(1, 2, "Terms", null, "TERMS", 0, 5, "/t.pdf"),
                                                Vs(2, null, "", null, "", null, 5, null),
                                                Vs(4, 3, "Old", null, "TERMS", 0, 3, "/o.pdf")));
  // Active ones: six columns read into eight elements, the last two Empty.
  const Variant empty;
  EXPECT_THAT(Items(*contract.GetActiveHeaderAttachments(12)),
              UnorderedElementsAre(Vs(1, 2, "Terms", "TERMS", 0, "/t.pdf", empty, empty),
                                   Vs(2, null, "", "", null, null, empty, empty)));
  // Under approval (2, not 3), lines' attachments included; the id may come as text.
  const DictionaryPtr approved = contract.GetApprovedHeaderAttachment(Variant("12"));
  EXPECT_EQ(KeysOf(*approved), Vs("1"));
  EXPECT_EQ(Items(*approved), std::vector<std::vector<Variant>>{Vs(3, 4)});
  EXPECT_EQ(
      trace.Queries(),
      (std::vector<std::string>{
          "SELECT * FROM CONTRACTATTACHMENT WHERE CONTRACTLINEID IS NULL AND CONTRACTHEADERID = 12",
          "SELECT * FROM CONTRACTATTACHMENT WHERE CONTRACTLINEID IS NULL AND CONTRACTHEADERID = 12 "
          "AND ATTACHMENTSTATUS = 5",
          "SELECT ATTACHMENTID,REVISIONNUMBER FROM CONTRACTATTACHMENT WHERE CONTRACTHEADERID = 12 "
          "AND ATTACHMENTSTATUS = 2"}));
  EXPECT_EQ(contract.GetContractHeaderAttachments(99)->Count(), 0);
  // A NULL revision cannot become an integer; neither can an id that is no number.
  const std::string op = "Carvalen.Contract.GetApprovedHeaderAttachment";
  EXPECT_EQ(RaisedBy([&] { contract.GetApprovedHeaderAttachment(Variant(14)); }).Description,
            Reported(94, op, "Invalid use of Null"));
  EXPECT_EQ(RaisedBy([&] { contract.GetApprovedHeaderAttachment(Variant("x")); }).Description,
            Reported(13, op, "Type mismatch"));
}

CARVALEN_ON_PROVIDERS(ContractHeaders);

}  // namespace
}  // namespace carvalen::test
