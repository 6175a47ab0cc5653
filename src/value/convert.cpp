// The classic conversions of a Variant (to Boolean, whole numbers, Double, String and Date) and
// the text form of numbers.
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>

#include "carvalen/error.hpp"
#include "carvalen/variant.hpp"
#include "value/text.hpp"

namespace carvalen {

namespace {

[[noreturn]] void Fail(std::int32_t number) { throw Error::Runtime(number); }

// A number as the conversions see it: exact when it came from an integer (so 64-bit values keep
// every digit), a double otherwise.
struct Numeric {
  bool exact;
  std::int64_t integer;
  double real;

  double AsDouble() const { return exact ? static_cast<double>(integer) : real; }
};

Numeric Exact(std::int64_t value) { return {true, value, 0.0}; }
Numeric Real(double value) { return {false, 0, value}; }

std::size_t SkipDigits(std::string_view text, std::size_t pos) {
  while (pos < text.size() && text::IsDigit(text[pos])) ++pos;
  return pos;
}

// "&H1F" / "&O17" read like Basic literals: two's complement at the narrowest of 16, 32 and 64
// bits that holds the digits, so "&HFFFF" is -1 and "&H10000" is 65536.
std::optional<Numeric> ParseRadix(std::string_view digits, int radix) {
  std::uint64_t value = 0;
  const char* end = digits.data() + digits.size();
  const auto [ptr, ec] = std::from_chars(digits.data(), end, value, radix);
  if (ptr != end || digits.empty()) return std::nullopt;
  if (ec == std::errc::result_out_of_range) Fail(errnum::kOverflow);
  if (ec != std::errc{}) return std::nullopt;
  if (value <= 0xFFFF) return Exact(static_cast<std::int16_t>(value));
  if (value <= 0xFFFF'FFFF) return Exact(static_cast<std::int32_t>(value));
  return Exact(static_cast<std::int64_t>(value));
}

// [+|-] digits [. digits] [(e|E) [+|-] digits], with at least one digit before the exponent.
std::optional<Numeric> ParseDecimal(std::string_view text) {
  const bool negative = !text.empty() && text[0] == '-';
  const std::size_t sign = !text.empty() && (text[0] == '+' || negative) ? 1 : 0;
  const std::string_view body = text.substr(sign);  // what from_chars reads: no sign

  const std::size_t whole_end = SkipDigits(text, sign);
  std::size_t mantissa_end = whole_end;
  if (mantissa_end < text.size() && text[mantissa_end] == '.') {
    mantissa_end = SkipDigits(text, mantissa_end + 1);
  }
  const std::size_t mantissa_digits = mantissa_end - sign - (mantissa_end > whole_end ? 1 : 0);
  if (mantissa_digits == 0) return std::nullopt;
  std::size_t pos = mantissa_end;
  std::int64_t exponent = 0;
  if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
    ++pos;
    const bool exponent_negative = pos < text.size() && text[pos] == '-';
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) ++pos;
    const std::size_t start = pos;
    for (; pos < text.size() && text::IsDigit(text[pos]); ++pos) {
      exponent = std::min<std::int64_t>(exponent * 10 + (text[pos] - '0'), 1'000'000);
    }
    if (pos == start) return std::nullopt;
    if (exponent_negative) exponent = -exponent;
  }
  if (pos != text.size()) return std::nullopt;

  if (mantissa_end == whole_end && pos == mantissa_end) {  // plain digits: keep them exact
    std::uint64_t magnitude = 0;
    const auto [ptr, ec] = std::from_chars(body.data(), body.data() + body.size(), magnitude);
    constexpr std::uint64_t kMaxMagnitude = std::uint64_t{1} << 63;
    if (ec == std::errc{} && magnitude < kMaxMagnitude + (negative ? 1 : 0)) {
      return Exact(negative ? static_cast<std::int64_t>(0 - magnitude)
                            : static_cast<std::int64_t>(magnitude));
    }
  }

