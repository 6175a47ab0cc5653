// The demo database. Everything is generated from one fixed seed, with dates relative to today,
// so a given --size always gives the same rows (only the calendar moves). The first two
// contracts are written by hand, so that the examples in the documentation hold:
//
//   Category settings (CATEGORYSETTING): 10 Fasteners AUTOMATICRFQGENERATION "True",
//   GENERATIONINTERVAL "30"; 20 Office supplies "True", "" (blank: 0 days); 30 Electrical
//   "False", "60"; 40 Packaging "True", "14"; 50 Lab consumables has no settings at all.
//   About one contract in six has no category.
//
//   Partners 501 and 502 have one contract each (headers 1 and 2); later contracts belong to
//   partners from 503 on, several contracts to many of them.
//
//   Header 1: partner 501 (Acme Fasteners GmbH, EUR), category 10. Attachments 1 (TERMS, Active)
//   and 2 (PRICELIST, Approved, revision 2) belong to the header.
//     Line 1: Active, product 7001, quotation 1001, buyer B01, EUR, tax 8, freight 5, handling 2,
//             expires in 20 days (due for an RFQ), RFQGENERATED 0, quantity 5000 (called 1200,
//             invoiced 800). Price breaks 10/50/100 at 9/8/7, MINQTYBREAKUP 1; discount breaks
//             50 -> 10 % and 1000 -> amount 1.5. Attachments 3 (TDS, Active) and 4 (DRAWING,
//             Under Approval); user data UD01 "CC-4100" and UD03 "2.5" (numeric); BIS 1
//             (Exported, PREVENTTRANSACTION 0) and BIS 2 (Open, PREVENTTRANSACTION 1).
//     Line 2: Active, product 7006, quotation 1002, open-ended (no expiry). Price breaks
//             10/50/100 at 9/8/7 with MINQTYBREAKUP 0; no discount breaks, discount amount 0.5.
//     Line 3: expired, product 7001, quotation 1003, own price 9.5, discount 5 % and amount 20.
//     Line 4: Under Approval, product 7001, quotation 1004, starts in 10 days (overlaps line 1).
//     Line 5: Active, product 7011, quotation 1005, uses price breaks but has none,
//             RFQGENERATED 1.
//     Line 6: Create, product 7016, no quotation, no currency yet (NULL).
//   Header 2: partner 502 (Nordwerk Industrial AB, USD), category 10, a second supplier of 7001.
//     Line 1: Active, product 7001, quotation 1007, own price 8.75, expired 3 days ago but still
//             Active. Line 2: Active, product 7006, quotation 1008, expires in 45 days.
//     Line 3: expired, product 7011, quotation 1009.
//   Every further line i (counting from 1 over all lines) has quotation 1000 + i, or none.
#include "demo/rows.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "carvalen/enums.hpp"
#include "carvalen/variant.hpp"

namespace carvalen::demo {
namespace {

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

double Cents(double value) { return std::round(value * 100.0) / 100.0; }

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
  Generator(Database& db, std::int64_t total, std::function<void(std::int64_t)> progress)
      : total_(total),
        partners_(std::clamp<std::int64_t>(total / 20, 12, 20000)),
        products_per_category_(std::clamp<std::int64_t>(total / 25, 8, 40000)),
        progress_(std::move(progress)),
        header_(db, "CONTRACTHEADER"),
        line_(db, "CONTRACTLINE"),
        price_(db, "CONTRACTPRICE"),
        discount_(db, "CONTRACTDISCOUNT"),
        attachment_(db, "CONTRACTATTACHMENT"),
        user_data_(db, "CONTRACTUSERDATA"),
        bis_(db, "CONTRACTLINEBIS"),
        setting_(db, "CATEGORYSETTING") {
    const Date today = Date::Today();
    for (int offset = -kDays; offset <= kDays; ++offset) {
      days_.push_back(today.AddDays(offset).ToText(' ').substr(0, 10));
    }
  }

