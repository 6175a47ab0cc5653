// Matrices by supplier: line columns of each partner's active line for a product, and one line's
// user-defined fields in a fixed 11 x 21 matrix.
#include <gmock/gmock.h>

#include <functional>

#include "carvalen/contract.hpp"
#include "support/operation_test.hpp"

namespace carvalen::test {
namespace {

constexpr const char* kFields = "Carvalen.Contract.getActiveContractLineFieldsperSupplier";
constexpr const char* kUserData = "Carvalen.Contract.GetContractUserDataPerSupplier";

Variant List(std::vector<Variant> items, std::int32_t lower = 0) {
  return Variant(Array::Of(std::move(items), lower));
}

// The cells of a two-dimensional array, row by row, after checking its bounds.
std::vector<std::vector<Variant>> Cells(const Variant& matrix, std::int32_t last_row,
                                        std::int32_t last_column) {
  const Array& a = matrix.GetArray();
  EXPECT_EQ(a.Dimensions(), 2);
  EXPECT_EQ(std::vector({a.LBound(1), a.UBound(1), a.LBound(2), a.UBound(2)}),
            std::vector({0, last_row, 0, last_column}));
  std::vector<std::vector<Variant>> rows;
  for (std::int32_t i = 0; i <= a.UBound(1); ++i) {
    rows.emplace_back();
    for (std::int32_t j = 0; j <= a.UBound(2); ++j) rows.back().push_back(a.At(i, j));
  }
  return rows;
}

// Partner 100: an active line for product 7001. Partner 200: only an expired one. Line (1, 1)
// has user data, with a duplicate code, a NULL value, a code in other case and a NULL code.
class SupplierMatrices : public LineReadTest {
 protected:
  SupplierMatrices() {
    db.Exec(
        "INSERT INTO CONTRACTHEADER (CONTRACTHEADERID, BUSINESSPARTNERID, CATEGORYID) VALUES "
        "(1, 100, 4), (2, 200, 4)");
    db.Exec(
        "INSERT INTO CONTRACTLINE (CONTRACTHEADERID, CONTRACTLINEID, PRODUCTID, CONTRACTSTATUS, "
        "PRICE, SHIPPINGSERVICELEVEL, REMARK) VALUES "
        "(1, 1, 7001, 6, 9.5, 'Express', NULL), (1, 2, 7002, 6, 1, 'x', 'x'), "
        "(2, 1, 7001, 7, 1, 'x', 'x')");
    db.Exec(
        "INSERT INTO CONTRACTUSERDATA (CONTRACTHEADERID, CONTRACTLINEID, FIELDCODE, VALUE) VALUES "
        "(1, 1, 'UD01', 'v1'), (1, 1, 'UD02', NULL), (1, 1, 'UD03', 'first'), "
        "(1, 1, 'ud01', 'lower'), (1, 1, NULL, 'no code'), (1, 1, 'UD03', 'second')");
  }
};

TEST_P(SupplierMatrices, FieldMatrixHasACellPerPartnerAndName) {
  const Variant null = Variant::Null(), empty, text("");
  SqlTrace trace;
  const Variant matrix = Contract().getActiveContractLineFieldsperSupplier(
      7001, List({Variant(100), text, Variant(200), empty}),
      List({Variant("PRICE"), Variant("SHIPPINGTERM"), text, Variant("REMARK"), List({})}));
  const std::vector<std::vector<Variant>> expected{
      {Variant(9.5), Variant("Express"), text, text, null},  // an empty name and NULL give ""
      {null, null, null, null, null},                        // blank partners: Null, no query
      {empty, empty, empty, empty, null},                    // no active line: Empty
      {null, null, null, null, null},
  };
  EXPECT_EQ(Cells(matrix, 3, 4), expected);
  // One query for each partner that is not blank and each name that is no array.
  const std::vector<std::string> queries = trace.Queries();
  ASSERT_EQ(queries.size(), 8u);
  EXPECT_EQ(queries.front(),
            " SELECT CONTRACTHEADER.CONTRACTHEADERID, CONTRACTLINE.* FROM CONTRACTLINE, "
            "CONTRACTHEADER WHERE CONTRACTHEADER.BUSINESSPARTNERID=100 AND "
            "CONTRACTLINE.PRODUCTID='7001' AND CONTRACTLINE.CONTRACTHEADERID = "
            "CONTRACTHEADER.CONTRACTHEADERID AND CONTRACTLINE.CONTRACTSTATUS = 6");
  std::string last = queries.front();
  last.replace(last.find("=100"), 4, "=200");
  EXPECT_EQ(queries.back(), last);

  // Names from 1: column 0 is never written.
  EXPECT_EQ(Cells(Contract().getActiveContractLineFieldsperSupplier(7001, List({Variant(100)}),
                                                                    List({Variant("PRICE")}, 1)),
                  0, 1),
            (std::vector<std::vector<Variant>>{{empty, Variant(9.5)}}));
}

TEST_P(SupplierMatrices, UserDataFillsOnlyTheRowAtThePosition) {
  const Variant empty, text(""), null = Variant::Null();
  const Variant codes = List({Variant("UD01"), Variant("UD02"), Variant("UD03"), Variant("UD09")});
  const std::vector<Variant> untouched(21);
  const struct {
    const char* label;
    Variant headers, lines;
    std::vector<Variant> row;  // row 2 of the matrix; every other row stays Empty
    std::vector<std::string> queries;
  } cases[] = {
      {"line with user data: the later duplicate wins, exact case, \"\" where none",
       List({empty, empty, Variant(1)}),
       List({empty, empty, Variant("1")}),
       {Variant("v1"), null, Variant("second"), text},
       {"SELECT * FROM CONTRACTUSERDATA WHERE CONTRACTHEADERID = 1 AND CONTRACTLINEID = 1"}},
      {"blank header", List({empty, empty, text}), List({empty, empty, Variant(1)}), {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    SqlTrace trace;
    // The partner list is never read: not even an array will do.
    const Variant matrix =
        Contract().GetContractUserDataPerSupplier(c.headers, c.lines, Variant("ignored"), codes, 2);
    std::vector<std::vector<Variant>> expected(11, untouched);
    std::copy(c.row.begin(), c.row.end(), expected[2].begin());
    EXPECT_EQ(Cells(matrix, 10, 20), expected);
    EXPECT_EQ(trace.Queries(), c.queries);
  }
}

// Both operations report under their own names; a position outside the user-data matrix or the id
// lists is a subscript error.
TEST_P(SupplierMatrices, FailuresAreReportedOnce) {
  const Variant price = List({Variant("PRICE")}), ids = List(std::vector<Variant>(12, Variant(1)));
  const Variant code = List({Variant("UD01")});
  const struct {
    const char* label;
    std::function<void()> call;
    const char* operation;
    std::int32_t number;
  } cases[] = {
      {"partners from 1",
       [&] {
         Contract().getActiveContractLineFieldsperSupplier(7001, List({Variant(100)}, 1), price);
       },
       kFields, 9},
      {"the lower-case name is not substituted",
       [&] {
         Contract().getActiveContractLineFieldsperSupplier(7001, List({Variant(100)}),
                                                           List({Variant("shippingterm")}));
       },
       kFields, db::dberr::kNotFoundInCollection},
      {"user data row 11",
       [&] { Contract().GetContractUserDataPerSupplier(ids, ids, Variant(), code, 11); }, kUserData,
       9},
      {"user data column 21",
       [&] {
         Contract().GetContractUserDataPerSupplier(ids, ids, Variant(), List({Variant("UD01")}, 21),
                                                   0);
       },
       kUserData, 9},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const ErrorInfo error = ReportedOnce(c.call);
    EXPECT_EQ(error.Number, c.number);
    EXPECT_EQ(error.Description.rfind(ReportHeader(c.number, c.operation), 0), 0u)
        << error.Description;
  }
}

CARVALEN_ON_PROVIDERS(SupplierMatrices);

}  // namespace
}  // namespace carvalen::test
