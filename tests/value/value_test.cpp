// The value types: conversions, dates, arrays, dictionaries, errors and the settings.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <functional>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <tuple>

#include "carvalen/dictionary.hpp"
#include "carvalen/error.hpp"
#include "carvalen/settings.hpp"
#include "carvalen/variant.hpp"

namespace carvalen {
namespace {

// The number of the Error a call raises, or 0 for none.
std::int32_t ErrorNumberOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const Error& error) {
    return error.Number();
  }
  return 0;
}

TEST(Variant, RoundsHalfToEvenAndOverflowsPastEachRange) {
  // A value, the error of ToInteger and of ToLong (0: converts), and what it converts to.
  const std::tuple<Variant, std::int32_t, std::int32_t, std::int32_t> cases[] = {
      {Variant(2.5), 0, 0, 2},
      {Variant(-2.5), 0, 0, -2},
      {Variant(32767.5), 6, 0, 32768},
      {Variant(-32768.5), 0, 0, -32768},
      {Variant(std::int32_t{-32769}), 6, 0, -32769},
      {Variant(-2'147'483'648.0), 6, 0, -2'147'483'647 - 1},
      {Variant(std::int64_t{2'147'483'648}), 6, 6, 0},
      {Variant(std::numeric_limits<double>::infinity()), 6, 6, 0},
      {Variant(std::nan("")), 6, 6, 0},
      {Variant("1e400"), 6, 6, 0},
  };
  for (const auto& [value, integer, long_, rounded] : cases) {
    const std::string row = value.ToString();
    EXPECT_EQ(ErrorNumberOf([&v = value] { v.ToInteger(); }), integer) << row;
    EXPECT_EQ(ErrorNumberOf([&v = value] { v.ToLong(); }), long_) << row;
    EXPECT_TRUE(integer != 0 || value.ToInteger() == rounded) << row;
    EXPECT_TRUE(long_ != 0 || value.ToLong() == rounded) << row;
  }
  EXPECT_EQ(ErrorNumberOf([] { Variant(9.3e18).ToLongLong(); }), 6);
  EXPECT_EQ(Variant("-9223372036854775808").ToLongLong(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(Variant("9007199254740993").ToLongLong(), 9'007'199'254'740'993);  // beyond 2^53
}

TEST(Variant, ConvertsToNumbersTextAndDates) {
  // A value, the error of ToDouble and ToBool (0: converts), and the number it converts to.
  const std::tuple<Variant, std::int32_t, double> cases[] = {
      {Variant(), 0, 0.0},           {Variant(true), 0, -1.0},
      {Variant(" 12.5 "), 0, 12.5},  {Variant("&H1F"), 0, 31.0},
      {Variant("&hFFFF"), 0, -1.0},  // read like a literal: 16-bit two's complement
      {Variant("&O17"), 0, 15.0},    {Variant(Date::FromParts(1970, 1, 1, 12)), 0, 25569.5},
      {Variant(""), 13, 0},          {Variant("12abc"), 13, 0},
      {Variant::Null(), 94, 0},      {Variant::Missing(), 13, 0},
      {Variant(Array(0, 1)), 13, 0}, {Variant("9.9E-05"), 0, 9.9e-05},  // as ToString writes it
  };
  for (int row = 0; const auto& [value, error, number] : cases) {
    ++row;
    EXPECT_EQ(ErrorNumberOf([&v = value] { v.ToDouble(); }), error) << row;
    EXPECT_EQ(ErrorNumberOf([&v = value] { v.ToBool(); }), error) << row;
    if (error != 0) continue;
    EXPECT_EQ(value.ToDouble(), number) << row;
    EXPECT_EQ(value.ToBool(), number != 0.0) << row;
  }
  const std::pair<Variant, const char*> texts[] = {
      {Variant(), ""},
      {Variant(true), "True"},
      {Variant(Date::FromParts(2026, 6, 10, 8, 0, 0, 500000)), "2026-06-10 08:00:00"},
      {Variant(std::int64_t{5'000'000'000}), "5000000000"},
      {Variant(5.0), "5"},
      {Variant(1.0 / 3), "0.3333333333333333"},
      {Variant(9.9e-5), "9.9E-05"},
      {Variant(1e15), "1E+15"},
      {Variant(5e-324), "5E-324"},
  };
  for (const auto& [value, text] : texts) EXPECT_EQ(value.ToString(), text);
  EXPECT_EQ(FormatNumber(std::numeric_limits<double>::infinity()), "Infinity");
  EXPECT_EQ(Variant().ToDate().ToText(), "1899-12-30 00:00:00");
  EXPECT_EQ(Variant(25569.75).ToDate().ToText(), "1970-01-01 18:00:00");
  EXPECT_EQ(Variant(" 2026-06-10T08:30 ").ToDate().ToText(), "2026-06-10 08:30:00");
  EXPECT_EQ(ErrorNumberOf([] { Variant("45000").ToDate(); }), 13);
  EXPECT_EQ(ErrorNumberOf([] { Variant::Null().ToString(); }), 94);
  EXPECT_EQ(ErrorNumberOf([] { Variant::Missing().ToString(); }), 13);
  EXPECT_EQ(ErrorNumberOf([] { Variant::Null().ToDate(); }), 94);
}

TEST(Date, FormatsParsesConvertsAndRejects) {
  const std::tuple<Date, const char*, double> cases[] = {
      // serial -1: not checked
      {Date(0), "1970-01-01 00:00:00", 25569.0},
      {Date::FromParts(1899, 12, 30), "1899-12-30 00:00:00", 0.0},
      {Date::FromParts(2000, 2, 29, 12), "2000-02-29 12:00:00", 36585.5},
      {Date::FromParts(2026, 6, 10, 8, 0, 0, 123000), "2026-06-10 08:00:00.123000", -1},
      {Date::FromParts(1, 1, 1), "0001-01-01 00:00:00", -693593.0},
      {Date::FromParts(9999, 12, 31, 23, 59, 59, 999999), "9999-12-31 23:59:59.999999", -1},
      // Before the serial origin the fraction still counts forward from the day's midnight.
      {Date::FromParts(1899, 12, 29, 6), "1899-12-29 06:00:00", -1.25},
      {Date(-1), "1969-12-31 23:59:59.999999", -1},
  };
  for (const auto& [date, text, serial] : cases) {
    EXPECT_EQ(date.ToText(), text);
    if (serial == -1) continue;
    EXPECT_DOUBLE_EQ(date.ToSerial(), serial) << text;
    EXPECT_EQ(Date::FromSerial(serial), date) << text;
  }
  // The short forms that parse are in json_codec_test ($date) and ConvertsToNumbersTextAndDates.
  Date parsed;
  for (const char* text : {"2026-6-10", "2026-06-10x", "2026-06-10 08:30:15.1234567", "2026-02-29",
                           "2026-06-10 24:00", " 2026-06-10"})
    EXPECT_FALSE(Date::TryParse(text, parsed)) << text;
  ASSERT_TRUE(Date::TryParse("2026-06-10 08:30:15.5", parsed));
  EXPECT_EQ(parsed.ToText(), "2026-06-10 08:30:15.500000");
  EXPECT_EQ(ErrorNumberOf([] { Date::FromParts(2024, 2, 29); }), 0);
  EXPECT_EQ(ErrorNumberOf([] { Date::FromParts(2025, 2, 29); }), 5);
  EXPECT_EQ(ErrorNumberOf([] { Date::FromParts(2024, 1, 1, 0, 60); }), 5);
  EXPECT_EQ(ErrorNumberOf([] { Date::FromParts(10000, 1, 1); }), 5);
  EXPECT_EQ(ErrorNumberOf([] { Date::FromSerial(-693594.0); }), 6);
}

// Bounds and two-dimensional cells are covered by the JSON round trips (json_codec_test).
TEST(Array, ComparesRejectsOutOfRangeAndCopiesUnshared) {
  EXPECT_NE(Array(0, 3), Array(0, 1, 0, 1));  // same size, different shape
  EXPECT_NE(Array(0, 1, 0, 2), Array(0, 2, 0, 1));
  Array one(1, 3);
  const Array two(0, 1, 0, 1);
  const std::pair<const char*, std::function<void()>> cases[] = {
      {"below", [&] { one.At(0); }},
      {"2-D index on 1-D", [&] { one.At(1, 1); }},
      {"1-D index on 2-D", [&] { two.At(0); }},
      {"UBound(3) of 2-D", [&] { two.UBound(3); }},
      {"At on empty", [] { Array(0, -1).At(0); }},
      {"upper below lower - 1", [] { Array(5, 3); }},
      {"never allocated", [] { Variant::UnallocatedArray().GetArray(); }},
  };
  for (const auto& [what, call] : cases) EXPECT_EQ(ErrorNumberOf(call), 9) << what;
  Variant original(Array::Of({Variant("a"), Variant(Array::Of({Variant("inner")}))}));
  Variant copy = original;
  copy.MutableArray().At(0) = Variant("changed");
  copy.MutableArray().At(1).MutableArray().At(0) = Variant("changed");
  EXPECT_EQ(original.GetArray().At(0), Variant("a"));
  EXPECT_EQ(original.GetArray().At(1).GetArray().At(0), Variant("inner"));
  EXPECT_EQ(copy.GetArray().At(1).GetArray().At(0), Variant("changed"));
  // An array reached through an outside pointer is unshared too.
  const std::shared_ptr<const Array> held = copy.ArrayPointer();
  copy.MutableArray().At(0) = Variant("again");
  EXPECT_EQ(held->At(0), Variant("changed"));
}

// Numbers match by value across types, all else only its own kind; scanned and indexed sizes both.
TEST(Dictionary, MatchesKeysByTypeFamilyAndValueInInsertionOrder) {
  const ObjectPtr object = Dictionary::Create();
  const std::tuple<Variant, Variant, bool> cases[] = {
      {Variant(std::int32_t{1}), Variant(1.0), true},
      {Variant(0.0), Variant(-0.0), true},
      {Variant(std::nan("")), Variant(std::nan("")), true},
      {Variant(std::int32_t{1}), Variant("1"), false},
      {Variant(true), Variant(std::int32_t{-1}), false},
      {Variant(std::int64_t{9'007'199'254'740'993}), Variant(9'007'199'254'740'992.0), false},
      {Variant(), Variant::Null(), false},
      {Variant::Null(), Variant::Null(), true},
      {Variant(object), Variant(object), true},
      {Variant(object), Variant(ObjectPtr(Dictionary::Create())), false},
  };
  for (int others : {0, 100})
    for (const auto& [stored, looked_up, found] : cases) {
      Dictionary dictionary;
      for (int i = 0; i < others; ++i)
        dictionary.Add(Variant("other " + std::to_string(i)), stored);
      dictionary.Add(stored, Variant("item"));
      const std::string label =
          stored.TypeName() + " vs " + looked_up.TypeName() + " among " + std::to_string(others);
      EXPECT_EQ(dictionary.Exists(looked_up), found) << label;
      EXPECT_EQ(ErrorNumberOf([&, &key = looked_up] { dictionary.Add(key, Variant()); }),
                found ? 457 : 0)
          << label;
      EXPECT_EQ(dictionary.Count(), others + (found ? 1 : 2)) << label;
    }
  EXPECT_EQ(ErrorNumberOf([] { Dictionary().Add(Variant(Array(0, 0)), Variant()); }), 13);
  // A replaced item keeps its key's place; looking a missing key up adds nothing.
  Dictionary dictionary;
  dictionary.Add(Variant("b"), Variant(0));
  dictionary.Add(Variant(3), Variant(1));
  dictionary.Set(Variant("b"), Variant("replaced"));
  dictionary.Set(Variant("z"), Variant("new"));
  EXPECT_EQ(dictionary.Keys(), Array::Of({Variant("b"), Variant(3), Variant("z")}));
  EXPECT_EQ(dictionary.Items(), Array::Of({Variant("replaced"), Variant(1), Variant("new")}));
  EXPECT_TRUE(dictionary.Item(Variant("3")).IsEmpty());
  EXPECT_EQ(dictionary.Count(), 3);
}

// 6, 13, 94 are checked word for word in cli_test, 5, 9, 457 in the operation tests, 91 rfq_test.
TEST(Error, CarriesClassicTextAndMapsForeignExceptions) {
  const std::pair<std::int32_t, const char*> cases[] = {
      {438, "Object doesn't support this property or method"},
      {450, "Wrong number of arguments or invalid property assignment"},
      {12345, "Application-defined or object-defined error"},
  };
  for (const auto& [number, text] : cases)
    EXPECT_EQ(Error::Runtime(number).Info(), (ErrorInfo{number, "Carvalen", text, "", 0}));
  // An error raised without source or description gets the library's (kLineMissing: price_test).
  EXPECT_EQ(Error(7, "", "").Info(), (ErrorInfo{7, "Carvalen", kGenericDescription, "", 0}));
  // A foreign exception or an error numbered 0 becomes a library error, its message kept aside.
  const auto caught = [](auto thrown) {
    try {
      throw thrown;
    } catch (...) {
      return CurrentError();
    }
  };
  EXPECT_EQ(caught(std::bad_alloc()).Info(), Error::Runtime(7).Info());
  const Error foreign = caught(std::runtime_error("socket closed"));
  EXPECT_EQ(foreign.Info(), (ErrorInfo{51, "Carvalen", "Internal error", "", 0}));
  EXPECT_EQ(foreign.Diagnostics(), (ErrorDiagnostics{"", "socket closed", "", ""}));
  // Number 0 is no error to a reporter: it becomes 51, keeping everything else.
  const Error zero =
      caught(Error(ErrorInfo{0, "Host.Store", "store locked", "h.chm", 7}).WithNative("E1"));
  EXPECT_EQ(zero.Info(), (ErrorInfo{51, "Host.Store", "Internal error", "h.chm", 7}));
  EXPECT_EQ(zero.Diagnostics(), (ErrorDiagnostics{"E1", "store locked", "", ""}));
}

TEST(Settings, StartFromTheEnvironmentAndIgnoreItsLaterChanges) {
  for (Setting setting : {Setting::ConfigDir, Setting::LogFile, Setting::SqlTrace}) {
    const char* variable = SettingVariable(setting);
    ::setenv(variable, "/from/environment", 1);
    LoadSettingsFromEnvironment();
    EXPECT_EQ(GetSetting(setting), "/from/environment") << variable;
    ::setenv(variable, "/changed/later", 1);
    EXPECT_EQ(GetSetting(setting), "/from/environment") << variable;
    SetSetting(setting, "/from/host");
    EXPECT_EQ(GetSetting(setting), "/from/host") << variable;
    ::unsetenv(variable);
    LoadSettingsFromEnvironment();
    EXPECT_EQ(GetSetting(setting), "") << variable;
  }
}

}  // namespace
}  // namespace carvalen