  void Run(DemoSummary& summary) {
    WriteCategorySettings();
    WriteFixedContracts();
    while (lines_ < total_) {
      const std::int64_t header = ++headers_;
      // Partners 501 and 502 keep their one hand-written contract each.
      const std::int64_t partner = kFirstPartner + 2 + random_.Below(static_cast<int>(partners_));
      const int roll = random_.Below(12);
      const std::optional<int> category =
          roll < 2 ? std::nullopt : std::optional<int>(roll % kCategoryCount);
      WriteHeader(header, partner, category);
      const std::int64_t count = std::min<std::int64_t>(1 + random_.Below(12), total_ - lines_);
      for (std::int64_t l = 1; l <= count; ++l) {
        const int product_category = category ? *category : random_.Below(kCategoryCount);
        Line line = NewLine(header, l, partner, Product(product_category));
        RandomDetails(line);
        Write(line);
      }
    }
    summary.headers = header_.Rows();
    summary.lines = line_.Rows();
    summary.price_breaks = price_.Rows();
    summary.discount_breaks = discount_.Rows();
    summary.attachments = attachment_.Rows();
    summary.user_data = user_data_.Rows();
    summary.bis_records = bis_.Rows();
  }

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

  void WriteCategorySettings() {
    struct Setting {
      std::int64_t category;
      const char* name;
      std::optional<std::string_view> value;
    };
    static const Setting kSettings[] = {
        {10, "AUTOMATICRFQGENERATION", "True"},
        {10, "GENERATIONINTERVAL", "30"},
        {10, "DEFAULTBUYER", "B01"},
        {20, "AUTOMATICRFQGENERATION", "True"},
        {20, "GENERATIONINTERVAL", ""},
        {30, "AUTOMATICRFQGENERATION", "False"},
        {30, "GENERATIONINTERVAL", "60"},
        {40, "AUTOMATICRFQGENERATION", "True"},
        {40, "GENERATIONINTERVAL", "14"},
        {40, "DEFAULTBUYER", std::nullopt},
    };
    for (const Setting& s : kSettings) {
      setting_ << s.category << s.name << s.value;
      setting_.Row();
    }
  }

  void WriteHeader(std::int64_t id, std::int64_t partner, std::optional<int> category) {
    std::string name = fmt::format("{} {} agreement {}", PartnerName(partner),
                                   category ? kCategories[*category].name : "general",
                                   Day(-static_cast<int>(id % 700)).substr(0, 4));
    header_ << id << partner;
    if (category) {
      header_ << kCategories[*category].id;
    } else {
      header_ << std::nullopt;
    }
    header_ << name;
    header_.Row();
    if (id > 2 && random_.Percent(60)) {
      static constexpr const char* kTypes[] = {"TERMS", "NDA", "PRICELIST", "CERT"};
      const int count = 1 + random_.Below(3);
      for (int i = 0; i < count; ++i) {
        WriteAttachment(id, Attachment{std::nullopt, 1 + random_.Below(3), "Contract document",
                                       random_.Pick(kTypes), random_.Percent(30) ? 1 : 0,
                                       RandomAttachmentStatus()});
      }
    }
  }

  AttachmentStatus RandomAttachmentStatus() {
    using enum EContractAttachmentStatus;
    static constexpr AttachmentStatus kStatuses[] = {Active,   Active,   Active, Active,
                                                     Approved, Approved, Create, UnderApproval,
                                                     Rejected, Expired};
    return random_.Pick(kStatuses);
  }

  void WriteAttachment(std::int64_t header, const Attachment& a) {
    const std::int64_t id = ++attachments_;
    std::string path =
        a.line ? fmt::format("/srv/carvalen/attachments/{}/{}/{}-r{}.pdf", header, *a.line, a.type,
                             a.revision)
               : fmt::format("/srv/carvalen/attachments/{}/{}-r{}.pdf", header, a.type, a.revision);
    attachment_ << id << header << a.line << a.revision << a.description << a.type << a.internal
                << a.status << path;
    attachment_.Row();
  }

