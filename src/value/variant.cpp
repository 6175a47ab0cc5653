// Variant: states, type names, array and object access, equality. Conversions live in convert.cpp.
#include "carvalen/variant.hpp"
#include "carvalen/error.hpp"

namespace carvalen {

Variant Object::Invoke(std::string_view, std::span<Variant>) {
  throw Error::Runtime(errnum::kNotSupported);
}

Variant::Variant(Array v) : type_(VarType::Array), data_(std::make_shared<Array>(std::move(v))) {}

void Variant::ThrowNotSet() { throw Error::Runtime(errnum::kObjectNotSet); }
void Variant::ThrowTypeMismatch() { throw Error::Runtime(errnum::kTypeMismatch); }

bool Variant::IsNumber() const {
  switch (type_) {
    case VarType::Boolean:
    case VarType::Integer:
    case VarType::Long:
    case VarType::LongLong:
    case VarType::Double:
      return true;
    default:
      return false;
  }
}

std::string Variant::TypeName() const {
  switch (type_) {
    case VarType::Empty:
      return "Empty";
    case VarType::Null:
      return "Null";
    case VarType::Missing:
      return "Error";  // a missing argument is classically an Error value
    case VarType::Boolean:
      return "Boolean";
    case VarType::Integer:
      return "Integer";
    case VarType::Long:
      return "Long";
    case VarType::LongLong:
      return "LongLong";
    case VarType::Double:
      return "Double";
    case VarType::String:
      return "String";
    case VarType::Date:
      return "Date";
    case VarType::Array:
      return "Variant()";
    case VarType::Object: {
      const ObjectPtr& object = std::get<ObjectPtr>(data_);
      return object ? object->ClassName() : "Nothing";
    }
  }
  return "Empty";
}

const Array& Variant::GetArray() const {
  if (type_ != VarType::Array) ThrowTypeMismatch();
  const std::shared_ptr<Array>& array = std::get<std::shared_ptr<Array>>(data_);
  if (!array) throw Error::Runtime(errnum::kSubscriptOutOfRange);
  return *array;
}

Array& Variant::MutableArray() {
  if (type_ != VarType::Array) ThrowTypeMismatch();
  std::shared_ptr<Array>& array = std::get<std::shared_ptr<Array>>(data_);
  if (!array) throw Error::Runtime(errnum::kSubscriptOutOfRange);
  // Another Variant (or a holder of ArrayPointer) still shares it: take a private copy.
  if (array.use_count() > 1) array = std::make_shared<Array>(*array);
  return *array;
}

std::shared_ptr<const Array> Variant::ArrayPointer() const {
  if (type_ != VarType::Array) ThrowTypeMismatch();
  return std::get<std::shared_ptr<Array>>(data_);
}

ObjectPtr Variant::GetObject() const {
  if (type_ != VarType::Object) ThrowTypeMismatch();
  return std::get<ObjectPtr>(data_);
}

bool Variant::operator==(const Variant& other) const {
  if (type_ != other.type_) return false;
  if (type_ == VarType::Array) {
    const auto& a = std::get<std::shared_ptr<Array>>(data_);
    const auto& b = std::get<std::shared_ptr<Array>>(other.data_);
    return a == b || (a && b && *a == *b);
  }
  // Every other state compares its stored alternative: monostate, scalar, text, date or the
  // object pointer (identity).
  return data_ == other.data_;
}

}  // namespace carvalen
