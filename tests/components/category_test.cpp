// The default category component: GetCategoryFields reads CATEGORYSETTING through the stores'
// contract connection, over both databases.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "carvalen/component.hpp"
#include "carvalen/dictionary.hpp"
#include "carvalen/settings.hpp"
#include "components/configuration.hpp"
#include "support/operation_test.hpp"

namespace carvalen {
namespace {

using testing::CaptureError;

Variant Names(std::vector<const char*> names) {
  return Variant(Array::Of(std::vector<Variant>(names.begin(), names.end())));
}

// GetCategoryFields called late-bound, as the library calls it.
DictionaryPtr CategoryFields(Variant category_id, Variant names) {
  std::vector<Variant> args{std::move(category_id), std::move(names)};
  return CreateObject("Morrowfen.Category")->Invoke("GetCategoryFields", args).As<Dictionary>();
}

// Leaves `store` the only store in `dir`, naming `cs` as the contract connection.
void OnlyStore(const std::filesystem::path& dir, const std::string& store, const std::string& cs) {
  std::filesystem::remove(dir / "Vendra.toml");
  std::ofstream(dir / (store + ".toml")) << "[ConnectionStrings]\nEContract = '" << cs << "'\n";
  carvalen::ForgetConfigurationStores();
}

class CategoryTest : public test::LineReadTest {
 protected:
  CategoryTest() {
    db.Exec(
        "INSERT INTO CATEGORYSETTING (CATEGORYID, FIELDNAME, FIELDVALUE) VALUES "
        "(4, 'AUTOMATICRFQGENERATION', '1'), (4, 'GENERATIONINTERVAL', NULL), "
        "(4, 'BUYERGROUP', 'North'), (4, NULL, 'nameless'), (9, 'AUTOMATICRFQGENERATION', '0')");
  }
};

TEST_P(CategoryTest, AnswersTheAskedFieldsInTheAskedOrderAfterCheckingTheNames) {
  std::vector<Variant> args{Variant("4"), Names({"GENERATIONINTERVAL", "NOSUCHFIELD", "buyergroup",
                                                 "AUTOMATICRFQGENERATION", "GENERATIONINTERVAL"})};
  const auto answer =
      CreateObject("Morrowfen.Category")->Invoke("getcategoryfields", args).As<Dictionary>();
  EXPECT_EQ(args[0], Variant(4));  // the id comes back converted
  // Names match in case; one asked twice is answered once.
  EXPECT_EQ(test::KeysOf(*answer), test::Vs("GENERATIONINTERVAL", "AUTOMATICRFQGENERATION"));
  EXPECT_EQ(test::ElementsOf(Variant(answer->Items())), (test::Vs(Variant::Null(), "1")));
  EXPECT_EQ(CategoryFields(Variant(9), Names({"AUTOMATICRFQGENERATION"}))
                ->Item(Variant("AUTOMATICRFQGENERATION")),
            Variant("0"));
  EXPECT_EQ(CategoryFields(Variant(77), Names({"GENERATIONINTERVAL"}))->Count(), 0);
  // Without a store, any error but 0x8004041D shows the names were checked first.
  std::filesystem::remove(std::filesystem::path(db.ConfigDir()) / "Vendra.toml");
  carvalen::ForgetConfigurationStores();
  const std::pair<Variant, std::int32_t> cases[] = {
      {Variant("GENERATIONINTERVAL"), 13},                     // no array
      {Variant(Array(0, 1, 0, 1)), 13},                        // two dimensions
      {Variant(Array::Of({Variant::Null()})), 94},             // a name that is no text
      {Names({"X"}), static_cast<std::int32_t>(0x8004041Du)},  // no store
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CaptureError([&] { CategoryFields(Variant(4), c.first); }).Number(), c.second);
  }
  EXPECT_EQ(CaptureError([] { CategoryFields(Variant(4), Names({"X"})); }).Source(),
            "Morrowfen.Category");
}

// One traced query, the id as digits; without Vendra the Zandril store names the database.
TEST_P(CategoryTest, SendsOneTracedQueryAndFailsWhenTheOpenOrTheQueryFails) {
  OnlyStore(db.ConfigDir(), "Zandril", db.ConnectionString());
  {
    test::SqlTrace trace;
    EXPECT_EQ(CategoryFields(Variant(-4), Names({"X"}))->Count(), 0);
    EXPECT_EQ(trace.Queries(), std::vector<std::string>{"SELECT FIELDNAME,FIELDVALUE FROM "
                                                        "CATEGORYSETTING WHERE CATEGORYID = -4"});
  }
  OnlyStore(db.ConfigDir(), "Vendra", db.ConnectionString() + ";Colour=red");
  EXPECT_THROW(CategoryFields(Variant(4), Names({"X"})), Error);
  OnlyStore(db.ConfigDir(), "Vendra", db.ConnectionString());
  db.Exec("DROP TABLE CATEGORYSETTING");
  EXPECT_THROW(CategoryFields(Variant(4), Names({"X"})), Error);
}

CARVALEN_ON_PROVIDERS(CategoryTest);

}  // namespace
}  // namespace carvalen
