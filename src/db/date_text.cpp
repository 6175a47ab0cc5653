// The date text both drivers read: what a column of a date type gives as text, as a Date.
#include <string>

#include "db/driver.hpp"

namespace carvalen::db {

bool ParseDateText(std::string_view text, Date& out) {
  // Date::TryParse takes "YYYY-MM-DD[( |T)HH:MM[:SS[.f to ffffff]]]"; the databases may write
  // more fractional digits and PostgreSQL adds a zone offset to timestamptz ("+02", "-05:30").
  // Every date column of every row read comes through here: the text is cut, never copied.
  if (text.size() > 10 && (text[10] == ' ' || text[10] == 'T')) {
    // One pass for the zone and the fraction (find_first_of tests each character three times).
    std::size_t dot = std::string_view::npos;
    for (std::size_t i = 11; i < text.size(); ++i) {
      const char c = text[i];
      if (c == '+' || c == '-' || c == 'Z') {
        text = text.substr(0, i);
        break;
      }
      if (c == '.' && dot == std::string_view::npos) dot = i;
    }
    if (dot != std::string_view::npos) {
      const std::size_t digits = text.size() - dot - 1;
      if (digits == 0 || digits > 9) return false;
      if (digits > 6) text = text.substr(0, dot + 7);  // below a microsecond: Date has no finer
    }
  }
  return Date::TryParse(text, out);
}

}  // namespace carvalen::db
