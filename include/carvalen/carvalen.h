/* The C interface: every operation of the library by name, for any language that can call C.
 *
 * Arguments and results travel as the typed JSON that `carvalen call` reads and prints, so a
 * call here answers exactly what the tool answers for the same arguments. Every function may be
 * called from any thread at any time; none lets an exception or a crash out for bad input. The
 * first call reads the CARVALEN_* environment variables, as the tool does when it starts;
 * CARVALEN_MAX_ENTRIES bounds the entries of the arguments in all, CARVALEN_MAX_CELLS the array
 * cells one call may allocate (past it the call fails with 7 "Out of memory"). */
#ifndef CARVALEN_CARVALEN_H
#define CARVALEN_CARVALEN_H

#include "carvalen/export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The statuses of carvalen_call and carvalen_operations, the same as the tool's exit status. */
#define CARVALEN_OK 0     /* *out_json is {"result": V, "byref": {NAME: V, ...}} */
#define CARVALEN_FAILED 1 /* the operation raised an error: *out_json is {"error": {...}} */
#define CARVALEN_USAGE 2  /* the call was written wrong: *out_json is {"usageError": {...}} */
/* Memory ran out even for the document that would say so: *out_json is NULL. */
#define CARVALEN_NO_MEMORY 3

/* Calls `target`, "<Class>.<Operation>" (e.g. "ContractLine.GetPrice"; names without regard to
 * case), with `arguments_json`, a JSON object of parameter name to typed-JSON value (NULL or ""
 * for none). Stores in *out_json a document to release with carvalen_free and returns its
 * status. A NULL target is a usage error; with a NULL out_json nothing is stored and the call
 * returns CARVALEN_USAGE without running. */
CARVALEN_API int carvalen_call(const char* target, const char* arguments_json, char** out_json);

/* The same call in plain JSON: `arguments_json` a JSON object of parameter name to plain value
 * (12, 5.5, "B01", "2026-06-10", ["PRICE"]), each checked against the plain type that
 * carvalen_operations gives as the parameter's "plain"; *out_json {"result": R, "byref": {...}}
 * with row positions named as the operation's "answer" says, or {"error": {"code", "message",
 * "number", "operation"[, "parameter"]}}. Returns the status as carvalen_call does. */
CARVALEN_API int carvalen_call_plain(const char* target, const char* arguments_json,
                                     char** out_json);

/* carvalen_call_plain, and when the operation raised an error (CARVALEN_FAILED) its own
 * description as carvalen_call's error document gives it, in *out_description (released with
 * carvalen_free; NULL otherwise). For hosts that show people the one-line message and keep the
 * exact text for the log. A NULL out_description is allowed. */
CARVALEN_API int carvalen_call_plain_described(const char* target, const char* arguments_json,
                                               char** out_json, char** out_description);

/* Stores in *out_json the classes, their operations and parameters, as `carvalen ops --json`
 * prints them, and returns CARVALEN_OK (CARVALEN_USAGE for a NULL out_json). */
CARVALEN_API int carvalen_operations(char** out_json);

/* Ownership: every document stored in *out_json is the caller's, a separate malloc'd buffer that
 * the library never touches again; release each exactly once with carvalen_free. NULL is allowed
 * and does nothing. Releasing a document twice, or a pointer that did not come from
 * carvalen_call or carvalen_operations, is undefined as it is with free(). Strings returned as
 * `const char*` (carvalen_version) belong to the library and are never released. */
CARVALEN_API void carvalen_free(char* json);

/* The library's version, e.g. "1.1"; static text, never to be freed. */
CARVALEN_API const char* carvalen_version(void);

#ifdef __cplusplus
}
#endif

#endif /* CARVALEN_CARVALEN_H */
