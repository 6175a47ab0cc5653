// Active lines whose request for quotation is due, judged by each category's settings.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "carvalen/contract_line.hpp"
#include "carvalen/error.hpp"
#include "carvalen/interfaces.hpp"
#include "frame/operation.hpp"
#include "frame/procedures.hpp"

namespace carvalen {

namespace {

constexpr const char* kAutomaticField = "AUTOMATICRFQGENERATION";
constexpr const char* kIntervalField = "GENERATIONINTERVAL";
// Wider than the span between any two dates of years 1 to 9999, small enough that adding it to
// today stays inside the 64-bit microseconds: an absurd interval then admits every line (or none)
// instead of overflowing.
constexpr std::int64_t kMaxIntervalDays = 10'000'000;

// Settings of one category, as the category component answers them.
struct CategorySettings {
  bool automatic = false;
  std::int32_t interval_days = 0;
};

DictionaryPtr AskCategory(Object& category, std::int32_t category_id) {
  std::vector<Variant> args{
      Variant(category_id),
      Variant(Array::Of({Variant(kAutomaticField), Variant(kIntervalField)})),
  };
  return category.Invoke("GetCategoryFields", args).As<Dictionary>();
}

CategorySettings ReadSettings(const Dictionary& answer) {
  CategorySettings settings;
  // A missing field reads as Empty. Null, Empty and text of spaces alone mean "no interval": the
  // classic trim takes spaces only, so a tab goes on to the conversion, which refuses it.
  const Variant& interval = answer.Item(Variant(kIntervalField));
  const bool blank = interval.IsEmpty() || interval.IsNull() ||
                     interval.ToString().find_first_not_of(' ') == std::string::npos;
  settings.interval_days = blank ? 0 : interval.ToLong();
  settings.automatic = answer.Item(Variant(kAutomaticField)).ToBool();
  return settings;
}

// Expiry on or before today + interval days (today taken at 00:00:00).
bool DueBy(Date expiry, Date today, std::int32_t interval_days) {
  const std::int64_t days =
      std::clamp<std::int64_t>(interval_days, -kMaxIntervalDays, kMaxIntervalDays);
  return expiry <= today.AddDays(days);
}

}  // namespace

DictionaryPtr ContractLine::GetEligibleContractsForRFQCreation(const Variant& i_aContractFields) {
  return frame::RunOperation(
      "Carvalen.ContractLine.GetEligibleContractsForRFQCreation",
      [&](const frame::Query& q) {
        auto eligible = Dictionary::Create();
        const ObjectPtr category = frame::GetComponent(kCategoryName).As<Object>();
        // Not an array: 13 here, before any row is read; the value array is sized by the upper
        // bound alone, so indexes below the caller's lower bound stay Empty.
        const Array& fields = i_aContractFields.GetArray();
        Array values(0, fields.UBound());

        auto rs = q.Open(
            frame::Concat({"SELECT * FROM CONTRACTHEADER,CONTRACTLINE WHERE ",
                           "CONTRACTLINE.CONTRACTHEADERID = "
                           "CONTRACTHEADER.CONTRACTHEADERID AND ",
                           "CONTRACTSTATUS = ", frame::StatusDigit(EContractLineStatus::Active),
                           " AND EXPIRYDATETIME IS NOT NULL", " AND RFQGENERATED = ", "0",
                           " AND CATEGORYID IS NOT NULL ORDER BY CATEGORYID"}),
            db::CursorType::Keyset, db::LockType::ReadOnly);

        const Date today = Date::Today();
        std::int32_t counter = 1;
        bool first = true;
        std::int32_t previous_category = 0;
        CategorySettings settings;
        for (; !rs->Eof(); rs->MoveNext()) {
          const std::int32_t category_id = rs->Field("CATEGORYID").ToLong();
          // Rows come ordered by category, so this asks once per category.
          if (first || category_id != previous_category) {
            settings = ReadSettings(*AskCategory(*category, category_id));
          }
          if (settings.automatic &&
              DueBy(rs->Field("EXPIRYDATETIME").ToDate(), today, settings.interval_days)) {
            frame::ReadNamedColumns(*rs, fields, values);  // a negative lower bound fails, 9
            eligible->Add(Variant(counter), Variant(values));
            ++counter;
          }
          first = false;
          previous_category = category_id;
        }
        return eligible;
      },
      frame::FrameOptions{.utilities = false});
}

}  // namespace carvalen
