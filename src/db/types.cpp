// Conversions shared by the drivers.
#include <string>

#include "db/driver.hpp"

namespace carvalen::db {

bool ParseDateText(std::string_view text, Date& out) {
  // Date::TryParse takes "YYYY-MM-DD[( |T)HH:MM[:SS[.ffffff]]]"; the databases may write fewer
  // or more fractional digits and PostgreSQL adds a zone offset to timestamptz ("+02", "-05:30").
  std::string s(text);
  std::size_t time_start = s.find_first_of(" T", 10);
  if (s.size() > 10 && time_start == 10) {
    std::size_t zone = s.find_first_of("+-Z", time_start + 1);
    if (zone != std::string::npos) s.erase(zone);
    std::size_t dot = s.find('.', time_start);
    if (dot != std::string::npos) {
      std::size_t digits = s.size() - dot - 1;
      if (digits == 0 || digits > 9) return false;
      if (digits > 6) {
        s.erase(dot + 7);  // below a microsecond: cut, Date has no finer resolution
      } else {
        s.append(6 - digits, '0');
      }
    }
  }
  return Date::TryParse(s, out);
}

}  // namespace carvalen::db
