// Bulk pricing: the active lines of many partner/product requests at once, each with its unit
// price and discount at the requested quantity, found by the same break look-ups as the
// single-line operations but with both discount figures kept and no fall-back price.
#include "contract/bulk_pricing.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "carvalen/contract.hpp"
#include "carvalen/enums.hpp"
#include "carvalen/error.hpp"
#include "components/utilities.hpp"
#include "contractline/breaks.hpp"
#include "db/client.hpp"
#include "frame/operation.hpp"
#include "frame/procedures.hpp"
#include "frame/reporter.hpp"

namespace carvalen {
namespace contract {

IUtilities& PricingUtilities() {
  // The one datum that outlives a call; a thread never shares it, so it needs no lock.
  thread_local components::Utilities utilities;
  return utilities;
}

}  // namespace contract

namespace {

constexpr const char* kOperation = "Carvalen.Contract.GetActiveContractLinesProc";

constexpr std::string_view kLineSelect =
    " SELECT CONTRACTHEADER.CONTRACTHEADERID,"
    " CONTRACTLINE.CONTRACTLINEID,CONTRACTLINE.PRICE,"
    " CONTRACTLINE.DISCOUNTAMOUNT,CONTRACTLINE.DISCOUNTPERCENTAGE,"
    " CONTRACTLINE.TAXPERCENTAGE,CONTRACTLINE.FREIGHTCHARGE,"
    " CONTRACTLINE.CURRENCYCODE,CONTRACTLINE.INCLUDEPRICEBREAKUP,"
    " CONTRACTLINE.INCLUDEDISCOUNTBREAKUP,CONTRACTLINE.PRODUCTID,"
    " CONTRACTLINE.MINQTYBREAKUP"
    " FROM CONTRACTHEADER, CONTRACTLINE WHERE (";
constexpr std::string_view kLineJoin =
    ") AND CONTRACTLINE.CONTRACTHEADERID = CONTRACTHEADER.CONTRACTHEADERID"
    " AND CONTRACTLINE.CONTRACTSTATUS = ";
constexpr std::string_view kGroupPartner = " (CONTRACTHEADER.BUSINESSPARTNERID = ";
constexpr std::string_view kGroupProduct = " AND CONTRACTLINE.PRODUCTID = ";

void CloseIfOpen(db::RecordsetPtr& recordset) {
  if (recordset && recordset->State() == db::kStateOpen) frame::CloseRecordset(recordset);
  recordset.reset();
}

// What pricing reads of a request: entry i's partner and product, converted in the order the
// statement names them, and its quantity, converted only when a break look-up needs it.
class Requests {
 public:
  virtual ~Requests() = default;
  virtual std::size_t Count() const = 0;
  virtual std::int32_t Partner(std::size_t i) const = 0;
  virtual std::int32_t Product(std::size_t i) const = 0;
  virtual double Quantity(std::size_t i) const = 0;
  /// Whether no two entries name one product, so that a statement's rows only ever need the
  /// entries of that statement.
  virtual bool DistinctProducts() const = 0;
};

// A dictionary of Variants: each conversion fails as the caller's value makes it fail.
class DictionaryRequests final : public Requests {
 public:
  explicit DictionaryRequests(const Dictionary& request) : entries_(request.Entries()) {}
  std::size_t Count() const override { return entries_.size(); }
  std::int32_t Partner(std::size_t i) const override {
    return entries_[i].second.GetArray().At(0).ToLong();  // 13 for anything but an array
  }
  std::int32_t Product(std::size_t i) const override { return entries_[i].first.ToLong(); }
  double Quantity(std::size_t i) const override {
    return entries_[i].second.GetArray().At(1).ToDouble();
  }
  // Keys "7" and 7.4 are two entries of one product.
  bool DistinctProducts() const override { return false; }

