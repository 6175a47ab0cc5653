// libpq, loaded when the first PostgreSQL session is opened rather than when the process starts.
//
// libpq brings Kerberos, LDAP, SASL and a TLS library with it: some thirty shared objects whose
// loading and relocation cost a short-lived process (the tool on SQLite) about three times the
// work of its call. So nothing links it: the driver reaches its functions through this table.
#pragma once

#include <libpq-fe.h>

namespace carvalen::db::pg {

/// The libpq functions the driver uses, under their own names.
struct Libpq {
#define CARVALEN_LIBPQ_FUNCTIONS(X) \
  X(PQcancel)                       \
  X(PQclear)                        \
  X(PQconndefaults)                 \
  X(PQconnectdbParams)              \
  X(PQconninfoFree)                 \
  X(PQconsumeInput)                 \
  X(PQenterPipelineMode)            \
  X(PQerrorMessage)                 \
  X(PQexec)                         \
  X(PQexecParams)                   \
  X(PQexitPipelineMode)             \
  X(PQfinish)                       \
  X(PQfname)                        \
  X(PQfreeCancel)                   \
  X(PQftype)                        \
  X(PQgetCancel)                    \
  X(PQgetResult)                    \
  X(PQgetisnull)                    \
  X(PQgetlength)                    \
  X(PQgetvalue)                     \
  X(PQhost)                         \
  X(PQisBusy)                       \
  X(PQnfields)                      \
  X(PQntuples)                      \
  X(PQparameterStatus)              \
  X(PQpipelineStatus)               \
  X(PQpipelineSync)                 \
  X(PQport)                         \
  X(PQprepare)                      \
  X(PQresultErrorField)             \
  X(PQresultErrorMessage)           \
  X(PQresultStatus)                 \
  X(PQsendQueryParams)              \
  X(PQsendQueryPrepared)            \
  X(PQsetNoticeProcessor)           \
  X(PQsetSingleRowMode)             \
  X(PQsocket)                       \
  X(PQstatus)                       \
  X(PQtransactionStatus)
// A declaration, where parentheses around the name cannot go.
// NOLINTNEXTLINE(bugprone-macro-parentheses)
#define CARVALEN_LIBPQ_MEMBER(name) decltype(&::name) name = nullptr;
  CARVALEN_LIBPQ_FUNCTIONS(CARVALEN_LIBPQ_MEMBER)
#undef CARVALEN_LIBPQ_MEMBER
};

/// The loaded library, loaded by the first caller; fails with 3706 ("Provider cannot be found")
/// naming what is missing when libpq cannot be loaded. Once loaded it stays for the process.
const Libpq& Pq();

}  // namespace carvalen::db::pg
