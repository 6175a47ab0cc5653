// The demo database's hand-written rows. The rest is generated from one fixed seed, with dates
// relative to today, so a given --size always gives the same rows (only the calendar moves). The
// first two contracts are written by hand, so that the examples in the documentation hold:
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
//             Active. Line 2: Active, product 7006, quotation 1008, expires in 45 days,
//             MINQTYBREAKUP NULL. Line 3: expired, product 7011, quotation 1009.
//   Every further line i (counting from 1 over all lines) has quotation 1000 + i, or none.
//
//   These rows are the only odd ones (docs/operations.md lists them): the generated lines are
//   what a contract database holds, one Active line per partner and product, flags set, breaks
//   present where switched on, none Active past its expiry, so any set of their active
//   products prices in bulk.
#include "demo/generator.hpp"

namespace carvalen::demo {

void Generator::WriteCategorySettings() {
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

// Contracts 1 and 2, written by hand (see the top of this file).
void Generator::WriteFixedContracts() {
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
         l.min_quantity_breaks.reset();  // written before the flag existed
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
      l.effective_day = f.status == Status::Active ? -120 : f.status == Status::Expired ? -600 : 15;
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

}  // namespace carvalen::demo