 private:
  const std::vector<Dictionary::Entry>& entries_;
};

class CompactRequests final : public Requests {
 public:
  explicit CompactRequests(const contract::PricingRequest& request) : asks_(request.Asks()) {}
  std::size_t Count() const override { return asks_.size(); }
  std::int32_t Partner(std::size_t i) const override { return asks_[i].partner; }
  std::int32_t Product(std::size_t i) const override { return asks_[i].product; }
  double Quantity(std::size_t i) const override { return asks_[i].quantity; }
  bool DistinctProducts() const override { return true; }

 private:
  const std::vector<contract::PricingAsk>& asks_;
};

class DictionaryLines final : public contract::PricedLines {
 public:
  explicit DictionaryLines(Dictionary& result) : result_(result) {}
  void Add(const Variant& product, Array line) override {
    result_.Add(product, Variant(std::move(line)));
  }

 private:
  Dictionary& result_;
};

// One call's work: the request, the connection and the three record sets, and the entries of
// the requests by product id, so that a row finds its quantity without a walk over the request.
class Pricing {
 public:
  Pricing(const Requests& requests, IUtilities& utilities, const db::ConnectionPtr& connection,
          const db::RecordsetPtr& lines, const db::RecordsetPtr& price_breaks,
          const db::RecordsetPtr& discount_breaks)
      : requests_(requests),
        utilities_(utilities),
        connection_(connection),
        lines_(lines),
        price_breaks_(price_breaks),
        discount_breaks_(discount_breaks),
        status_(frame::StatusDigit(EContractLineStatus::Active)),
        batched_(requests.Count() > std::size_t{contract::kPricingBatch}) {}

  // Requests [begin, end) as one line statement; the rows it finds go to `out` in the order
  // the database returns them. An empty range still sends the statement: with nothing between
  // its parentheses the database rejects it, as an empty request always has been.
  void PriceBatch(std::size_t begin, std::size_t end, contract::PricedLines& out) {
    // Distinct products: a row only ever asks for an entry of its own statement, so the map
    // stays the size of a batch however large the request.
    if (requests_.DistinctProducts()) items_.clear();
    lines_->Open(LineStatement(begin, end), connection_, db::CursorType::Keyset,
                 db::LockType::ReadOnly, -1);
    while (!lines_->Eof()) {
      if (!DeliveredBefore()) PriceRow(out);
      lines_->MoveNext();
    }
    lines_->Close();
    for (LineKey& key : delivering_) delivered_.insert(std::move(key));
    delivering_.clear();
  }

 private:
  std::string LineStatement(std::size_t begin, std::size_t end) {
    std::string sql;
    sql.reserve(kLineSelect.size() + kLineJoin.size() + 90 * (end - begin) + 8);
    sql += kLineSelect;
    for (std::size_t i = begin; i < end; ++i) {
      sql += kGroupPartner;
      sql += utilities_.FormatSqlNumber(requests_.Partner(i));
      sql += kGroupProduct;
      const std::int32_t product = requests_.Product(i);
      sql += utilities_.FormatSqlNumber(product);
      sql += ')';
      if (i + 1 != end) sql += " OR";
      // Two keys naming one product: the first one's quantity prices its line.
      items_.emplace(product, i);
    }
    sql += kLineJoin;
    sql += status_;
    return sql;
  }

  // Whether an earlier statement already delivered this line: one statement over the whole
  // request finds each line once, however many of its requests lead to it (a product under two
  // keys of one partner), while two lines of one product still fail as they would there. A line
  // is known by its header, line and product ids exactly as read (type and value, Null too):
  // rows equal in all three are matched by the same groups, so they always meet in one
  // statement, and any conversion could merge two lines (1.5 and 2) or fail where one statement
  // would not.
  bool DeliveredBefore() {
    if (!batched_) return false;
    LineKey key{lines_->Field("CONTRACTHEADERID"), lines_->Field("CONTRACTLINEID"),
                lines_->Field("PRODUCTID")};
    if (delivered_.contains(key)) return true;
    delivering_.push_back(std::move(key));
    return false;
  }