  // A line with plausible values for its status; details (breaks, attachments...) come later.
  Line NewLine(std::int64_t header, std::int64_t number, std::int64_t partner,
               std::int64_t product) {
    Line l;
    l.header = header;
    l.line = number;
    const std::int64_t sequence = lines_ + 1;
    if (random_.Percent(96)) l.quotation = kFirstQuotation + sequence;
    if (random_.Percent(80)) l.rfq = 90000 + sequence;
    l.product = product;
    l.category = CategoryOf(product);
    l.currency = PartnerCurrency(partner);
    if (random_.Percent(1)) l.currency.reset();  // not agreed yet: it happens
    l.buyer = fmt::format("B{:02}", 1 + random_.Below(12));
    l.supplier = partner;

    const int roll = random_.Below(100);
    l.status = roll < 58   ? Status::Active
               : roll < 73 ? Status::Expired
               : roll < 81 ? Status::Create
               : roll < 88 ? Status::UnderApproval
               : roll < 92 ? Status::SupplierApproved
               : roll < 96 ? Status::Finalized
                           : Status::Rejected;
    switch (l.status) {
      case Status::Active: {
        l.effective_day = -(30 + random_.Below(400));
        const int r = random_.Below(100);
        if (r < 15) {
          l.expiry_day.reset();  // open-ended
        } else if (r < 35) {
          l.expiry_day = random_.Below(31);  // expires within 30 days
        } else if (r < 40) {
          l.expiry_day = -(1 + random_.Below(20));  // overdue, still Active
        } else {
          l.expiry_day = 31 + random_.Below(700);
        }
        break;
      }
      case Status::Expired:
        l.effective_day = -(400 + random_.Below(800));
        l.expiry_day = -(1 + random_.Below(380));
        break;
      case Status::Rejected:
        l.effective_day = -random_.Below(200);
        l.expiry_day = l.effective_day + 365;
        break;
      default:  // not yet in force
        l.effective_day = random_.Below(90);
        l.expiry_day = l.effective_day + (random_.Percent(50) ? 365 : 730);
        break;
    }
    const int time_roll = random_.Below(10);
    l.expiry_time = time_roll == 0 ? "23:59:59" : time_roll == 1 ? "08:00:00" : "00:00:00";

    static constexpr double kQuantities[] = {100, 250, 500, 1000, 2500, 5000, 10000, 20000, 50000};
    l.quantity = random_.Pick(kQuantities);
    if (l.status == Status::Active || l.status == Status::Expired) {
      l.called = std::round(l.quantity * random_.Below(101) / 100.0);
      l.invoiced = std::round(l.called * random_.Below(101) / 100.0);
    }
    l.price = Cents(ListPrice(product) * (0.9 + random_.Below(21) / 100.0));

    static constexpr double kHandling[] = {0, 0, 0, 2, 5, 12.5};
    static constexpr double kFreight[] = {0, 0, 5, 10, 25};
    static constexpr double kTax[] = {0, 7, 8, 19, 20};
    l.handling = random_.Pick(kHandling);
    l.freight = random_.Pick(kFreight);
    l.tax = random_.Pick(kTax);
    l.rfq_generated = l.status == Status::Active && random_.Percent(10) ? 1 : 0;
    static constexpr const char* kOrigins[] = {"RFQ", "RFQ", "Manual", "Catalog import"};
    l.origin = random_.Pick(kOrigins);
    if (random_.Percent(15)) {
      static constexpr const char* kRemarks[] = {
          "Prices reviewed quarterly", "Includes delivery to plant 2", "Minimum order value 500"};
      l.remark = random_.Pick(kRemarks);
    }
    static constexpr int kIntervals[] = {7, 14, 30, 0};
    if (int interval = random_.Pick(kIntervals); interval != 0) l.order_interval = interval;
    if (random_.Percent(70)) l.landed_cost = Cents(l.price * (1 + l.tax / 100) + l.freight);
    static constexpr const char* kPaymentTerms[] = {"NET30", "NET45", "NET60", "2/10 NET30"};
    static constexpr const char* kPaymentMethods[] = {"Bank transfer", "Direct debit",
                                                      "Credit card"};
    static constexpr const char* kShipping[] = {"Road", "Road", "Sea", "Air", "Courier"};
    static constexpr const char* kLevels[] = {"Standard", "Express", "Next day"};
    l.payment_term = random_.Pick(kPaymentTerms);
    l.payment_method = random_.Pick(kPaymentMethods);
    l.shipping_method = random_.Pick(kShipping);
    l.service_level = random_.Pick(kLevels);
    static constexpr const char* kPackaging[] = {"Standard", "Pallet", "Bulk"};
    if (random_.Percent(80)) l.packaging_term = random_.Pick(kPackaging);
    if (random_.Percent(60)) l.warranty_term = random_.Percent(50) ? "12 months" : "24 months";
    if (random_.Percent(30)) l.penalty_term = "0.5% per day of delay, at most 5%";
    return l;
  }

