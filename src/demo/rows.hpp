// The demo's rows: category settings, two hand-written contracts and as many generated ones as
// the requested number of lines needs.
#pragma once

#include <cstdint>
#include <functional>

#include "demo/demo.hpp"
#include "demo/writer.hpp"

namespace carvalen::demo {

/// Writes the rows of a demo with `lines` contract lines into the tables of `db`, calling
/// `progress` with the lines written so far, and counts them in `summary`.
void WriteRows(Database& db, std::int64_t lines, std::function<void(std::int64_t)> progress,
               DemoSummary& summary);

}  // namespace carvalen::demo
