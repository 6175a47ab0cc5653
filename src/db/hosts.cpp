#include "db/hosts.hpp"

#include <algorithm>
#include <charconv>
#include <optional>

#include "db/driver.hpp"
#include "db/errors.hpp"
#include "value/text.hpp"

namespace carvalen::db {
namespace {

[[noreturn]] void Invalid(const std::string& detail) {
  throw LayerError(dberr::kInvalidArgument, "Invalid connection string: " + detail);
}

/// The items of a libpq comma-separated list, blanks around each trimmed.
std::vector<std::string> CommaList(const std::string& value) {
  std::vector<std::string> items;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = value.find(',', start);
    items.emplace_back(text::TrimBlanks(std::string_view(value).substr(
        start, comma == std::string::npos ? std::string::npos : comma - start)));
    if (comma == std::string::npos) return items;
    start = comma + 1;
  }
}

SessionAttrs ParseAttrs(const std::string& value) {
  const std::string v = text::AsciiLower(value);
  if (v == "any") return SessionAttrs::Any;
  if (v == "read-only") return SessionAttrs::ReadOnly;
  if (v == "primary") return SessionAttrs::Primary;
  if (v == "standby") return SessionAttrs::Standby;
  if (v == "prefer-standby") return SessionAttrs::PreferStandby;
  if (v == "read-write") {
    // libpq would look for a session that accepts writes, and ours never do.
    Invalid(
        "Target Session Attrs=read-write can never match: the provider's sessions are always "
        "read-only (use primary for the server that accepts writes)");
  }
  Invalid("Target Session Attrs must be any, read-only, primary, standby or prefer-standby, not '" +
          value + "'");
}

const char* AttrsText(SessionAttrs attrs) {
  switch (attrs) {
    case SessionAttrs::Any:
      return "any";
    case SessionAttrs::ReadOnly:
      return "read-only";
    case SessionAttrs::Primary:
      return "primary";
    case SessionAttrs::Standby:
      return "standby";
    case SessionAttrs::PreferStandby:
      return "prefer-standby";
  }
  return "any";
}

/// 0 for a host of the wanted role or of a role not yet seen, 1 for one known to be the other.
int Rank(SessionAttrs attrs, HostHealth::Role role) {
  using Role = HostHealth::Role;
  switch (attrs) {
    case SessionAttrs::Standby:
    case SessionAttrs::PreferStandby:
      return role == Role::Primary ? 1 : 0;
    case SessionAttrs::Primary:
      return role == Role::Standby ? 1 : 0;
    default:
      return 0;
  }
}

bool Qualifies(SessionAttrs attrs, bool standby) {
  switch (attrs) {
    case SessionAttrs::Primary:
      return !standby;
    case SessionAttrs::Standby:
    case SessionAttrs::PreferStandby:
      return standby;
    default:
      return true;
  }
}

/// A failure that says the host cannot serve now (refused, unreachable, starting up or shutting
/// down, closed on us), as opposed to one every host would give (a malformed key).
bool IsHostFailure(const Error& e) { return e.NativeCode().starts_with("08"); }

}  // namespace

HostOptions ReadHostOptions(const ParsedConnection& settings) {
  HostOptions options;
  const std::vector<std::string> hosts = CommaList(settings.Find("host").value_or(""));
  const std::vector<std::string> ports = CommaList(settings.Find("port").value_or(""));
  // libpq's pairing: one port for every host, or one port per host.
  if (ports.size() != 1 && ports.size() != hosts.size()) {
    Invalid("Port names " + std::to_string(ports.size()) + " ports for " +
            std::to_string(hosts.size()) + " hosts; give one port, or one per host");
  }
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    options.endpoints.push_back({hosts[i], ports.size() == 1 ? ports[0] : ports[i]});
  }
  if (auto attrs = settings.Find("target session attrs")) {
    options.attrs = ParseAttrs(*attrs);
  } else if (auto raw = settings.Find("target_session_attrs")) {
    options.attrs = ParseAttrs(*raw);
  }
  if (auto balance = settings.Find("load balance hosts")) {
    const std::string v = text::AsciiLower(*balance);
    if (v != "random" && v != "disable") {
      Invalid("Load Balance Hosts must be disable or random, not '" + *balance + "'");
    }
    options.random = v == "random";
  }
  if (auto recheck = settings.Find("host recheck seconds")) {
    const char* end = recheck->data() + recheck->size();
    auto [ptr, ec] = std::from_chars(recheck->data(), end, options.recheck_seconds);
    if (ec != std::errc() || ptr != end || options.recheck_seconds < 1) {
      Invalid("Host Recheck Seconds must be a whole number of 1 or more, not '" + *recheck + "'");
    }
  }
  if (options.random && settings.Find("hostaddr")) {
    Invalid("Load Balance Hosts=random chooses among the Host names; hostaddr cannot go with it");
  }
  return options;
}

