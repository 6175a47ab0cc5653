// Late binding: a class that answers calls by name (the public classes, the default components)
// has a table of its members, each with its exact name, its parameters (name, type, by
// reference, optional) and an invoker that converts the caller's Variants to the declared
// parameter types with the normal conversion rules, calls the C++ member, writes by-reference
// arguments back and wraps the result in a Variant.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "carvalen/dictionary.hpp"
#include "carvalen/error.hpp"
#include "carvalen/operations.hpp"
#include "carvalen/recordset.hpp"
#include "carvalen/variant.hpp"

namespace carvalen::binding {

struct ParamInfo {
  std::string name;
  ParameterType type = ParameterType::Variant;
  bool by_ref = false;
  bool optional = false;
  Variant default_value = Variant::Missing();  // what an omitted optional argument becomes
};

/// One parameter declaration for Bind: "i_lContractHeaderID", or Optional("i_lProductId").
struct Param {
  Param(const char* n) : name(n) {}  // NOLINT: the table reads best with plain names
  const char* name;
  bool optional = false;
  Variant default_value = Variant::Missing();
};
inline Param Optional(const char* name, Variant default_value = Variant::Missing()) {
  Param p(name);
  p.optional = true;
  p.default_value = std::move(default_value);
  return p;
}

struct MethodInfo {
  std::string name;
  std::vector<ParamInfo> params;
  std::string result;  // "Dictionary", "Variant", "Double", "Boolean", "String"
  std::function<Variant(Object& self, std::span<Variant> args)> invoke;
};

/// Calls `name` (matched without regard to case) on `self` from `methods`: 438 when there is no
/// such operation, 450 for too many arguments, 449 for an omitted required one.
Variant InvokeByName(const std::vector<MethodInfo>& methods, Object& self, std::string_view name,
                     std::span<Variant> args);
const MethodInfo* FindMethod(const std::vector<MethodInfo>& methods, std::string_view name);

namespace detail {

template <class T>
struct Arg;  // how a C++ parameter type is converted from a Variant

template <>
struct Arg<std::int32_t> {
  static constexpr ParameterType kType = ParameterType::Long;
  static std::int32_t From(const Variant& v) { return v.ToLong(); }
};
template <>
struct Arg<double> {
  static constexpr ParameterType kType = ParameterType::Double;
  static double From(const Variant& v) { return v.ToDouble(); }
};
template <>
struct Arg<bool> {
  static constexpr ParameterType kType = ParameterType::Boolean;
  static bool From(const Variant& v) { return v.ToBool(); }
};
template <>
struct Arg<std::string> {
  static constexpr ParameterType kType = ParameterType::String;
  static std::string From(const Variant& v) { return v.ToString(); }
};
template <>
struct Arg<Date> {
  static constexpr ParameterType kType = ParameterType::Date;
  static Date From(const Variant& v) { return v.ToDate(); }
};
template <>
struct Arg<Variant> {
  static constexpr ParameterType kType = ParameterType::Variant;
  static Variant From(const Variant& v) { return v; }
};
template <>
struct Arg<Array> {
  static constexpr ParameterType kType = ParameterType::Variant;
  static Array From(const Variant& v) { return v.GetArray(); }
};
template <>
struct Arg<DictionaryPtr> {
  static constexpr ParameterType kType = ParameterType::Dictionary;
  static DictionaryPtr From(const Variant& v) {
    if (v.IsNothing()) return nullptr;
    return v.As<Dictionary>();
  }
};

template <class R>
Variant ToVariant(R value) {
  if constexpr (std::is_same_v<R, Variant>) {
    return value;
  } else if constexpr (std::is_convertible_v<R, ObjectPtr>) {
    return Variant(ObjectPtr(std::move(value)));
  } else {
    return Variant(std::move(value));
  }
}

template <class R>
constexpr const char* ResultName() {
  if constexpr (std::is_same_v<R, DictionaryPtr>) return "Dictionary";
  if constexpr (std::is_same_v<R, RecordsetPtr>) return "Recordset";
  if constexpr (std::is_same_v<R, Variant>) return "Variant";
  if constexpr (std::is_same_v<R, double>) return "Double";
  if constexpr (std::is_same_v<R, bool>) return "Boolean";
  if constexpr (std::is_same_v<R, std::string>) return "String";
  return "Object";
}

// Holds one converted argument for the call and writes it back when it is by reference.
template <class P>
struct Slot {
  using T = std::remove_cvref_t<P>;
  static constexpr bool kByRef =
      std::is_lvalue_reference_v<P> && !std::is_const_v<std::remove_reference_t<P>>;

  explicit Slot(Variant& source) : source_(source), value_(Arg<T>::From(source)) {}
  T& Get() { return value_; }
  void WriteBack() {
    if constexpr (kByRef) source_ = ToVariant<T>(value_);
  }

 private:
  Variant& source_;
  T value_;
};

// A by-reference Variant is passed as the caller's own Variant.
template <>
struct Slot<Variant&> {
  static constexpr bool kByRef = true;
  explicit Slot(Variant& source) : source_(source) {}
  Variant& Get() { return source_; }
  void WriteBack() {}

 private:
  Variant& source_;
};

// The object as its class: a component reaches Object through a virtual base, which only a
// dynamic cast can go down from.
template <class C>
C& AsClass(Object& self) {
  if constexpr (requires { static_cast<C&>(self); }) {
    return static_cast<C&>(self);
  } else {
    return dynamic_cast<C&>(self);
  }
}

template <class C, class R, class... P, std::size_t... I>
Variant Call(R (C::*method)(P...), C& self, std::span<Variant> args, std::index_sequence<I...>) {
  // Braced initialisation converts the arguments left to right, as late binding does.
  std::tuple<Slot<P>...> slots{Slot<P>(args[I])...};
  if constexpr (std::is_void_v<R>) {
    (self.*method)(std::get<I>(slots).Get()...);
    (std::get<I>(slots).WriteBack(), ...);
    return Variant();
  } else {
    R result = (self.*method)(std::get<I>(slots).Get()...);
    (std::get<I>(slots).WriteBack(), ...);
    return ToVariant<R>(std::move(result));
  }
}

}  // namespace detail

/// True when a parameter list names every parameter of the member, no more and no fewer: the
/// invoker converts exactly one argument per member parameter.
template <std::size_t Names, class... P>
concept OneNamePerParameter = Names == sizeof...(P);

/// Describes the member `method` of class C under the operation name `name`, with one name for
/// each of its parameters; a list of another length does not compile.
template <class C, class R, class... P, std::size_t N>
MethodInfo Bind(const char* name, R (C::*method)(P...),
                const Param (&params)[N]) requires OneNamePerParameter<N, P...> {
  MethodInfo info;
  info.name = name;
  info.result = detail::ResultName<R>();
  constexpr ParameterType kTypes[] = {detail::Arg<std::remove_cvref_t<P>>::kType...};
  constexpr bool kByRef[] = {detail::Slot<P>::kByRef...};
  for (std::size_t i = 0; i < N; ++i) {
    info.params.push_back(ParamInfo{params[i].name, kTypes[i], kByRef[i], params[i].optional,
                                    params[i].default_value});
  }
  info.invoke = [method](Object& self, std::span<Variant> args) {
    return detail::Call(method, detail::AsClass<C>(self), args, std::index_sequence_for<P...>{});
  };
  return info;
}

}  // namespace carvalen::binding
