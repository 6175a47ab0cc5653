// The service's API as an OpenAPI 3.1 document, made from the one operation description: every
// operation a POST path with its parameters and result as JSON Schemas of the typed JSON, and the
// answers the service gives (the operation's error, usage errors, limits). Served at
// GET /openapi.json and printed by `carvalen openapi`, so a client generated from it calls what
// the service runs.
#pragma once

#include "api/json_codec.hpp"

namespace carvalen::api {

Json OpenApiDocument();
/// The plain form's paths (/v1/plain/<Class>/<Operation>) and the schemas they use.
void AddPlainPaths(Json& paths, Json& schemas);

}  // namespace carvalen::api