std::vector<Endpoint> HostHealth::Order(const std::vector<Endpoint>& endpoints, SessionAttrs attrs,
                                        Clock::time_point now) {
  struct Candidate {
    const Endpoint* endpoint;
    bool down;
    Clock::time_point down_until;
    int rank;
    std::uint64_t tie;
  };
  std::vector<Candidate> candidates;
  {
    std::lock_guard lock(mutex_);
    for (const Endpoint& e : endpoints) {
      auto it = states_.find(e.Key());
      const State state = it == states_.end() ? State{} : it->second;
      candidates.push_back({&e, state.failures > 0 && state.down_until > now, state.down_until,
                            Rank(attrs, state.role), random_()});
    }
  }
  // Down hosts last, the soonest back first; a host of the wanted role before the others.
  std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
    if (a.down != b.down) return !a.down;
    if (a.down && a.down_until != b.down_until) return a.down_until < b.down_until;
    if (a.rank != b.rank) return a.rank < b.rank;
    return a.tie < b.tie;
  });
  std::vector<Endpoint> order;
  order.reserve(candidates.size());
  for (const Candidate& c : candidates) order.push_back(*c.endpoint);
  return order;
}

void HostHealth::Failed(const std::string& key, std::int32_t max_seconds, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  State& state = states_[key];
  // A host found broken by many sessions at once counts once per back-off.
  if (state.failures > 0 && state.down_until > now) return;
  ++state.failures;
  const std::int64_t seconds =
      std::min<std::int64_t>(std::int64_t{1} << std::min(state.failures - 1, 20), max_seconds);
  state.down_until = now + std::chrono::seconds(seconds);
}

void HostHealth::Connected(const std::string& key, bool standby) {
  std::lock_guard lock(mutex_);
  State& state = states_[key];
  state.failures = 0;
  state.role = standby ? Role::Standby : Role::Primary;
}

HostHealth::Role HostHealth::RoleOf(const std::string& key) {
  std::lock_guard lock(mutex_);
  auto it = states_.find(key);
  return it == states_.end() ? Role::Unknown : it->second.role;
}

bool HostHealth::IsDown(const std::string& key, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  auto it = states_.find(key);
  return it != states_.end() && it->second.failures > 0 && it->second.down_until > now;
}

void HostHealth::Reset() {
  std::lock_guard lock(mutex_);
  states_.clear();
}

std::unique_ptr<PhysicalConnection> OpenPostgresSession(const ParsedConnection& settings,
                                                        std::int32_t connection_timeout,
                                                        std::int32_t command_timeout,
                                                        HostHealth& health) {
  const HostOptions options = ReadHostOptions(settings);
  // The driver sees libpq's keys only.
  ParsedConnection plain = settings;
  std::erase_if(plain.keys, [](const auto& item) {
    return item.first == "target session attrs" || item.first == "target_session_attrs" ||
           item.first == "load balance hosts" || item.first == "host recheck seconds";
  });
  if (!options.random || options.endpoints.size() < 2) {
    if (options.attrs != SessionAttrs::Any) {
      plain.Set("target_session_attrs", AttrsText(options.attrs));
    }
    return OpenPostgres(plain, connection_timeout, command_timeout);
  }

  // One host at a time, in the order of their health and role. A session of the wrong role is
  // closed, except that prefer-standby keeps the first other one in case no standby answers.
  std::unique_ptr<PhysicalConnection> fallback;
  std::optional<Error> failure;
  std::string mismatched;
  for (const Endpoint& endpoint :
       health.Order(options.endpoints, options.attrs, HostHealth::Clock::now())) {
    // With a primary in hand, another host known to be one is not worth a connect.
    if (fallback && health.RoleOf(endpoint.Key()) == HostHealth::Role::Primary) continue;
    plain.Set("host", endpoint.host);
    plain.Set("port", endpoint.port);
    std::unique_ptr<PhysicalConnection> session;
    try {
      session = OpenPostgres(plain, connection_timeout, command_timeout);
    } catch (const Error& e) {
      if (!IsHostFailure(e)) throw;
      health.Failed(endpoint.Key(), options.recheck_seconds, HostHealth::Clock::now());
      failure = e;
      continue;
    }
    const bool standby = session->InRecovery();
    health.Connected(endpoint.Key(), standby);
    session->placement.health_key = endpoint.Key();
    session->placement.recheck_seconds = options.recheck_seconds;
    if (Qualifies(options.attrs, standby)) return session;
    if (options.attrs == SessionAttrs::PreferStandby) {
      if (!fallback) fallback = std::move(session);
      continue;
    }
    mismatched += (mismatched.empty() ? "" : ", ") + endpoint.Key();
  }
  if (fallback) return fallback;
  if (!mismatched.empty()) {
    throw PostgresConnectError(std::string("no server qualifies for Target Session Attrs=") +
                               AttrsText(options.attrs) + " (" + mismatched +
                               (options.attrs == SessionAttrs::Primary
                                    ? " in hot standby mode)"
                                    : " not in hot standby mode)"));
  }
  throw *failure;
}

}  // namespace carvalen::db
