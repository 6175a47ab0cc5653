#include "db/postgres/libpq.hpp"

#include <dlfcn.h>

#include <string>

#include "db/errors.hpp"

namespace carvalen::db::pg {
namespace {

// The soname of libpq's stable interface (libpq5), the one the headers describe.
constexpr const char* kLibrary = "libpq.so.5";

Libpq Load() {
  void* handle = ::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    throw LayerError(dberr::kProviderNotFound,
                     std::string(kTextProviderNotFound) + " The PostgreSQL provider needs " +
                         kLibrary + ": " + (why != nullptr ? why : "it could not be loaded") + ".");
  }
  // The handle is never closed: sessions and their results may live until the process ends.
  Libpq pq;
  std::string missing;
#define CARVALEN_LIBPQ_RESOLVE(name)                                     \
  pq.name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name)); \
  if (pq.name == nullptr) missing += (missing.empty() ? "" : ", ") + std::string(#name);
  CARVALEN_LIBPQ_FUNCTIONS(CARVALEN_LIBPQ_RESOLVE)
#undef CARVALEN_LIBPQ_RESOLVE
  if (!missing.empty()) {
    ::dlclose(handle);
    throw LayerError(dberr::kProviderNotFound,
                     std::string(kTextProviderNotFound) + " The " + kLibrary +
                         " found is older than the PostgreSQL provider needs (no " + missing +
                         ").");
  }
  return pq;
}

}  // namespace

const Libpq& Pq() {
  // A failed load throws out of the initialisation, so the next caller tries again.
  static const Libpq pq = Load();
  return pq;
}

}  // namespace carvalen::db::pg
