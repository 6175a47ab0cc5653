// The demo generator: its fixed seed and tables, the shape of a row, and the generator whose
// random contracts (rows.cpp) and hand-written ones (fixed_contracts.cpp) fill the tables.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "carvalen/enums.hpp"
#include "carvalen/variant.hpp"
#include "demo/demo.hpp"
#include "demo/writer.hpp"

namespace carvalen::demo {

constexpr std::uint64_t kSeed = 20260610;
constexpr std::int64_t kFirstPartner = 501;
constexpr std::int64_t kFirstProduct = 7001;
constexpr std::int64_t kFirstQuotation = 1000;

struct Category {
  std::int64_t id;
  const char* name;
  const char* unit;
  std::array<const char*, 6> items;
  std::array<const char*, 4> sizes;
};

constexpr Category kCategories[] = {
    {10,
     "Fasteners",
     "PCE",
     {"Hex bolt", "Socket head screw", "Flat washer", "Hex nut", "Threaded rod", "Wall anchor"},
     {"M6", "M8", "M10", "M12"}},
    {20,
     "Office supplies",
     "BOX",
     {"Copier paper A4 80g", "Ballpoint pen blue", "Toner cartridge", "Archive box", "Sticky notes",
      "Ring binder"},
     {"standard", "premium", "recycled", "bulk pack"}},
    {30,
     "Electrical",
     "M",
     {"Installation cable NYM-J", "Circuit breaker", "LED panel", "Junction box", "Cable tie",
      "Earthing clamp"},
     {"3x1.5", "5x2.5", "16A", "IP65"}},
    {40,
     "Packaging",
     "PCE",
     {"Corrugated carton", "Stretch film", "Euro pallet", "Packing tape", "Bubble wrap",
      "Edge protector"},
     {"small", "medium", "large", "heavy duty"}},
    {50,
     "Lab consumables",
     "BOX",
     {"Nitrile gloves", "Pipette tips", "Petri dish", "Sample vial", "Ethanol 70%", "Filter paper"},
     {"S", "M", "L", "sterile"}},
};
constexpr int kCategoryCount = static_cast<int>(std::size(kCategories));

constexpr const char* kPartnerFirst[] = {"Acme",    "Nordwerk", "Bluestone", "Kestrel",
                                         "Vantor",  "Orbis",    "Halden",    "Miraflex",
                                         "Tessaro", "Corvane",  "Lindqvist", "Brightwell"};
constexpr const char* kPartnerSecond[] = {"Fasteners GmbH", "Industrial AB", "Supply Ltd",
                                          "Components Inc", "Trading BV",    "Werke AG"};
constexpr const char* kCurrencies[] = {"EUR", "USD", "EUR", "GBP", "SEK", "EUR", "CHF", "USD"};

constexpr double kPriceLadders[][4] = {
    {10, 50, 100, 0}, {1, 25, 250, 1000}, {100, 500, 1000, 5000}, {5, 20, 0, 0}};

using Status = EContractLineStatus;
using AttachmentStatus = EContractAttachmentStatus;
using ExportStatus = EContractExportStatus;

class Random {
 public:
  explicit Random(std::uint64_t seed) : gen_(seed) {}
  // Modulo keeps the stream identical on every standard library, unlike the distributions.
  int Below(int n) { return static_cast<int>(gen_() % static_cast<std::uint64_t>(n)); }
  bool Percent(int p) { return Below(100) < p; }
  template <class T, std::size_t N>
  const T& Pick(const T (&items)[N]) {
    return items[Below(static_cast<int>(N))];
  }

 private:
  std::mt19937_64 gen_;
};

inline double Cents(double value) { return std::round(value * 100.0) / 100.0; }

struct Attachment {
  std::optional<std::int64_t> line;  // none: a header attachment
  std::int64_t revision;
  std::string description;
  std::string type;
  int internal;
  AttachmentStatus status;
};

struct UserData {
  const char* code;
  const char* description;
  std::optional<std::string_view> cost_type;
  int numeric;
  std::string value;
};

struct Bis {
  ExportStatus export_status;
  std::optional<std::string> backend_header;
  std::optional<std::string> backend_line;
  std::optional<std::string> error;
  int prevent;
};

struct Line {
  std::int64_t header = 0;
  std::int64_t line = 0;
  std::optional<std::int64_t> quotation;
  std::optional<std::int64_t> rfq;
  std::int64_t product = 0;
  int category = 0;  // index into kCategories, from the product
  std::optional<std::string> currency;
  std::string buyer;
  std::int64_t supplier = 0;
  Status status = Status::Active;
  const char* origin = "RFQ";
  double quantity = 0;
  double price = 0;
  std::optional<double> discount_percentage = 0.0;
  std::optional<double> discount_amount = 0.0;
  int effective_day = 0;
  std::optional<int> expiry_day;
  const char* expiry_time = "00:00:00";
  std::optional<std::string> remark;
  std::optional<int> order_interval;
  double handling = 0;
  double freight = 0;
  double tax = 0;
  int include_price_breaks = 0;
  int include_discount_breaks = 0;
  std::optional<int> min_quantity_breaks = 0;
  int rfq_generated = 0;
  double called = 0;
  double invoiced = 0;
  std::optional<double> landed_cost;
  const char* payment_term = "NET30";
  const char* payment_method = "Bank transfer";
  std::optional<std::string_view> packaging_term;
  const char* shipping_method = "Road";
  const char* service_level = "Standard";
  std::optional<std::string_view> warranty_term;
  std::optional<std::string_view> penalty_term;

