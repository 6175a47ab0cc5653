#include "value/binding.hpp"

#include "value/text.hpp"

namespace carvalen::binding {

const MethodInfo* FindMethod(const std::vector<MethodInfo>& methods, std::string_view name) {
  for (const MethodInfo& method : methods) {
    if (text::EqualsNoCase(method.name, name)) return &method;
  }
  return nullptr;
}

Variant InvokeByName(const std::vector<MethodInfo>& methods, Object& self, std::string_view name,
                     std::span<Variant> args) {
  const MethodInfo* method = FindMethod(methods, name);
  if (method == nullptr) throw Error::Runtime(errnum::kNotSupported);
  if (args.size() > method->params.size()) throw Error::Runtime(errnum::kWrongArgumentCount);
  // Omitted trailing arguments become their parameter's default (missing for a Variant).
  std::vector<Variant> full(args.begin(), args.end());
  for (std::size_t i = args.size(); i < method->params.size(); ++i) {
    const ParamInfo& param = method->params[i];
    if (!param.optional) throw Error(449, "Argument not optional");
    full.push_back(param.default_value);
  }
  Variant result = method->invoke(self, full);
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (method->params[i].by_ref) args[i] = full[i];
  }
  return result;
}

}  // namespace carvalen::binding
