// Values that cross the library's boundary: the Variant with its four "no value" states
// (Empty, Null, Nothing, missing), scalars, dates, arrays and objects, and the conversions
// between them that callers of the old component rely on (classic Basic rules and error numbers).
#pragma once

#include "carvalen/export.h"

#include <compare>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace carvalen {

class Variant;
class Array;

/// A zone-less local date-time with microsecond resolution.
class CARVALEN_API Date {
 public:
  constexpr Date() = default;
  /// Microseconds since 1970-01-01 00:00:00 (no time zone is implied).
  constexpr explicit Date(std::int64_t micros) : micros_(micros) {}
  /// Builds a date from its parts; invalid parts fail with 5 "Invalid procedure call or argument".
  static Date FromParts(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                        int microsecond = 0);
  /// Today's local date at 00:00:00.
  static Date Today();
  /// The local date-time now.
  static Date Now();
  /// Parses "YYYY-MM-DD", "YYYY-MM-DD HH:MM[:SS[.ffffff]]" (or with 'T'); false on anything else.
  static bool TryParse(std::string_view text, Date& out);
  /// Days since 1899-12-30 with the time of day as fraction (the classic serial date).
  static Date FromSerial(double serial);
  double ToSerial() const;

  std::int64_t Micros() const { return micros_; }
  Date AddDays(std::int64_t days) const { return Date(micros_ + days * 86'400'000'000LL); }

  struct Parts {
    int year, month, day, hour, minute, second, microsecond;
  };
  Parts Split() const;
  /// "YYYY-MM-DD HH:MM:SS", with ".ffffff" only when there are fractional seconds.
  std::string ToText(char separator = ' ') const;

  // The check mistakes the defaulted comparison's own 0 for a null pointer.
  auto operator<=>(const Date&) const = default;  // NOLINT(modernize-use-nullptr)

 private:
  std::int64_t micros_ = 0;
};

/// Anything a Variant can point to: dictionaries, record sets, components.
class CARVALEN_API Object {
 public:
  virtual ~Object() = default;
  /// The class name used in messages and the tool's JSON ("Dictionary", "Contract", ...).
  virtual std::string ClassName() const = 0;
  /// Late binding: calls the member `name` (matched without regard to case) with `args`;
  /// by-reference arguments are written back into `args`. The default knows no member and fails
  /// with 438 "Object doesn't support this property or method".
  virtual Variant Invoke(std::string_view name, std::span<Variant> args);
};

using ObjectPtr = std::shared_ptr<Object>;

enum class VarType : std::uint8_t {
  Empty,
  Null,
  Missing,
  Boolean,
  Integer,   // 16-bit
  Long,      // 32-bit
  LongLong,  // 64-bit
  Double,
  String,
  Date,
  Array,   // a null array pointer is the never-allocated array
  Object,  // a null object pointer is Nothing
};

/// A value of one of the types above. Copies share arrays and objects; arrays are copied on
/// write, so a copy of a Variant never sees later changes to the original's array.
class CARVALEN_API Variant {
 public:
  Variant() = default;  // Empty
  explicit Variant(bool v) : type_(VarType::Boolean), data_(v) {}
  explicit Variant(std::int16_t v) : type_(VarType::Integer), data_(std::int64_t{v}) {}
  explicit Variant(std::int32_t v) : type_(VarType::Long), data_(std::int64_t{v}) {}
  explicit Variant(std::int64_t v) : type_(VarType::LongLong), data_(v) {}
  explicit Variant(double v) : type_(VarType::Double), data_(v) {}
  explicit Variant(std::string v) : type_(VarType::String), data_(std::move(v)) {}
  explicit Variant(const char* v) : Variant(std::string(v)) {}
  explicit Variant(std::string_view v) : Variant(std::string(v)) {}
  explicit Variant(Date v) : type_(VarType::Date), data_(v) {}
  explicit Variant(Array v);
  explicit Variant(std::shared_ptr<Array> v) : type_(VarType::Array), data_(std::move(v)) {}
  explicit Variant(ObjectPtr v) : type_(VarType::Object), data_(std::move(v)) {}

  static Variant Null() { return Variant(VarType::Null); }
  static Variant Missing() { return Variant(VarType::Missing); }
  static Variant Nothing() { return Variant(ObjectPtr{}); }
  static Variant UnallocatedArray() { return Variant(std::shared_ptr<Array>{}); }

  VarType Type() const { return type_; }
  bool IsEmpty() const { return type_ == VarType::Empty; }
  bool IsNull() const { return type_ == VarType::Null; }
  bool IsMissing() const { return type_ == VarType::Missing; }
  bool IsObject() const { return type_ == VarType::Object; }
  bool IsNothing() const { return type_ == VarType::Object && !std::get<ObjectPtr>(data_); }
  bool IsArray() const { return type_ == VarType::Array; }
  bool IsString() const { return type_ == VarType::String; }
  /// Boolean, Integer, Long, LongLong or Double.
  bool IsNumber() const;

  /// "Empty", "Null", "Error" (missing), "Boolean", "Integer", "Long", "LongLong", "Double",
  /// "String", "Date", "Variant()", or the object's class name ("Nothing" for none).
  std::string TypeName() const;

  // Conversions by the classic rules: Null fails with 94, an unconvertible value with 13, a value
  // out of range with 6. Whole-number conversions round half to even.
  bool ToBool() const;
  std::int16_t ToInteger() const;
  std::int32_t ToLong() const;
  std::int64_t ToLongLong() const;
  double ToDouble() const;
  std::string ToString() const;
  Date ToDate() const;

  /// The array held; 13 when the value is no array, 9 for the never-allocated array.
  const Array& GetArray() const;
  /// The array held, unshared first so that changes stay in this Variant.
  Array& MutableArray();
  std::shared_ptr<const Array> ArrayPointer() const;

  /// The object held (null for Nothing); 13 when the value is no object.
  ObjectPtr GetObject() const;
  /// The object as interface T: 91 for Nothing, 13 when it lacks T.
  template <class T>
  std::shared_ptr<T> As() const;

  /// Direct access to the stored scalar, for code that has already tested the type.
  std::int64_t RawInteger() const { return std::get<std::int64_t>(data_); }
  double RawDouble() const { return std::get<double>(data_); }
  bool RawBool() const { return std::get<bool>(data_); }
  const std::string& RawString() const { return std::get<std::string>(data_); }
  Date RawDate() const { return std::get<Date>(data_); }

  /// Same type and same value (arrays element by element, objects by identity).
  bool operator==(const Variant& other) const;

 private:
  explicit Variant(VarType t) : type_(t) {}
  [[noreturn]] static void ThrowNotSet();
  [[noreturn]] static void ThrowTypeMismatch();

  VarType type_ = VarType::Empty;
  std::variant<std::monostate, bool, std::int64_t, double, std::string, Date,
               std::shared_ptr<Array>, ObjectPtr>
      data_;
};

/// A one- or two-dimensional array of Variants with a lower bound per dimension.
class CARVALEN_API Array {
 public:
  /// One dimension, indexes lower..upper (upper = lower - 1 gives no elements). During an
  /// operation, more cells than its budget has left (GetMaxCells) fail with 7, as does a copy.
  Array(std::int32_t lower, std::int32_t upper);
  /// Two dimensions.
  Array(std::int32_t lower1, std::int32_t upper1, std::int32_t lower2, std::int32_t upper2);
  /// One dimension from 0, holding `items`.
  static Array Of(std::vector<Variant> items, std::int32_t lower = 0);
  // A copy's cells count against the running call's budget, like any other array's.
  Array(const Array& other);
  Array& operator=(const Array& other);
  Array(Array&&) noexcept = default;
  Array& operator=(Array&&) noexcept = default;
  ~Array() = default;

  int Dimensions() const { return dims_; }
  /// Bounds of dimension 1 or 2; any other dimension fails with 9.
  std::int32_t LBound(int dimension = 1) const;
  std::int32_t UBound(int dimension = 1) const;
  std::int64_t Size() const { return static_cast<std::int64_t>(items_.size()); }

  /// Element access; an index outside the bounds fails with 9 "Subscript out of range".
  Variant& At(std::int32_t i);
  const Variant& At(std::int32_t i) const;
  Variant& At(std::int32_t i, std::int32_t j);
  const Variant& At(std::int32_t i, std::int32_t j) const;

  bool operator==(const Array& other) const;

 private:
  std::size_t Offset(std::int32_t i) const;
  std::size_t Offset(std::int32_t i, std::int32_t j) const;

  int dims_ = 1;
  std::int32_t lower_[2] = {0, 0};
  std::int32_t count_[2] = {0, 1};
  std::vector<Variant> items_;  // row-major: element (i, j) at (i - l1) * count2 + (j - l2)
};

/// Classic runtime error numbers and the texts callers see for them.
namespace errnum {
inline constexpr std::int32_t kInvalidProcedureCall = 5;
inline constexpr std::int32_t kOverflow = 6;
inline constexpr std::int32_t kOutOfMemory = 7;
inline constexpr std::int32_t kSubscriptOutOfRange = 9;
inline constexpr std::int32_t kTypeMismatch = 13;
inline constexpr std::int32_t kObjectNotSet = 91;
inline constexpr std::int32_t kInvalidUseOfNull = 94;
inline constexpr std::int32_t kCannotCreateObject = 429;
inline constexpr std::int32_t kNotSupported = 438;
inline constexpr std::int32_t kWrongArgumentCount = 450;
inline constexpr std::int32_t kDuplicateKey = 457;
}  // namespace errnum

/// Text form of a double: shortest round-trip digits, plain notation for 1e-4 <= |x| < 1e15,
/// otherwise d.dddE+XX.
CARVALEN_API std::string FormatNumber(double value);

template <class T>
std::shared_ptr<T> Variant::As() const {
  if (type_ != VarType::Object) ThrowTypeMismatch();
  const ObjectPtr& object = std::get<ObjectPtr>(data_);  // no copy of the pointer to cast it
  if (!object) ThrowNotSet();
  auto typed = std::dynamic_pointer_cast<T>(object);
  if (!typed) ThrowTypeMismatch();
  return typed;
}

}  // namespace carvalen