  // The quantity asked for the row's product, read only when a break look-up needs it.
  double Quantity(const Variant& product) const {
    auto found = items_.find(product.ToLong());
    if (found == items_.end()) throw Error::Runtime(errnum::kSubscriptOutOfRange);
    return requests_.Quantity(found->second);
  }

  void PriceRow(contract::PricedLines& out) {
    const db::Recordset& row = *lines_;
    double price = 0.0;
    double percentage = 0.0;
    double amount = 0.0;
    bool price_found = true;
    bool discount_found = true;
    // Read for every row, first: a NULL fails even a line that uses no breaks.
    const bool from_below = row.Field("MINQTYBREAKUP").ToBool();

    if (contractline::BreaksSwitchedOff(row.Field("INCLUDEPRICEBREAKUP"))) {
      price = row.Field("PRICE").ToDouble();
    } else {
      const BreakKey at = BreakAt(row);
      price_breaks_->Open(
          contractline::PriceBreakSql(utilities_, at.header, at.line, from_below, at.quantity),
          connection_, db::CursorType::ForwardOnly, db::LockType::ReadOnly, -1);
      // No break applies: price 0 and say so; there is no fall-back price here.
      if (price_breaks_->Eof()) {
        price_found = false;
      } else {
        price = price_breaks_->Field("PRICE").ToDouble();
      }
      price_breaks_->Close();
    }

    if (contractline::BreaksSwitchedOff(row.Field("INCLUDEDISCOUNTBREAKUP"))) {
      percentage = row.Field("DISCOUNTPERCENTAGE").ToDouble();
      amount = row.Field("DISCOUNTAMOUNT").ToDouble();
    } else {
      const BreakKey at = BreakAt(row);
      discount_breaks_->Open(
          contractline::DiscountBreakSql(utilities_, at.header, at.line, from_below, at.quantity),
          connection_, db::CursorType::ForwardOnly, db::LockType::ReadOnly, -1);
      if (discount_breaks_->Eof()) {
        discount_found = false;
      } else {
        percentage = discount_breaks_->Field("DISCOUNTPERCENTAGE").ToDouble();
        amount = discount_breaks_->Field("DISCOUNTAMOUNT").ToDouble();
      }
      discount_breaks_->Close();
    }

    // Both discount figures as found: the caller decides between them.
    Array entry(0, 9);
    entry.At(0) = row.Field("CONTRACTHEADERID");
    entry.At(1) = row.Field("CONTRACTLINEID");
    entry.At(2) = Variant(price);
    entry.At(3) = Variant(percentage);
    entry.At(4) = Variant(amount);
    entry.At(5) = row.Field("CURRENCYCODE");
    entry.At(6) = row.Field("TAXPERCENTAGE");
    entry.At(7) = row.Field("FREIGHTCHARGE");
    entry.At(8) = Variant(price_found);
    entry.At(9) = Variant(discount_found);
    // A product met twice (in this statement or an earlier one) fails here with 457.
    out.Add(row.Field("PRODUCTID"), std::move(entry));
  }

  // What a break look-up formats, converted in the order its statement names them (header id,
  // line id, quantity), so that a row bad in two ways fails with the first one's error.
  struct BreakKey {
    std::int32_t header;
    std::int32_t line;
    double quantity;
  };
  BreakKey BreakAt(const db::Recordset& row) const {
    const std::int32_t header = row.Field("CONTRACTHEADERID").ToLong();
    const std::int32_t line = row.Field("CONTRACTLINEID").ToLong();
    const double quantity = Quantity(row.Field("PRODUCTID"));
    return {header, line, quantity};
  }

