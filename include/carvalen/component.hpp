// Creation of components by name, and the object context a host may run calls inside.
//
// Every name ("Carvalen.Contract", "Mirelib.Utilities", ...) maps to a factory. The library
// registers its own defaults; a host registers its own implementation of any name (its
// configuration, its log) and that one is used from then on. Names match without regard to case.
#pragma once

#include "carvalen/export.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "carvalen/variant.hpp"

namespace carvalen {

using ComponentFactory = std::function<ObjectPtr()>;

/// Registers `factory` under `name`, replacing any earlier one (the library's default included).
CARVALEN_API void RegisterComponent(std::string_view name, ComponentFactory factory);
/// Removes a host's registration; the library's default, if any, serves the name again.
CARVALEN_API void UnregisterComponent(std::string_view name);

/// Creates the component registered under `name`. An unknown name, or a factory that fails or
/// returns nothing, fails with 429 "ActiveX component can't create object"; what a failing
/// factory raised is kept as the error's native message, for the log.
CARVALEN_API ObjectPtr CreateObject(std::string_view name);

/// The context of a transaction-server host. Components created through it join the caller's
/// context; the default creates them by name like CreateObject.
class CARVALEN_API ObjectContext {
 public:
  virtual ~ObjectContext() = default;
  virtual ObjectPtr CreateInstance(std::string_view name) { return CreateObject(name); }
};

/// The context the current thread runs in, or null outside any.
CARVALEN_API std::shared_ptr<ObjectContext> GetObjectContext();

/// Enters `context` on this thread for the life of the scope, restoring the previous one after.
class CARVALEN_API ObjectContextScope {
 public:
  explicit ObjectContextScope(std::shared_ptr<ObjectContext> context);
  ~ObjectContextScope();
  ObjectContextScope(const ObjectContextScope&) = delete;
  ObjectContextScope& operator=(const ObjectContextScope&) = delete;

 private:
  std::shared_ptr<ObjectContext> previous_;
};

/// Registers a host's component for the life of the scope (handy in tests and embedding hosts),
/// then gives the name back to what served it before: the host's earlier registration, else the
/// library's default. Overrides of one name must end in the reverse order of their start.
class CARVALEN_API ComponentOverride {
 public:
  ComponentOverride(std::string_view name, ComponentFactory factory);
  ~ComponentOverride();
  ComponentOverride(const ComponentOverride&) = delete;
  ComponentOverride& operator=(const ComponentOverride&) = delete;

 private:
  std::string name_;
  std::optional<ComponentFactory> previous_;  // the host's registration this one hides
};

}  // namespace carvalen
