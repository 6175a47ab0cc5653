// Date: a count of microseconds since 1970-01-01 00:00:00 with no time zone. The calendar is the
// proleptic Gregorian one of std::chrono, with floor division so that dates before 1970 split
// correctly.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <ratio>

#include "carvalen/error.hpp"
#include "carvalen/variant.hpp"
#include "value/text.hpp"

namespace carvalen {

namespace {

constexpr std::int64_t kMicrosPerSecond = 1'000'000;
constexpr std::int64_t kMicrosPerDay = 86'400 * kMicrosPerSecond;
// Serial date of 1970-01-01: days from 1899-12-30.
constexpr std::int64_t kSerialOf1970 = 25'569;
constexpr int kMinYear = 1;
constexpr int kMaxYear = 9999;

namespace chr = std::chrono;

// Day counts as 64 bits wherever they come from: chr::days only promises 25.
using Days = chr::duration<std::int64_t, chr::days::period>;

// The Gregorian calendar repeats itself every 400 years, which are this many days.
using Cycles =
    chr::duration<std::int64_t, std::ratio_multiply<std::ratio<146'097>, chr::days::period>>;

struct Civil {
  std::int64_t year;
  int month, day;
};

// Days since 1970-01-01 of a valid date (years kMinYear to kMaxYear).
constexpr std::int64_t DaysFromCivil(int year, int month, int day) {
  const chr::year_month_day date{chr::year{year}, chr::month{static_cast<unsigned>(month)},
                                 chr::day{static_cast<unsigned>(day)}};
  return chr::sys_days{date}.time_since_epoch().count();
}

// The date `days` days after 1970-01-01, for any count: std::chrono::year ends at 32767, so whole
// 400-year cycles are taken out first and added back to the year.
Civil CivilFromDays(std::int64_t days) {
  const auto cycles = chr::floor<Cycles>(Days{days});
  const chr::year_month_day date{chr::sys_days{Days{days} - cycles}};
  return {static_cast<int>(date.year()) + cycles.count() * 400,
          static_cast<int>(unsigned{date.month()}), static_cast<int>(unsigned{date.day()})};
}

static_assert(DaysFromCivil(1970, 1, 1) == 0);
static_assert(DaysFromCivil(1899, 12, 30) == -kSerialOf1970);

bool ValidParts(int year, int month, int day, int hour, int minute, int second, int microsecond) {
  // The range checks come first: chr::day keeps only 8 bits of what it is given.
  if (year < kMinYear || year > kMaxYear || month < 1 || month > 12 || day < 1 || day > 31) {
    return false;
  }
  const chr::year_month_day date{chr::year{year}, chr::month{static_cast<unsigned>(month)},
                                 chr::day{static_cast<unsigned>(day)}};
  return date.ok() && hour >= 0 && hour < 24 && minute >= 0 && minute < 60 && second >= 0 &&
         second < 60 && microsecond >= 0 && microsecond < kMicrosPerSecond;
}

// The day a moment falls on (days since 1970-01-01) and the microseconds after its midnight.
struct DayAndTime {
  std::int64_t day;
  std::int64_t time;
};

DayAndTime SplitDay(std::int64_t micros) {
  const chr::microseconds moment{micros};
  const auto day = chr::floor<Days>(moment);
  return {day.count(), (moment - day).count()};
}

Date MakeDate(int year, int month, int day, int hour, int minute, int second, int microsecond) {
  const std::int64_t seconds = (hour * 60LL + minute) * 60 + second;
  return Date(DaysFromCivil(year, month, day) * kMicrosPerDay + seconds * kMicrosPerSecond +
              microsecond);
}

// Reads exactly `width` digits at `pos`, advancing it.
bool ReadDigits(std::string_view text, std::size_t& pos, std::size_t width, int& value) {
  if (pos + width > text.size()) return false;
  value = 0;
  for (std::size_t end = pos + width; pos < end; ++pos) {
    if (!text::IsDigit(text[pos])) return false;
    value = value * 10 + (text[pos] - '0');
  }
  return true;
}

bool ReadChar(std::string_view text, std::size_t& pos, char expected) {
  if (pos >= text.size() || text[pos] != expected) return false;
  ++pos;
  return true;
}

std::tm LocalTime(std::time_t seconds) {
  std::tm local{};
  if (localtime_r(&seconds, &local) == nullptr) throw Error::Runtime(errnum::kInvalidProcedureCall);
  return local;
}

}  // namespace

Date Date::FromParts(int year, int month, int day, int hour, int minute, int second,
                     int microsecond) {
  if (!ValidParts(year, month, day, hour, minute, second, microsecond)) {
    throw Error::Runtime(errnum::kInvalidProcedureCall);
  }
  return MakeDate(year, month, day, hour, minute, second, microsecond);
}

Date Date::Today() {
  const std::tm local = LocalTime(std::time(nullptr));
  return FromParts(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

Date Date::Now() {
  const auto now = chr::time_point_cast<chr::microseconds>(chr::system_clock::now());
  const auto second = chr::floor<chr::seconds>(now);
  const std::tm local = LocalTime(chr::system_clock::to_time_t(second));
  // A leap second (tm_sec 60) is shown as the last second of its minute.
  return FromParts(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                   local.tm_min, local.tm_sec > 59 ? 59 : local.tm_sec,
                   static_cast<int>((now - second).count()));
}

bool Date::TryParse(std::string_view text, Date& out) {
  std::size_t pos = 0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, microsecond = 0;
  if (!ReadDigits(text, pos, 4, year) || !ReadChar(text, pos, '-') ||
      !ReadDigits(text, pos, 2, month) || !ReadChar(text, pos, '-') ||
      !ReadDigits(text, pos, 2, day)) {
    return false;
  }
  if (pos < text.size()) {
    if (!ReadChar(text, pos, ' ') && !ReadChar(text, pos, 'T')) return false;
    if (!ReadDigits(text, pos, 2, hour) || !ReadChar(text, pos, ':') ||
        !ReadDigits(text, pos, 2, minute)) {
      return false;
    }
    if (ReadChar(text, pos, ':')) {
      if (!ReadDigits(text, pos, 2, second)) return false;
      if (ReadChar(text, pos, '.')) {
        // One to six digits of fraction, scaled to microseconds.
        const std::size_t start = pos;
        int scale = 1'000'000;
        while (pos < text.size() && text::IsDigit(text[pos]) && pos - start < 6) {
          scale /= 10;
          microsecond += (text[pos++] - '0') * scale;
        }
        if (pos == start) return false;
      }
    }
  }
  if (pos != text.size() || !ValidParts(year, month, day, hour, minute, second, microsecond)) {
    return false;
  }
  out = MakeDate(year, month, day, hour, minute, second, microsecond);
  return true;
}

// Serial dates follow the classic convention callers know: the whole part counts days
// from 1899-12-30 and the fraction is the time of day *after* that day's midnight even when the
// serial is negative, so -1.25 is 1899-12-29 06:00 (not 1899-12-28 18:00).
Date Date::FromSerial(double serial) {
  // NaN fails the comparisons too. Year 1 starts at serial -693593, year 10000 at 2958466.
  if (!(serial > -693'594.0 && serial < 2'958'466.0)) throw Error::Runtime(errnum::kOverflow);
  const double whole = std::trunc(serial);
  const auto time = static_cast<std::int64_t>(
      std::llround(std::fabs(serial - whole) * static_cast<double>(kMicrosPerDay)));
  return Date((static_cast<std::int64_t>(whole) - kSerialOf1970) * kMicrosPerDay + time);
}

double Date::ToSerial() const {
  const DayAndTime split = SplitDay(micros_);
  const double whole = static_cast<double>(split.day + kSerialOf1970);
  const double time = static_cast<double>(split.time) / static_cast<double>(kMicrosPerDay);
  return whole < 0 ? whole - time : whole + time;
}

Date::Parts Date::Split() const {
  const auto [day, time] = SplitDay(micros_);
  const Civil civil = CivilFromDays(day);
  const auto seconds = static_cast<int>(time / kMicrosPerSecond);
  return {static_cast<int>(civil.year),
          civil.month,
          civil.day,
          seconds / 3600,
          seconds / 60 % 60,
          seconds % 60,
          static_cast<int>(time % kMicrosPerSecond)};
}

std::string Date::ToText(char separator) const {
  const Parts p = Split();
  char buffer[48];
  int length = std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d%c%02d:%02d:%02d", p.year,
                             p.month, p.day, separator, p.hour, p.minute, p.second);
  if (p.microsecond != 0) {
    length += std::snprintf(buffer + length, sizeof buffer - length, ".%06d", p.microsecond);
  }
  return std::string(buffer, static_cast<std::size_t>(length));
}

}  // namespace carvalen
