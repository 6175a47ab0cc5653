#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "carvalen/component.hpp"
#include "carvalen/dictionary.hpp"
#include "carvalen/error.hpp"
#include "components/scratch.hpp"
#include "platform/db/client.hpp"
#include "support/databases.hpp"

namespace carvalen {
namespace {

using testing::ErrorOf;
using testing::ReadFile;
using testing::ScopedEnv;
using testing::TempFolder;

constexpr const char* kSettings = R"(
CREATE TABLE CATEGORYSETTING (CATEGORYID INTEGER, FIELDNAME TEXT, FIELDVALUE TEXT);
INSERT INTO CATEGORYSETTING VALUES (4, 'AUTOMATICRFQGENERATION', '1');
INSERT INTO CATEGORYSETTING VALUES (4, 'GENERATIONINTERVAL', NULL);
INSERT INTO CATEGORYSETTING VALUES (4, 'BUYERGROUP', 'North');
INSERT INTO CATEGORYSETTING VALUES (4, NULL, 'nameless');
INSERT INTO CATEGORYSETTING VALUES (9, 'AUTOMATICRFQGENERATION', '0');
INSERT INTO CATEGORYSETTING VALUES (9, 'GENERATIONINTERVAL', '30');
)";

Variant Names(std::vector<const char*> names) {
  std::vector<Variant> items;
  for (const char* name : names) items.emplace_back(name);
  return Variant(Array::Of(std::move(items)));
}

// GetCategoryFields called late-bound, as the library calls it.
DictionaryPtr CategoryFields(Variant category_id, Variant names) {
  auto category = CreateObject("Morrowfen.Category");
  std::vector<Variant> args{std::move(category_id), std::move(names)};
  return category->Invoke("GetCategoryFields", args).As<Dictionary>();
}

// A TOML basic string holding `text`.
std::string TomlString(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') quoted.push_back('\\');
    quoted.push_back(c);
  }
  return quoted + "\"";
}

// A configuration folder with a store whose "EContract" connection is `connection_string`.
class Stores {
 public:
  void Write(const std::string& store, const std::string& connection_string) {
    folder_.Write(store + ".toml",
                  "[ConnectionStrings]\nEContract = " + TomlString(connection_string) +
                      "\n\n[CONNECTIONS]\n"
                      "EContractConnection_CommandTimeout = \"30\"\n"
                      "EContractConnection_ConnectionTimeout = \"\"\n");
  }
  void Remove(const std::string& store) { std::filesystem::remove(folder_ / (store + ".toml")); }
  const TempFolder& Folder() const { return folder_; }

 private:
  TempFolder folder_;
  ScopedEnv env_{"CARVALEN_CONFIG_DIR", folder_.Path().string()};
};

class CategoryTest : public test::DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    if (IsSkipped()) return;
    db().Exec(kSettings);
    stores_.Write("Vendra", db().ConnectionString());
  }

  Stores stores_;
  std::int64_t connections_before_ = db::OpenConnectionCount();
};

TEST_P(CategoryTest, AnswersTheAskedFieldsThatHaveRows) {
  const auto answer = CategoryFields(
      Variant(std::int32_t{4}),
      Names({"GENERATIONINTERVAL", "NOSUCHFIELD", "AUTOMATICRFQGENERATION", "buyergroup"}));
  ASSERT_EQ(answer->Count(), 2);
  const auto& entries = answer->Entries();
  EXPECT_EQ(entries[0].first, Variant("GENERATIONINTERVAL"));
  EXPECT_TRUE(entries[0].second.IsNull());
  EXPECT_EQ(entries[1].first, Variant("AUTOMATICRFQGENERATION"));
  EXPECT_EQ(entries[1].second, Variant("1"));
  EXPECT_EQ(db::OpenConnectionCount(), connections_before_);

  const auto other = CategoryFields(Variant(std::int32_t{9}),
                                    Names({"AUTOMATICRFQGENERATION", "GENERATIONINTERVAL"}));
  ASSERT_EQ(other->Count(), 2);
  EXPECT_EQ(other->Item(Variant("AUTOMATICRFQGENERATION")), Variant("0"));
  EXPECT_EQ(other->Item(Variant("GENERATIONINTERVAL")), Variant("30"));

  EXPECT_EQ(CategoryFields(Variant(std::int32_t{77}), Names({"GENERATIONINTERVAL"}))->Count(), 0);
  EXPECT_EQ(db::OpenConnectionCount(), connections_before_);
}