  // Breaks, attachments, user data and back-end records, as often as they occur in practice.
  void RandomDetails(Line& l) {
    const bool in_force =
        l.status == Status::Active || l.status == Status::Expired || l.status == Status::Finalized;
    if (in_force && random_.Percent(40)) {
      l.include_price_breaks = 1;
      l.min_quantity_breaks = random_.Below(2);
      const auto& ladder = random_.Pick(kPriceLadders);
      double step = 0;
      for (double quantity : ladder) {
        if (quantity == 0) break;
        l.prices.emplace_back(quantity, Cents(l.price * (1 - step)));
        step += 0.05;
      }
    }
    if (in_force && random_.Percent(25)) {
      l.include_discount_breaks = 1;
      if (!l.include_price_breaks) l.min_quantity_breaks = random_.Below(2);
      // The line's own discount is not used then; often it was never filled in.
      if (random_.Percent(50)) l.discount_percentage = l.discount_amount = std::nullopt;
      const auto& ladder = random_.Pick(kPriceLadders);
      static constexpr double kPercentages[] = {2, 3, 5, 7.5, 10};
      static constexpr double kAmounts[] = {0.25, 0.5, 1, 5};
      for (double quantity : ladder) {
        if (quantity == 0 || random_.Percent(30)) continue;
        if (random_.Percent(70)) {
          l.discounts.push_back({quantity, random_.Pick(kPercentages), 0});
        } else {
          l.discounts.push_back({quantity, 0, random_.Pick(kAmounts)});
        }
      }
    } else {
      const int r = random_.Below(100);
      if (r < 30) {
        l.discount_percentage = 2 + random_.Below(9);
      } else if (r < 45) {
        l.discount_amount = Cents(l.price * 0.05);
      } else if (r < 55) {
        l.discount_percentage = 5;
        l.discount_amount = 20;  // the percentage wins
      }
    }
    if (!l.include_price_breaks && !l.include_discount_breaks && random_.Percent(10)) {
      l.min_quantity_breaks.reset();  // unused, never filled in
    }

    if (random_.Percent(20)) {
      static constexpr const char* kTypes[] = {"TDS", "DRAWING", "SDS", "CERT"};
      const int count = 1 + random_.Below(2);
      for (int i = 0; i < count; ++i) {
        const char* type = random_.Pick(kTypes);
        l.attachments.push_back(Attachment{
            l.line, 1 + random_.Below(3), fmt::format("{} for {}", type, PartNumber(l.product)),
            type, random_.Percent(20) ? 1 : 0, RandomAttachmentStatus()});
      }
    }
    if (random_.Percent(30)) {
      const int first = random_.Below(4);
      const int count = 1 + random_.Below(3);
      for (int i = 0; i < count; ++i) l.user_data.push_back(UserDataField((first + i) % 4, l));
    }
    if ((l.status == Status::Active || l.status == Status::Expired) && random_.Percent(25)) {
      const int count = 1 + random_.Below(2);
      for (int i = 0; i < count; ++i) {
        const bool exported = random_.Percent(70);
        Bis b{exported ? ExportStatus::Exported : ExportStatus::Open, std::nullopt, std::nullopt,
              std::nullopt, random_.Percent(10) ? 1 : 0};
        if (exported) {
          b.backend_header = fmt::format("45{:08}", l.header);
          b.backend_line = fmt::format("{:05}", l.line * 10);
        } else if (random_.Percent(40)) {
          b.error = "Vendor not released for purchasing organisation 1000";
        }
        l.bis.push_back(std::move(b));
      }
    }
  }

  UserData UserDataField(int which, const Line& l) {
    switch (which) {
      case 0:
        return {"UD01", "Cost centre", "Overhead", 0, fmt::format("CC-{}", 4100 + l.category)};
      case 1:
        return {"UD02", "Project", std::nullopt, 0, fmt::format("PRJ-2026-{:03}", l.header % 97)};
      case 2:
        return {"UD03", "Surcharge %", "Surcharge", 1,
                fmt::format("{}", 0.5 * static_cast<double>(1 + l.line % 6))};
      default:
        return {"UD04", "Customs tariff number", std::nullopt, 0, "7318158290"};
    }
  }

