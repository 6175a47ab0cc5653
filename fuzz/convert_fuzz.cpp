// The classic conversions on fuzzer-chosen values: the first byte picks the source type, the
// second the target, the rest is the value (text, or the bytes of a number). A conversion either
// gives a value or fails with the library's Error; a Double or Date it gives prints as text that
// converts back to the very same value.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "carvalen/error.hpp"
#include "carvalen/variant.hpp"

namespace {

using carvalen::Date;
using carvalen::Variant;

template <class T>
T Bytes(const std::uint8_t* data, std::size_t size) {
  T value{};
  std::memcpy(&value, data, size < sizeof value ? size : sizeof value);
  return value;
}

Variant Source(std::uint8_t kind, const std::uint8_t* data, std::size_t size) {
  switch (kind % 7) {
    case 0:
      return Variant(std::string(reinterpret_cast<const char*>(data), size));
    case 1:
      return Variant(Bytes<double>(data, size));
    case 2:
      return Variant(Bytes<std::int64_t>(data, size));
    case 3:
      return Variant(Bytes<std::int32_t>(data, size));
    case 4:
      return Variant(Bytes<std::int16_t>(data, size));
    case 5:
      return Variant(size > 0 && (data[0] & 1) != 0);
    default:
      return Variant::Null();
  }
}

void CheckDouble(double value) {
  if (!std::isfinite(value)) return;
  const std::string text = Variant(value).ToString();
  if (Variant(text).ToDouble() != value) __builtin_trap();
}

void CheckDate(Date date) {
  Date again;
  if (!Date::TryParse(date.ToText(), again) || again != date) __builtin_trap();
  // The text of a Date holds whole seconds, so it reads back as the date without its fraction.
  const std::int64_t micros = date.Micros();
  const Date whole(micros - (micros % 1'000'000 + 1'000'000) % 1'000'000);
  if (Variant(Variant(date).ToString()).ToDate() != whole) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const Variant value = Source(data[0], data + 2, size - 2);
  try {
    switch (data[1] % 7) {
      case 0:
        (void)value.ToBool();
        break;
      case 1:
        (void)value.ToInteger();
        break;
      case 2:
        (void)value.ToLong();
        break;
      case 3:
        (void)value.ToLongLong();
        break;
      case 4:
        CheckDouble(value.ToDouble());
        break;
      case 5:
        (void)value.ToString();
        if (value.Type() == carvalen::VarType::Double) CheckDouble(value.RawDouble());
        break;
      default:
        CheckDate(value.ToDate());
        break;
    }
  } catch (const carvalen::Error&) {
  }
  return 0;
}
