// The generated contracts: headers, lines of plausible values for their status and the details
// (breaks, attachments, user data, back-end records) as often as they occur in practice.
#include "demo/generator.hpp"

#include <algorithm>

#include "demo/rows.hpp"

namespace carvalen::demo {

Generator::Generator(Database& db, std::int64_t total, std::function<void(std::int64_t)> progress)
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

void Generator::Run(DemoSummary& summary) {
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
      // One Active line per partner and product, as a contract database keeps it: a second one
      // is an earlier contract, expired a year later.
      if (line.status == Status::Active &&
          !active_
               .insert((static_cast<std::uint64_t>(partner) << 32) |
                       static_cast<std::uint64_t>(line.product))
               .second) {
        line.status = Status::Expired;
        line.effective_day -= 365;
        line.expiry_day = line.effective_day + 365;
      }
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

void Generator::WriteHeader(std::int64_t id, std::int64_t partner, std::optional<int> category) {
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

AttachmentStatus Generator::RandomAttachmentStatus() {
  using enum EContractAttachmentStatus;
  static constexpr AttachmentStatus kStatuses[] = {
      Active, Active, Active, Active, Approved, Approved, Create, UnderApproval, Rejected, Expired};
  return random_.Pick(kStatuses);
}

void Generator::WriteAttachment(std::int64_t header, const Attachment& a) {
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
Line Generator::NewLine(std::int64_t header, std::int64_t number, std::int64_t partner,
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
  const bool currency_open = random_.Percent(1);  // not agreed yet: only before a line is in force
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
        l.expiry_day = 1 + random_.Below(20);  // (an overdue Active line is a hand-written one)
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
      if (currency_open && l.status == Status::Create) l.currency.reset();
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
  static constexpr const char* kPaymentMethods[] = {"Bank transfer", "Direct debit", "Credit card"};
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
void Generator::RandomDetails(Line& l) {
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
    // Breaks switched on always have one (a line without is a hand-written one).
    if (l.discounts.empty()) l.discounts.push_back({ladder[0], kPercentages[0], 0});
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
  if (random_.Percent(20)) {
    static constexpr const char* kTypes[] = {"TDS", "DRAWING", "SDS", "CERT"};
    const int count = 1 + random_.Below(2);
    for (int i = 0; i < count; ++i) {
      const char* type = random_.Pick(kTypes);
      l.attachments.push_back(Attachment{
          l.line, 1 + random_.Below(3), fmt::format("{} for {}", type, PartNumber(l.product)), type,
          random_.Percent(20) ? 1 : 0, RandomAttachmentStatus()});
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

UserData Generator::UserDataField(int which, const Line& l) {
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

void Generator::Write(const Line& l) {
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
        << l.discount_percentage << l.discount_amount << effective << expiry << l.remark << created
        << effective << expiry << l.order_interval << l.handling << l.freight << l.tax
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

void WriteRows(Database& db, std::int64_t lines, std::function<void(std::int64_t)> progress,
               DemoSummary& summary) {
  Generator(db, lines, std::move(progress)).Run(summary);
}

}  // namespace carvalen::demo