  std::vector<std::pair<double, double>> prices;  // quantity, price
  std::vector<std::array<double, 3>> discounts;   // quantity, percentage, amount
  std::vector<Attachment> attachments;
  std::vector<UserData> user_data;
  std::vector<Bis> bis;
};

class Generator {
 public:
  Generator(Database& db, std::int64_t total, std::function<void(std::int64_t)> progress);

  void Run(DemoSummary& summary);

 private:
  static constexpr int kDays = 2500;

  std::int64_t Product(int category) {
    return kFirstProduct + category +
           std::int64_t{kCategoryCount} * random_.Below(static_cast<int>(products_per_category_));
  }
  static int CategoryOf(std::int64_t product) {
    return static_cast<int>((product - kFirstProduct) % kCategoryCount);
  }
  static std::string PartNumber(std::int64_t product) {
    static constexpr const char* kPrefix[] = {"FAS", "OFF", "ELE", "PAC", "LAB"};
    return fmt::format("{}-{}", kPrefix[CategoryOf(product)], product);
  }
  static std::string Description(std::int64_t product) {
    const Category& c = kCategories[CategoryOf(product)];
    const std::int64_t k = (product - kFirstProduct) / kCategoryCount;
    return fmt::format("{} {}", c.items[k % c.items.size()],
                       c.sizes[(k / c.items.size()) % c.sizes.size()]);
  }
  // A list price per product, so that suppliers of one product quote similar prices.
  static double ListPrice(std::int64_t product) {
    return 0.5 + static_cast<double>((product * 7919) % 49950) / 100.0;
  }
  static std::string PartnerName(std::int64_t partner) {
    const std::int64_t p = partner - kFirstPartner;
    return fmt::format("{} {}", kPartnerFirst[p % std::size(kPartnerFirst)],
                       kPartnerSecond[(p / std::size(kPartnerFirst)) % std::size(kPartnerSecond)]);
  }
  static const char* PartnerCurrency(std::int64_t partner) {
    return kCurrencies[(partner - kFirstPartner) % std::size(kCurrencies)];
  }

  std::string Day(int offset) const {
    const int index = std::clamp(offset, -kDays, kDays) + kDays;
    return days_[static_cast<std::size_t>(index)];
  }
  std::string Stamp(int offset, std::string_view time = "00:00:00") const {
    return Day(offset) + " " + std::string(time);
  }
  std::optional<std::string> Stamp(std::optional<int> offset, std::string_view time) const {
    if (!offset) return std::nullopt;
    return Stamp(*offset, time);
  }

  // The random contracts (rows.cpp).
  void WriteHeader(std::int64_t id, std::int64_t partner, std::optional<int> category);
  AttachmentStatus RandomAttachmentStatus();
  void WriteAttachment(std::int64_t header, const Attachment& a);
  // A line with plausible values for its status; details (breaks, attachments...) come later.
  Line NewLine(std::int64_t header, std::int64_t number, std::int64_t partner,
               std::int64_t product);
  // Breaks, attachments, user data and back-end records, as often as they occur in practice.
  void RandomDetails(Line& l);
  UserData UserDataField(int which, const Line& l);
  void Write(const Line& l);

  // The hand-written rows (fixed_contracts.cpp).
  void WriteCategorySettings();
  void WriteFixedContracts();

  std::int64_t total_;
  std::int64_t partners_;
  std::int64_t products_per_category_;
  std::function<void(std::int64_t)> progress_;
  Random random_{kSeed};
  std::vector<std::string> days_;
  std::int64_t headers_ = 0;
  std::int64_t lines_ = 0;
  std::int64_t attachments_ = 0;
  std::int64_t bis_records_ = 0;
  std::unordered_set<std::uint64_t> active_;  // partner << 32 | product of each Active line
  Insert header_;
  Insert line_;
  Insert price_;
  Insert discount_;
  Insert attachment_;
  Insert user_data_;
  Insert bis_;
  Insert setting_;
};

}  // namespace carvalen::demo