  struct LineKey {
    Variant header;
    Variant line;
    Variant product;
    bool operator==(const LineKey&) const = default;
  };
  // Over values the database holds, not ones a caller picks: a plain hash will do.
  struct LineKeyHash {
    static std::size_t Of(const Variant& value) {
      switch (value.Type()) {
        case VarType::Integer:
        case VarType::Long:
        case VarType::LongLong:
          return std::hash<std::int64_t>{}(value.RawInteger());
        case VarType::Double:
          return std::hash<double>{}(value.RawDouble());
        case VarType::String:
          return std::hash<std::string>{}(value.RawString());
        default:
          return static_cast<std::size_t>(value.Type());
      }
    }
    std::size_t operator()(const LineKey& key) const {
      return Of(key.header) ^ (Of(key.line) * 31) ^ (Of(key.product) * 1009);
    }
  };

  const Requests& requests_;
  IUtilities& utilities_;
  const db::ConnectionPtr& connection_;
  const db::RecordsetPtr& lines_;
  const db::RecordsetPtr& price_breaks_;
  const db::RecordsetPtr& discount_breaks_;
  std::string status_;
  std::unordered_map<std::int32_t, std::size_t> items_;
  bool batched_;  // more than one statement: lines must be told apart across them
  std::unordered_set<LineKey, LineKeyHash> delivered_;  // lines of the statements before this one
  std::vector<LineKey> delivering_;                     // lines of this one
};

}  // namespace

namespace contract {

void PriceInBulk(const Object* request, PricedLines& out) {
  db::ConnectionPtr connection;
  db::RecordsetPtr lines;
  db::RecordsetPtr price_breaks;
  db::RecordsetPtr discount_breaks;
  auto close_all = [&] {
    frame::CloseConnection(connection);
    CloseIfOpen(lines);
    CloseIfOpen(price_breaks);
    CloseIfOpen(discount_breaks);
  };
  frame::Trap(
      kOperation, false,
      [&] {
        lines = db::Recordset::Create();
        price_breaks = db::Recordset::Create();
        discount_breaks = db::Recordset::Create();
        connection = frame::GetSourceConnection();
        if (request == nullptr) throw Error::Runtime(errnum::kObjectNotSet);

        std::optional<DictionaryRequests> by_dictionary;
        std::optional<CompactRequests> compact;
        const Requests* requests = nullptr;
        if (const auto* dictionary = dynamic_cast<const Dictionary*>(request)) {
          requests = &by_dictionary.emplace(*dictionary);
        } else if (const auto* plain = dynamic_cast<const PricingRequest*>(request)) {
          requests = &compact.emplace(*plain);
        } else {
          throw Error::Runtime(errnum::kTypeMismatch);
        }

        // Consecutive statements of at most kPricingBatch requests, in the request's order;
        // together they find exactly the rows one statement over the whole request would, each
        // line once.
        Pricing pricing(*requests, PricingUtilities(), connection, lines, price_breaks,
                        discount_breaks);
        const std::size_t count = requests->Count();
        // Every entry is converted before the first statement goes out: a bad one anywhere fails
        // the call with nothing sent, as it does when the request fits one statement.
        for (std::size_t i = 0; count > kPricingBatch && i < count; ++i) {
          static_cast<void>(requests->Partner(i));
          static_cast<void>(requests->Product(i));
        }
        std::size_t begin = 0;
        do {
          const std::size_t end = std::min(count, begin + std::size_t{kPricingBatch});
          pricing.PriceBatch(begin, end, out);
          begin = end;
        } while (begin < count);
        close_all();
      },
      [&] {
        close_all();
        return Variant::Missing();
      });
}

}  // namespace contract

DictionaryPtr Contract::GetActiveContractLinesProc(const DictionaryPtr& i_oDicBPProductQuan) {
  DictionaryPtr result = Dictionary::Create();
  DictionaryLines lines(*result);
  contract::PriceInBulk(i_oDicBPProductQuan.get(), lines);
  return result;
}

}  // namespace carvalen
