// The component registry. The library's own classes and the default outside components
// (BuiltInComponents) are registered at first use; a host's registration of a name takes precedence
// over the default. The registry is the process's one table of names (what a system registry is
// elsewhere), so it is shared by all threads and guarded by a mutex; the object context is per
// thread.
#include "carvalen/component.hpp"

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "carvalen/error.hpp"
#include "carvalen/interfaces.hpp"
#include "frame/built_ins.hpp"
#include "value/text.hpp"

namespace carvalen {
namespace {

std::string Normalize(std::string_view name) { return text::AsciiLower(name); }

// Names compared and hashed without regard to ASCII case, found as given: every operation creates
// two components by name, and lower-casing the name first allocated for the longer ones.
struct NoCaseHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view name) const {
    std::size_t h = 0xcbf29ce484222325ULL;
    for (char c : name) h = (h ^ static_cast<unsigned char>(text::LowerChar(c))) * 0x100000001b3ULL;
    return h;
  }
};
struct NoCaseEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return text::EqualsNoCase(a, b); }
};
using FactoryTable = std::unordered_map<std::string, ComponentFactory, NoCaseHash, NoCaseEqual>;

class Registry {
 public:
  Registry() {
    for (auto& [name, factory] : BuiltInComponents()) defaults_[Normalize(name)] = factory;
  }

  // Returns the host's registration that this one replaces, if there was one.
  std::optional<ComponentFactory> Register(std::string_view name, ComponentFactory factory) {
    std::lock_guard lock(mutex_);
    std::optional<ComponentFactory> previous;
    auto [it, inserted] = hosted_.try_emplace(Normalize(name));
    if (!inserted) previous = std::move(it->second);
    it->second = std::move(factory);
    hosted_count_.store(hosted_.size(), std::memory_order_release);
    return previous;
  }

  void Unregister(std::string_view name) {
    std::lock_guard lock(mutex_);
    if (auto it = hosted_.find(name); it != hosted_.end()) hosted_.erase(it);
    hosted_count_.store(hosted_.size(), std::memory_order_release);
  }

  ComponentFactory Find(std::string_view name) {
    // The defaults never change after construction; only a host's registrations need the lock,
    // and most hosts register nothing.
    if (hosted_count_.load(std::memory_order_acquire) != 0) {
      std::lock_guard lock(mutex_);
      if (auto it = hosted_.find(name); it != hosted_.end()) return it->second;
    }
    if (auto it = defaults_.find(name); it != defaults_.end()) return it->second;
    return {};
  }

 private:
  std::mutex mutex_;
  FactoryTable defaults_;
  FactoryTable hosted_;
  std::atomic<std::size_t> hosted_count_ = 0;  // hosted_.size(), read without the lock
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

thread_local std::shared_ptr<ObjectContext> t_context;

}  // namespace

void RegisterComponent(std::string_view name, ComponentFactory factory) {
  TheRegistry().Register(name, std::move(factory));
}

void UnregisterComponent(std::string_view name) { TheRegistry().Unregister(name); }

ObjectPtr CreateObject(std::string_view name) {
  ComponentFactory factory = TheRegistry().Find(name);
  ObjectPtr object;
  if (factory) {
    try {
      object = factory();
    } catch (...) {
      // The caller sees the classic creation failure; what the factory said goes to the log.
      const Error cause = CurrentError();
      Error error = Error::Runtime(errnum::kCannotCreateObject);
      error.WithDiagnostics(cause.Diagnostics());
      if (error.NativeMessage().empty()) error.WithMessage(cause.Description());
      throw error;
    }
  }
  if (!object) throw Error::Runtime(errnum::kCannotCreateObject);
  return object;
}

std::shared_ptr<ObjectContext> GetObjectContext() { return t_context; }

ObjectContextScope::ObjectContextScope(std::shared_ptr<ObjectContext> context)
    : previous_(std::exchange(t_context, std::move(context))) {}

ObjectContextScope::~ObjectContextScope() { t_context = std::move(previous_); }

ComponentOverride::ComponentOverride(std::string_view name, ComponentFactory factory)
    : name_(name), previous_(TheRegistry().Register(name_, std::move(factory))) {}

ComponentOverride::~ComponentOverride() {
  if (previous_) {
    TheRegistry().Register(name_, std::move(*previous_));
  } else {
    TheRegistry().Unregister(name_);
  }
}

}  // namespace carvalen