  double value = 0.0;
  const auto [ptr, ec] = std::from_chars(body.data(), body.data() + body.size(), value);
  if (ec == std::errc::result_out_of_range) {
    // Too large or too small for a double: the power of ten of the leading non-zero digit
    // tells which. Too small reads as zero, like the classic conversions.
    const std::string_view mantissa = text.substr(sign, mantissa_end - sign);
    const std::size_t lead = mantissa.find_first_of("123456789");
    const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
    const std::int64_t power =
        exponent + (lead < point ? static_cast<std::int64_t>(point - lead) - 1
                                 : -static_cast<std::int64_t>(lead - point));
    if (power >= 0) Fail(errnum::kOverflow);
    value = 0.0;
  } else if (ec != std::errc{}) {
    return std::nullopt;
  }
  return Real(negative ? -value : value);
}

// A text that is a number after trimming blanks, "True" or "False" (-1, 0); nullopt otherwise.
std::optional<Numeric> ParseNumberText(std::string_view text) {
  text = text::TrimBlanks(text);
  if (text::EqualsNoCase(text, "True")) return Exact(-1);
  if (text::EqualsNoCase(text, "False")) return Exact(0);
  if (text.size() > 2 && text[0] == '&') {
    if (text[1] == 'H' || text[1] == 'h') return ParseRadix(text.substr(2), 16);
    if (text[1] == 'O' || text[1] == 'o') return ParseRadix(text.substr(2), 8);
  }
  return ParseDecimal(text);
}

Numeric NumericOf(const Variant& v) {
  switch (v.Type()) {
    case VarType::Empty:
      return Exact(0);
    case VarType::Null:
      Fail(errnum::kInvalidUseOfNull);
    case VarType::Boolean:
      return Exact(v.RawBool() ? -1 : 0);
    case VarType::Integer:
    case VarType::Long:
    case VarType::LongLong:
      return Exact(v.RawInteger());
    case VarType::Double:
      return Real(v.RawDouble());
    case VarType::String:
      if (const auto number = ParseNumberText(v.RawString())) return *number;
      Fail(errnum::kTypeMismatch);
    case VarType::Date:
      return Real(v.RawDate().ToSerial());
    case VarType::Missing:
    case VarType::Array:
    case VarType::Object:
      break;
  }
  Fail(errnum::kTypeMismatch);
}

// Round to the nearest whole number, ties to even (2.5 -> 2, 3.5 -> 4, -2.5 -> -2), without
// depending on the floating-point environment's rounding mode.
double RoundHalfEven(double x) {
  if (std::fabs(x - std::trunc(x)) == 0.5) return 2.0 * std::round(x / 2.0);
  return std::round(x);
}

template <class T>
T ToWhole(const Numeric& n) {
  using Limits = std::numeric_limits<T>;
  if (n.exact) {
    if (n.integer < Limits::min() || n.integer > Limits::max()) Fail(errnum::kOverflow);
    return static_cast<T>(n.integer);
  }
  // The bounds are powers of two, exact as doubles: min <= r < -min. NaN fails as well.
  const double r = RoundHalfEven(n.real);
  const double min = static_cast<double>(Limits::min());
  if (!(r >= min && r < -min)) Fail(errnum::kOverflow);
  return static_cast<T>(r);
}

}  // namespace

bool Variant::ToBool() const {
  const Numeric n = NumericOf(*this);
  return n.exact ? n.integer != 0 : n.real != 0.0;
}

std::int16_t Variant::ToInteger() const { return ToWhole<std::int16_t>(NumericOf(*this)); }
std::int32_t Variant::ToLong() const { return ToWhole<std::int32_t>(NumericOf(*this)); }
std::int64_t Variant::ToLongLong() const { return ToWhole<std::int64_t>(NumericOf(*this)); }
double Variant::ToDouble() const { return NumericOf(*this).AsDouble(); }

std::string Variant::ToString() const {
  switch (type_) {
    case VarType::Empty:
      return {};
    case VarType::Null:
      Fail(errnum::kInvalidUseOfNull);
    case VarType::Boolean:
      return RawBool() ? "True" : "False";
    case VarType::Integer:
    case VarType::Long:
    case VarType::LongLong:
      return std::to_string(RawInteger());
    case VarType::Double:
      return FormatNumber(RawDouble());
    case VarType::String:
      return RawString();
    case VarType::Date:
      // Whole seconds, as the classic conversion shows a date; the fraction stays in the value.
      return RawDate().ToText().substr(0, 19);
    case VarType::Missing:
    case VarType::Array:
    case VarType::Object:
      break;
  }
  Fail(errnum::kTypeMismatch);
}

Date Variant::ToDate() const {
  switch (type_) {
    case VarType::Date:
      return RawDate();
    case VarType::String: {
      Date date;
      if (!Date::TryParse(text::TrimBlanks(RawString()), date)) Fail(errnum::kTypeMismatch);
      return date;
    }
    case VarType::Empty:
    case VarType::Null:
    case VarType::Boolean:
    case VarType::Integer:
    case VarType::Long:
    case VarType::LongLong:
    case VarType::Double:
      return Date::FromSerial(NumericOf(*this).AsDouble());
    case VarType::Missing:
    case VarType::Array:
    case VarType::Object:
      break;
  }
  Fail(errnum::kTypeMismatch);
}

std::string FormatNumber(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-Infinity" : "Infinity";
  if (value == 0.0) return "0";  // -0.0 too

  // Shortest round-trip digits in the form "[-]d[.ddd]e(+|-)XX".
  char buffer[40];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value),
                                    std::chars_format::scientific);
  const std::string_view scientific(buffer, static_cast<std::size_t>(result.ptr - buffer));
  const std::size_t e = scientific.find('e');
  std::string digits(1, scientific[0]);
  if (e > 1) digits.append(scientific.substr(2, e - 2));  // skip the point
  int exponent = 0;
  const std::string_view exponent_text = scientific.substr(e + 2);
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
  if (scientific[e + 1] == '-') exponent = -exponent;

  std::string out = value < 0 ? "-" : "";
  if (exponent >= -4 && exponent < 15) {  // 1e-4 <= |x| < 1e15: plain notation
    const int whole = exponent + 1;
    const auto whole_digits = static_cast<std::size_t>(whole);
    if (exponent < 0) {
      out.append("0.").append(static_cast<std::size_t>(-exponent - 1), '0').append(digits);
    } else if (digits.size() <= whole_digits) {
      out.append(digits).append(whole_digits - digits.size(), '0');
    } else {
      out.append(digits, 0, whole_digits).append(1, '.').append(digits, whole_digits);
    }
    return out;
  }
  out += digits[0];
  if (digits.size() > 1) out.append(1, '.').append(digits, 1);
  const int magnitude = exponent < 0 ? -exponent : exponent;
  out.append(exponent < 0 ? "E-" : "E+");
  if (magnitude < 10) out += '0';
  out += std::to_string(magnitude);
  return out;
}

}  // namespace carvalen
