// What a host process asks of the library beside calls: whether the contract database can be
// reached and where it is, the pool's gauges, closing the idle sessions, a key of the
// configuration store, the tables' DDL.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace carvalen::api {

/// Empty when the contract database can be reached as an operation reaches it (the store, its
/// connection string and time-outs, a pooled session when one is idle); else what is wrong,
/// which names hosts and databases.
std::optional<std::string> UnreadyReason();

struct PoolGauges {
  std::int64_t in_use = 0;  // sessions open, pooled or not
  std::int64_t idle = 0;    // sessions in the pool
};
PoolGauges PoolCounts();

/// While it lives, SQLite statements run by this thread stop (the call fails) once `check(context)`
/// says the caller has gone; asked at most every 20 ms.
class AbandonScope {
 public:
  AbandonScope(bool (*check)(void*), void* context);
  ~AbandonScope();
  AbandonScope(const AbandonScope&) = delete;
  AbandonScope& operator=(const AbandonScope&) = delete;
};

/// Closes the pooled sessions (a host that stops).
void DrainPool();

/// Key `key` of [`section`] in the first configuration store that exists, the one the contract
/// connection comes from; nullopt when no store exists, it cannot be read or the key gives no
/// text.
std::optional<std::string> StoreValue(const std::string& section, const std::string& key);

/// Where the configuration stores were looked for, for a person: "no Vendra.toml nor ... in
/// FOLDER (why that folder)".
std::string MissingStoreText();
/// The contract database the first store names, for a person: the file (and whether it
/// exists), or the server and database; which store said so.
std::string ContractDatabaseText();

/// The tables' DDL for "sqlite" or "postgresql" (without regard to case); nullopt for another.
std::optional<std::string> SchemaScript(std::string_view provider);

struct StoreMisspelling {
  std::string store;    // the store's name
  std::string spelled;  // the key as the store spells it, which is not read
};
/// The key of the first store that exists that differs from [`section`] `key` only in how it is
/// spelled; nullopt when there is none or the store cannot be read.
std::optional<StoreMisspelling> FindMisspelling(const std::string& section, const std::string& key);

}  // namespace carvalen::api