  void Write(const Line& l) {
    const std::string effective = Stamp(l.effective_day);
    const std::optional<std::string> expiry = Stamp(l.expiry_day, l.expiry_time);
    const std::string created =
        Stamp(l.effective_day - 5 - static_cast<int>(l.line % 20), "10:30:00");
    const std::string description = Description(l.product);
    const double called_value = Cents(l.called * l.price);
    const double invoiced_value = Cents(l.invoiced * l.price);
    line_ << l.header << l.line << l.quotation << l.rfq << l.product << PartNumber(l.product)
          << description << fmt::format("Framework price for {}", description) << l.currency
          << l.buyer << l.supplier << l.status << l.origin << l.quantity << l.price
          << l.discount_percentage << l.discount_amount << effective << expiry << l.remark
          << created << effective << expiry << l.order_interval << l.handling << l.freight << l.tax
          << kCategories[l.category].unit << l.include_price_breaks << l.include_discount_breaks
          << l.min_quantity_breaks << l.rfq_generated << l.called << l.invoiced << called_value
          << invoiced_value << (l.bis.empty() ? 0 : 1)
          << (l.status >= Status::SupplierApproved && l.status != Status::Rejected ? 1 : 0)
          << l.landed_cost << l.payment_term << l.payment_method << l.packaging_term
          << l.shipping_method << l.service_level << l.warranty_term << l.penalty_term;
    line_.Row();
    for (const auto& [quantity, price] : l.prices) {
      price_ << l.header << l.line << quantity << price;
      price_.Row();
    }
    for (const auto& [quantity, percentage, amount] : l.discounts) {
      discount_ << l.header << l.line << quantity << percentage << amount;
      discount_.Row();
    }
    for (const Attachment& a : l.attachments) WriteAttachment(l.header, a);
    for (const UserData& u : l.user_data) {
      user_data_ << l.header << l.line << u.code << u.description << u.cost_type << u.numeric
                 << u.value;
      user_data_.Row();
    }
    for (const Bis& b : l.bis) {
      const std::int64_t id = ++bis_records_;
      bis_ << id << l.header << l.line << b.export_status << b.backend_header << b.backend_line
           << b.error << l.called << l.invoiced << called_value << invoiced_value << b.prevent
           << fmt::format("PS{:06}", l.header) << fmt::format("CS{:06}", l.header)
           << fmt::format("DS{:06}", l.header);
      bis_.Row();
    }
    ++lines_;
    if (progress_ && (lines_ % 5000 == 0 || lines_ == total_)) progress_(lines_);
  }

