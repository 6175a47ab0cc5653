// Descriptors: as many as the system lets the process have, connections bounded below that, and
// one kept in reserve so that a client can still be told "busy" when all the others are in use.
// Private to src/service/.
#pragma once

#include <cstddef>
#include <string>

namespace carvalen::service {

struct Options;

/// Raises the soft limit on open descriptors to the hard one, and lowers `max_connections` to
/// what the limit leaves beside the descriptors the process needs for itself (the database
/// connections of `threads`, files, the listening socket). A warning for the operator when it
/// lowered it, else empty.
std::string FitDescriptors(Options& options);

/// One descriptor held in reserve, given up for a moment to answer a connection when the process
/// has no other left.
class SpareDescriptor {
 public:
  SpareDescriptor() { Take(); }
  ~SpareDescriptor() { Release(); }
  SpareDescriptor(const SpareDescriptor&) = delete;
  SpareDescriptor& operator=(const SpareDescriptor&) = delete;

  /// Accepts one waiting connection on `listener` with the spare descriptor, answers it 503 and
  /// closes it, then takes the spare again. False when no connection was waiting.
  bool RefuseOne(int listener);

 private:
  void Take();
  void Release();
  int fd_ = -1;
};

}  // namespace carvalen::service