TEST_P(CategoryTest, ConvertsTheIdAndWritesItBack) {
  auto category = CreateObject("Morrowfen.Category");
  EXPECT_EQ(category->ClassName(), "Morrowfen.Category");
  std::vector<Variant> args{Variant("4"), Names({"BUYERGROUP", "BUYERGROUP"})};
  const auto answer = category->Invoke("getcategoryfields", args).As<Dictionary>();
  EXPECT_EQ(args[0], Variant(std::int32_t{4}));
  ASSERT_EQ(answer->Count(), 1);
  EXPECT_EQ(answer->Item(Variant("BUYERGROUP")), Variant("North"));
}

TEST_P(CategoryTest, SendsOneTracedQueryWithTheIdAsDigits) {
  const auto trace = stores_.Folder() / "trace.jsonl";
  {
    ScopedEnv tracing("CARVALEN_SQL_TRACE", trace.string());
    CategoryFields(Variant(std::int32_t{-4}), Names({"GENERATIONINTERVAL"}));
  }
  std::vector<std::string> queries;
  std::istringstream lines(ReadFile(trace));
  for (std::string line; std::getline(lines, line);) {
    const auto event = nlohmann::json::parse(line);
    if (event["event"] == "query") queries.push_back(event["sql"]);
  }
  EXPECT_EQ(queries, std::vector<std::string>{
                         "SELECT FIELDNAME,FIELDVALUE FROM CATEGORYSETTING WHERE CATEGORYID = -4"});
}

TEST_P(CategoryTest, FallsBackToTheSecondStore) {
  stores_.Remove("Vendra");
  stores_.Write("Zandril", db().ConnectionString());
  const auto answer = CategoryFields(Variant(std::int32_t{4}), Names({"BUYERGROUP"}));
  EXPECT_EQ(answer->Item(Variant("BUYERGROUP")), Variant("North"));
}

TEST_P(CategoryTest, ClosesTheConnectionWhenTheQueryFails) {
  db().Exec("DROP TABLE CATEGORYSETTING");
  EXPECT_THROW(CategoryFields(Variant(std::int32_t{4}), Names({"X"})), Error);
  EXPECT_EQ(db::OpenConnectionCount(), connections_before_);
}

CARVALEN_INSTANTIATE_DATABASE_TESTS(CategoryTest);

TEST(Category, FailsWhenTheDatabaseCannotBeOpened) {
  Stores stores;
  stores.Write("Vendra",
               "Provider=SQLite;Data Source=" + (stores.Folder() / "missing.db").string());
  const std::int64_t before = db::OpenConnectionCount();
  EXPECT_THROW(CategoryFields(Variant(std::int32_t{4}), Names({"X"})), Error);
  EXPECT_EQ(db::OpenConnectionCount(), before);
}

TEST(Category, FailsWithoutAConfigurationStore) {
  Stores stores;
  const Error error = ErrorOf([] { CategoryFields(Variant(std::int32_t{4}), Names({"X"})); });
  EXPECT_EQ(error.Number(), static_cast<std::int32_t>(0x8004041Du));
  EXPECT_EQ(error.Source(), "Morrowfen.Category");
}

// With no store to read, any error but 0x8004041D shows the arguments were checked first.
TEST(Category, RejectsBadArgumentsFirst) {
  Stores stores;
  const struct {
    Variant id;
    Variant names;
    std::int32_t number;
  } cases[] = {
      {Variant(std::int32_t{4}), Variant("GENERATIONINTERVAL"), 13},
      {Variant(std::int32_t{4}), Variant::UnallocatedArray(), 9},
      {Variant(std::int32_t{4}), Variant(Array(0, 1, 0, 1)), 13},
      {Variant(std::int32_t{4}), Variant(Array::Of({Variant::Null()})), 94},
      {Variant::Null(), Names({"X"}), 94},
      {Variant("four"), Names({"X"}), 13},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ErrorOf([&] { CategoryFields(c.id, c.names); }).Number(), c.number)
        << c.id.TypeName() << ", " << c.names.TypeName();
  }

  auto category = CreateObject("Morrowfen.Category");
  std::vector<Variant> one{Variant(std::int32_t{4})};
  EXPECT_EQ(ErrorOf([&] { category->Invoke("GetCategoryFields", one); }).Number(), 450);
  EXPECT_EQ(ErrorOf([&] { category->Invoke("GetCategory", one); }).Number(), 438);
}

}  // namespace
}  // namespace carvalen