  // Contracts 1 and 2, written by hand (see the top of this file).
  void WriteFixedContracts() {
    headers_ = 2;
    WriteHeader(1, 501, 0);
    WriteAttachment(1, Attachment{std::nullopt, 1, "General terms and conditions", "TERMS", 0,
                                  AttachmentStatus::Active});
    WriteAttachment(1, Attachment{std::nullopt, 2, "Price list 2026", "PRICELIST", 1,
                                  AttachmentStatus::Approved});

    struct Fixed {
      std::int64_t header;
      std::int64_t number;
      std::int64_t product;
      Status status;
      std::function<void(Line&)> shape;
    };
    const Fixed kFixed[] = {
        {1, 1, 7001, Status::Active,
         [](Line& l) {
           l.quotation = 1001;
           l.buyer = "B01";
           l.currency = "EUR";
           l.tax = 8;
           l.freight = 5;
           l.handling = 2;
           l.price = 9;
           l.effective_day = -90;
           l.expiry_day = 20;
           l.expiry_time = "00:00:00";
           l.rfq_generated = 0;
           l.quantity = 5000;
           l.called = 1200;
           l.invoiced = 800;
           l.include_price_breaks = 1;
           l.include_discount_breaks = 1;
           l.min_quantity_breaks = 1;
           l.discount_percentage = 0.0;
           l.discount_amount = 0.0;
           l.prices = {{10, 9}, {50, 8}, {100, 7}};
           l.discounts = {{50, 10, 0}, {1000, 0, 1.5}};
           l.user_data = {{"UD01", "Cost centre", "Overhead", 0, "CC-4100"},
                          {"UD03", "Surcharge %", "Surcharge", 1, "2.5"}};
           l.attachments = {
               {1, 1, "Technical data sheet", "TDS", 0, AttachmentStatus::Active},
               {1, 3, "Drawing 7001-B", "DRAWING", 1, AttachmentStatus::UnderApproval},
           };
           l.bis = {{ExportStatus::Exported, "4500000001", "00010", std::nullopt, 0},
                    {ExportStatus::Open, std::nullopt, std::nullopt,
                     "Price series missing in the back end", 1}};
         }},
        {1, 2, 7006, Status::Active,
         [](Line& l) {
           l.quotation = 1002;
           l.currency = "EUR";
           l.tax = 8;
           l.freight = 0;
           l.handling = 0;
           l.expiry_day.reset();
           l.include_price_breaks = 1;
           l.min_quantity_breaks = 0;
           l.prices = {{10, 9}, {50, 8}, {100, 7}};
           l.discount_percentage = 0.0;
           l.discount_amount = 0.5;
         }},
        {1, 3, 7001, Status::Expired,
         [](Line& l) {
           l.quotation = 1003;
           l.currency = "EUR";
           l.price = 9.5;
           l.effective_day = -500;
           l.expiry_day = -91;
           l.discount_percentage = 5.0;
           l.discount_amount = 20.0;
         }},
        {1, 4, 7001, Status::UnderApproval,
         [](Line& l) {
           l.quotation = 1004;
           l.currency = "EUR";
           l.price = 6.8;
           l.effective_day = 10;
           l.expiry_day = 375;
         }},
        {1, 5, 7011, Status::Active,
         [](Line& l) {
           l.quotation = 1005;
           l.currency = "EUR";
           l.include_price_breaks = 1;
           l.min_quantity_breaks = 1;
           l.expiry_day = 200;
           l.rfq_generated = 1;
         }},
        {1, 6, 7016, Status::Create,
         [](Line& l) {
           l.quotation.reset();
           l.currency.reset();
           l.remark = "Currency to be agreed";
           l.price = 3.2;
         }},
        {2, 1, 7001, Status::Active,
         [](Line& l) {
           l.quotation = 1007;
           l.currency = "USD";
           l.price = 8.75;
           l.expiry_day = -3;
         }},
        {2, 2, 7006, Status::Active,
         [](Line& l) {
           l.quotation = 1008;
           l.currency = "USD";
           l.expiry_day = 45;
         }},
        {2, 3, 7011, Status::Expired,
         [](Line& l) {
           l.quotation = 1009;
           l.currency = "USD";
           l.effective_day = -700;
           l.expiry_day = -30;
         }},
    };
    for (const Fixed& f : kFixed) {
      if (lines_ >= total_) return;
      if (f.header == 2 && f.number == 1) WriteHeader(2, 502, 0);
      const std::int64_t partner = f.header == 1 ? 501 : 502;
      Line l = NewLine(f.header, f.number, partner, f.product);
      if (l.status != f.status) {
        // The status drew the dates; draw them again for the status wanted.
        l.status = f.status;
        l.effective_day = f.status == Status::Active    ? -120
                          : f.status == Status::Expired ? -600
                                                        : 15;
        l.expiry_day =
            f.status == Status::Expired ? std::optional<int>(-60) : std::optional<int>(365);
      }
      l.called = l.invoiced = 0;
      l.rfq_generated = 0;
      l.include_price_breaks = l.include_discount_breaks = 0;
      l.min_quantity_breaks = 0;
      l.discount_percentage = l.discount_amount = 0.0;
      f.shape(l);
      Write(l);
    }
  }

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
  Insert header_;
  Insert line_;
  Insert price_;
  Insert discount_;
  Insert attachment_;
  Insert user_data_;
  Insert bis_;
  Insert setting_;
};

}  // namespace

void WriteRows(Database& db, std::int64_t lines, std::function<void(std::int64_t)> progress,
               DemoSummary& summary) {
  Generator(db, lines, std::move(progress)).Run(summary);
}

}  // namespace carvalen::demo
