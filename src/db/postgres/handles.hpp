// Owners of libpq's handles: a result, a connection.
#pragma once

#include <libpq-fe.h>

#include <memory>

#include "db/postgres/libpq.hpp"

namespace carvalen::db::pg {

struct ResultDeleter {
  void operator()(PGresult* r) const { Pq().PQclear(r); }
};
using ResultPtr = std::unique_ptr<PGresult, ResultDeleter>;

struct ConnDeleter {
  void operator()(PGconn* c) const { Pq().PQfinish(c); }
};
using ConnPtr = std::unique_ptr<PGconn, ConnDeleter>;

}  // namespace carvalen::db::pg
