// Choosing the PostgreSQL server for a new session when a connection string names several
// (`Host=h1,h2,h3`). With `Load Balance Hosts=disable` (the default) libpq gets the whole list and
// tries it in order, as it always does. With `Load Balance Hosts=random` the pool chooses: each new
// physical session goes to one host picked at random among those that qualify for `Target Session
// Attrs`, and libpq is handed that single host. A host that fails (a refused connect, a session
// that breaks) is left alone for a back-off that doubles up to `Host Recheck Seconds`, then tried
// again; idle sessions of a host marked down are discarded rather than reused.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "db/connection_string.hpp"

namespace carvalen::db {

class PhysicalConnection;

/// One server of a host list, as libpq pairs hosts with ports.
struct Endpoint {
  std::string host;
  std::string port;  // empty: libpq's default
  /// "host:port", the key of the host's health.
  std::string Key() const { return host + ':' + port; }
};

/// What a session's server must be.
enum class SessionAttrs { Any, ReadOnly, Primary, Standby, PreferStandby };

/// The host-related keys of a PostgreSQL connection string.
struct HostOptions {
  std::vector<Endpoint> endpoints;
  SessionAttrs attrs = SessionAttrs::Any;
  bool random = false;
  std::int32_t recheck_seconds = 10;
};

/// Reads Host, Port, Target Session Attrs (or libpq's target_session_attrs), Load Balance Hosts
/// and Host Recheck Seconds; a bad value fails (3001) naming the key.
HostOptions ReadHostOptions(const ParsedConnection& settings);

/// Where a session was opened and whether the pool tracks its host's health.
struct Placement {
  std::string host;  // as libpq reports it after connecting (PQhost / PQport)
  std::string port;
  std::string health_key;  // the Endpoint key it was chosen as; empty: not chosen by the pool
  std::int32_t recheck_seconds = 10;

  /// Whether the pool chose the host, so that the session's failures mark the host down.
  bool Balanced() const { return !health_key.empty(); }
};

/// The health and last seen role of each host, for one pool. Thread-safe.
class HostHealth {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Role { Unknown, Primary, Standby };

  /// The order in which to try `endpoints` for `attrs`: hosts that are up (or whose back-off has
  /// passed) before hosts that are down, the preferred role first, at random within a rank.
  std::vector<Endpoint> Order(const std::vector<Endpoint>& endpoints, SessionAttrs attrs,
                              Clock::time_point now);
  /// `key` failed: it is down for a back-off that doubles with each failure in a row, from one
  /// second up to `max_seconds`.
  void Failed(const std::string& key, std::int32_t max_seconds, Clock::time_point now);
  /// A session to `key` was made: the host is up, and `standby` says its role.
  void Connected(const std::string& key, bool standby);
  /// The role `key` had when last connected.
  Role RoleOf(const std::string& key);
  /// Whether `key` is marked down and its back-off has not passed.
  bool IsDown(const std::string& key, Clock::time_point now);
  /// Forgets every host (for tests).
  void Reset();

 private:
  struct State {
    std::int32_t failures = 0;
    Clock::time_point down_until{};
    Role role = Role::Unknown;
  };
  std::mutex mutex_;
  std::unordered_map<std::string, State> states_;
  std::mt19937_64 random_{std::random_device{}()};
};

/// Opens a PostgreSQL session for `settings`: straight through libpq, or, with Load Balance
/// Hosts=random, on a host chosen with `health`. Fails as the driver does; when no host
/// qualifies, with the last host's error.
std::unique_ptr<PhysicalConnection> OpenPostgresSession(const ParsedConnection& settings,
                                                        std::int32_t connection_timeout,
                                                        std::int32_t command_timeout,
                                                        HostHealth& health);

}  // namespace carvalen::db
