// The typed-JSON codec's cost per byte across the shapes a request can take, at about 1 MB and
// 32 MB each: the one-pass decoder (ParseValue), the document decoder it falls back to
// (FromJson of ParseJson) and the direct encoder (AppendJson). A codec whose cost follows the
// input's size shows the same time and memory per MB at both sizes and for every shape; the
// table printed after the runs gives each shape's decode time per MB as a multiple of the
// ordinary bulk-pricing request's, and the peak memory of one decode per MB of input.
//
//   carvalen_codec_bench [--sizes=1,32] [--benchmark_filter=...]
//     --sizes: input sizes in MB (10^6 bytes).
//
// Shapes:
//   bulk               {"$dict": [[7001, {"$array": [501, 10]}], ...]}, read both as the faces
//                      read it (the compact pricing request) and as a Dictionary
//   keys               {"k0": 1, "k1": 1, ...}: not typed JSON, so decoding ends in a usage
//                      error; what it costs to get there is what counts
//   crafted_dict_keys  a "$dict" whose keys a naive hash would crowd: 32-bit multiples of a
//                      large power of two, 64-bit and double keys that differ only in high bits
//   deep               values nested 100 arrays deep in one outer array
//   wide               one array of mixed scalars
//   strings            an array of texts with escapes and non-ASCII UTF-8
#include <benchmark/benchmark.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api/json_codec.hpp"
#include "carvalen/dictionary.hpp"
#include "carvalen/variant.hpp"
#include "contract/bulk_pricing.hpp"
#include "peak_memory.hpp"

namespace {

namespace api = carvalen::api;
using carvalen::Variant;

// Far above any input here, so that every size takes the same path through the decoder.
const api::Limits kLimits{std::size_t{1} << 26};

struct Input {
  std::string shape;
  std::int64_t megabytes = 0;
  std::string text;
  std::size_t entries = 0;  // entries of the outermost list or object
};

// --- the shapes ---------------------------------------------------------------------------------

std::string Bulk(std::size_t target, std::size_t& entries) {
  static constexpr const char* kQuantities[] = {"10", "2.5", "100", "0.5", "1000", "30"};
  std::string text = R"({"$dict": [)";
  for (entries = 0; text.size() < target; ++entries) {
    if (entries != 0) text += ", ";
    text += '[';
    text += std::to_string(7001 + entries);
    text += R"(, {"$array": [)";
    text += std::to_string(501 + entries * 7919 % 12'000);
    text += ", ";
    text += kQuantities[entries % std::size(kQuantities)];
    text += "]}]";
  }
  return text + "]}";
}

std::string Keys(std::size_t target, std::size_t& entries) {
  std::string text = "{";
  for (entries = 0; text.size() < target; ++entries) {
    if (entries != 0) text += ", ";
    text += "\"k" + std::to_string(entries) + "\": 1";
  }
  return text + "}";
}

// Three kinds of key in turn, all distinct: 32-bit integers that are multiples of the largest
// power of two the count allows (so their low bits are all zero), {"$int64": odd << 32} and
// plain integers even << 32 (read as doubles), which differ from each other only above bit 32.
std::string CraftedDictKeys(std::size_t target, std::size_t& entries) {
  const std::size_t estimate = target / 22 + 3;  // about 22 bytes an entry
  const std::size_t longs = estimate / 3 + 1;
  const int shift = 32 - static_cast<int>(std::bit_width(longs));
  const std::int64_t half = static_cast<std::int64_t>(longs / 2);
  std::string text = R"({"$dict": [)";
  for (entries = 0; text.size() < target; ++entries) {
    if (entries != 0) text += ", ";
    const auto m = static_cast<std::int64_t>(entries / 3);
    switch (entries % 3) {
      case 0:
        if (m >= static_cast<std::int64_t>(longs)) throw std::logic_error("key estimate too low");
        text += '[' + std::to_string((m - half) * (std::int64_t{1} << shift)) + ", 1]";
        break;
      case 1:
        text += R"([{"$int64": )" + std::to_string((2 * m + 1) << 32) + "}, 2]";
        break;
      default:
        text += '[' + std::to_string((2 * m + 2) << 32) + ", 3]";
        break;
    }
  }
  return text + "]}";
}

std::string Deep(std::size_t target, std::size_t& entries) {
  constexpr int kDepth = 100;  // 200 brackets, and the outer array's 2: under the limit of 256
  std::string one;
  for (int i = 0; i < kDepth; ++i) one += R"({"$array": [)";
  one += '1';
  for (int i = 0; i < kDepth; ++i) one += "]}";
  std::string text = R"({"$array": [)";
  for (entries = 0; text.size() < target; ++entries) {
    if (entries != 0) text += ", ";
    text += one;
  }
  return text + "]}";
}

std::string Wide(std::size_t target, std::size_t& entries) {
  std::string text = R"({"$array": [)";
  for (entries = 0; text.size() < target; ++entries) {
    if (entries != 0) text += ", ";
    switch (entries % 6) {
      case 0:
        text += std::to_string(entries % 100'000);
        break;
      case 1:
        text += "2.5";
        break;
      case 2:
        text += "\"x\"";
        break;
      case 3:
        text += "true";
        break;
      case 4:
        text += "null";
        break;
      default:
        text += "-1.25e-3";
        break;
    }
  }
  return text + "]}";
}

std::string Strings(std::size_t target, std::size_t& entries) {
  // Escapes of every kind, two-, three- and four-byte UTF-8 written raw and as \u escapes.
  static constexpr const char* kTexts[] = {
      R"("Prix \"net\" \u00e9t\u00e9 \u2014 12,5 \u20ac\n")",
      "\"\xC3\x96lpreis Z\xC3\xBCrich\\\\Basel\\t\xE2\x82\xAC 7\"",
      "\"\xE4\xBE\xA1\xE6\xA0\xBC\xE8\xA1\xA8 \xF0\x9F\x93\xA6 \\ud83d\\ude00 \\/ \\r\\b\\f\"",
      R"("plain ASCII text of a line, a little longer than the others")"};
  std::string text = R"({"$array": [)";
  for (entries = 0; text.size() < target; ++entries) {
    if (entries != 0) text += ", ";
    text += kTexts[entries % std::size(kTexts)];
  }
  return text + "]}";
}

using Generator = std::string (*)(std::size_t, std::size_t&);
const std::pair<const char*, Generator> kShapes[] = {
    {"bulk", Bulk}, {"keys", Keys}, {"crafted_dict_keys", CraftedDictKeys},
    {"deep", Deep}, {"wide", Wide}, {"strings", Strings}};

// --- checks -------------------------------------------------------------------------------------

// How many entries the decoded value's outermost list or dictionary has: the inputs must decode
// to what they say, or the rows would time something else (a fallback, a failure).
std::size_t EntriesOf(const Variant& value) {
  if (value.Type() == carvalen::VarType::Object) {
    const carvalen::Object* object = value.GetObject().get();
    if (const auto* d = dynamic_cast<const carvalen::Dictionary*>(object)) {
      return static_cast<std::size_t>(d->Count());
    }
    if (const auto* r = dynamic_cast<const carvalen::contract::PricingRequest*>(object)) {
      return r->Asks().size();
    }
    return 0;
  }
  if (value.IsArray()) return static_cast<std::size_t>(value.GetArray().Size());
  return 0;
}

bool Refused(const Input& input) { return input.shape == "keys"; }

void Verify(const Input& input, bool compact) {
  try {
    const Variant value = api::ParseValue(input.text, kLimits, compact);
    if (Refused(input)) throw std::logic_error(input.shape + " decoded, but is not typed JSON");
    const bool is_compact =
        value.Type() == carvalen::VarType::Object &&
        dynamic_cast<const carvalen::contract::PricingRequest*>(value.GetObject().get()) != nullptr;
    if (EntriesOf(value) != input.entries || is_compact != compact) {
      throw std::logic_error(input.shape + " decoded to " + std::to_string(EntriesOf(value)) +
                             " entries" + (is_compact ? " (compact)" : "") + ", not " +
                             std::to_string(input.entries));
    }
  } catch (const api::UsageError& e) {
    if (!Refused(input)) throw std::logic_error(input.shape + ": " + e.what());
  }
}

// --- the benchmarks -----------------------------------------------------------------------------

void Decode(benchmark::State& state, const Input* input, bool compact) {
  std::size_t refused = 0;
  for (auto _ : state) {
    std::optional<Variant> value;
    try {
      value.emplace(api::ParseValue(input->text, kLimits, compact));
    } catch (const api::UsageError&) {
      ++refused;
    }
    // Freeing the value is the caller's business, not the decoder's.
    state.PauseTiming();
    value.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(input->text.size()));
  state.counters["entries"] = static_cast<double>(input->entries);
  if (refused != 0) state.counters["refused"] = static_cast<double>(refused);
}

void DecodeDocument(benchmark::State& state, const Input* input) {
  std::size_t refused = 0;
  for (auto _ : state) {
    std::optional<Variant> value;
    try {
      value.emplace(api::FromJson(api::ParseJson(input->text, kLimits.max_entries)));
    } catch (const api::UsageError&) {
      ++refused;
    }
    state.PauseTiming();
    value.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(input->text.size()));
  if (refused != 0) state.counters["refused"] = static_cast<double>(refused);
}

void Encode(benchmark::State& state, const Input* input) {
  const Variant value = api::ParseValue(input->text, kLimits, false);
  std::string out;
  // The encoder writes every array's lower bound, so its text runs longer than the input.
  out.reserve(2 * input->text.size());
  for (auto _ : state) {
    out.clear();
    api::AppendJson(value, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(out.size()));
  state.counters["out_bytes"] = static_cast<double>(out.size());
}

// --- the report ---------------------------------------------------------------------------------

// The usual table, keeping each row's time per iteration by its name ("Decode/bulk/1MB").
class KeepingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const std::string& name = run.run_name.function_name;
      if (run.run_type == Run::RT_Iteration) {
        // With --benchmark_repetitions the fastest run counts: the machine's noise only adds.
        auto [it, added] = times_.emplace(name, run.GetAdjustedRealTime());
        if (!added) it->second = std::min(it->second, run.GetAdjustedRealTime());
        if (auto out = run.counters.find("out_bytes"); out != run.counters.end()) {
          out_bytes_[name] = out->second.value;
        }
      } else if (run.aggregate_name == "median") {
        // With --benchmark_report_aggregates_only only the aggregates come here.
        medians_[name] = run.GetAdjustedRealTime();
        if (auto out = run.counters.find("out_bytes"); out != run.counters.end()) {
          out_bytes_[name] = out->second.value;
        }
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> Times() const {
    std::map<std::string, double> times = times_;
    times.insert(medians_.begin(), medians_.end());  // where no single run was seen
    return times;
  }
  const std::map<std::string, double>& OutBytes() const { return out_bytes_; }

 private:
  std::map<std::string, double> times_;    // milliseconds
  std::map<std::string, double> medians_;  // milliseconds
  std::map<std::string, double> out_bytes_;
};

// A Dictionary filled and looked up with 64,000 keys of one shape: keys alike in their low bits
// or sharing a long prefix cost what ordinary integers and texts do when the hash mixes well.
void DictionaryKeys(benchmark::State& state, const std::function<Variant(std::int64_t)>& key) {
  for (auto _ : state) {
    carvalen::Dictionary d;
    for (std::int64_t i = 0; i < 64'000; ++i) d.Add(key(i), Variant(1));
    for (std::int64_t i = 0; i < 64'000; ++i) benchmark::DoNotOptimize(d.Exists(key(i)));
  }
}

std::string SizeName(std::int64_t megabytes) { return std::to_string(megabytes) + "MB"; }

double Megabytes(std::size_t bytes) { return static_cast<double>(bytes) / 1e6; }

// Decode time per MB of each shape against the bulk request's at the same size, and the peak
// memory of one decode (taken in a child, for the rows that ran) per MB of input.
void PrintSummary(const std::vector<std::unique_ptr<Input>>& inputs,
                  const KeepingReporter& reporter) {
  const std::map<std::string, double> times = reporter.Times();
  auto per_mb = [&](const std::string& name, const Input& input) -> std::optional<double> {
    auto it = times.find(name);
    if (it == times.end()) return std::nullopt;
    return it->second / Megabytes(input.text.size());
  };
  std::map<std::int64_t, const Input*> bulk;
  for (const auto& input : inputs) {
    if (input->shape == "bulk") bulk[input->megabytes] = input.get();
  }
  std::printf(
      "\ndecode time per MB relative to the ordinary bulk request (goal: every shape within 3x)\n"
      "  x compact: against the bulk request read as the faces read it (compact pricing form)\n"
      "  x dict:    against the same request read as a Dictionary\n"
      "  peak/MB:   peak resident growth of one decode per MB of input, in a child process\n\n");
  std::printf("%-26s %6s %9s %9s %10s %8s %9s %9s %10s\n", "decoder/shape", "size", "input MB",
              "ms", "ms per MB", "MB/s", "x compact", "x dict", "peak/MB");
  for (const char* decoder : {"Decode", "Document"}) {
    for (const auto& input : inputs) {
      const bool one_pass = std::string_view(decoder) == "Decode";
      for (bool compact : {true, false}) {
        if (compact && (input->shape != "bulk" || !one_pass)) continue;
        const std::string shape = input->shape + (compact ? "_compact" : "");
        const std::string name =
            std::string(decoder) + "/" + shape + "/" + SizeName(input->megabytes);
        const std::optional<double> mine = per_mb(name, *input);
        if (!mine) continue;
        const Input* reference = bulk.count(input->megabytes) ? bulk[input->megabytes] : nullptr;
        std::optional<double> compact_ref, dict_ref;
        if (reference != nullptr) {
          compact_ref = per_mb("Decode/bulk_compact/" + SizeName(input->megabytes), *reference);
          dict_ref = per_mb("Decode/bulk/" + SizeName(input->megabytes), *reference);
        }
        double peak_per_mb = -1;
        try {
          const auto peak = carvalen::bench::MeasurePeak([&] {
            std::size_t size = 0;
            try {
              const Variant value =
                  one_pass ? api::ParseValue(input->text, kLimits, compact)
                           : api::FromJson(api::ParseJson(input->text, kLimits.max_entries));
              size = EntriesOf(value);
            } catch (const api::UsageError&) {
            }
            return size;
          });
          peak_per_mb = Megabytes(peak.Growth()) / Megabytes(input->text.size());
        } catch (const std::exception& e) {
          std::fprintf(stderr, "peak of %s: %s\n", name.c_str(), e.what());
        }
        char ratio_compact[16] = "-", ratio_dict[16] = "-";
        if (compact_ref && *compact_ref > 0) {
          std::snprintf(ratio_compact, sizeof ratio_compact, "%.2fx", *mine / *compact_ref);
        }
        if (dict_ref && *dict_ref > 0) {
          std::snprintf(ratio_dict, sizeof ratio_dict, "%.2fx", *mine / *dict_ref);
        }
        std::printf("%-26s %6s %9.2f %9.2f %10.3f %8.1f %9s %9s %10.2f\n",
                    (std::string(decoder) + "/" + shape).c_str(),
                    SizeName(input->megabytes).c_str(), Megabytes(input->text.size()),
                    times.at(name), *mine, 1e3 / *mine, ratio_compact, ratio_dict, peak_per_mb);
      }
    }
  }
  std::printf("\nencode time per MB of output\n\n%-26s %6s %9s %9s %10s %8s\n", "shape", "size",
              "output MB", "ms", "ms per MB", "MB/s");
  for (const auto& input : inputs) {
    const std::string name = "Encode/" + input->shape + "/" + SizeName(input->megabytes);
    auto it = times.find(name);
    auto out = reporter.OutBytes().find(name);
    if (it == times.end() || out == reporter.OutBytes().end()) continue;
    const double mb = out->second / 1e6;
    std::printf("%-26s %6s %9.2f %9.2f %10.3f %8.1f\n", input->shape.c_str(),
                SizeName(input->megabytes).c_str(), mb, it->second, it->second / mb,
                1e3 * mb / it->second);
  }
}

std::vector<std::int64_t> ParseSizes(int argc, char** argv) {
  std::vector<std::int64_t> sizes{1, 32};
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    const std::string prefix = "--sizes=";
    if (arg.rfind(prefix, 0) != 0) {
      throw std::invalid_argument("unknown argument " + arg +
                                  " (--sizes=1,32 in MB, or a --benchmark_ flag)");
    }
    sizes.clear();
    arg.erase(0, prefix.size());
    while (!arg.empty()) {
      const std::size_t comma = arg.find(',');
      sizes.push_back(std::stoll(arg.substr(0, comma)));
      if (sizes.back() <= 0) throw std::invalid_argument("sizes are positive MB");
      arg = comma == std::string::npos ? "" : arg.substr(comma + 1);
    }
  }
  return sizes;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::vector<std::int64_t> sizes;
  try {
    sizes = ParseSizes(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "carvalen_codec_bench: %s\n", e.what());
    return 2;
  }

  std::vector<std::unique_ptr<Input>> inputs;
  try {
    for (std::int64_t megabytes : sizes) {
      for (const auto& [shape, generate] : kShapes) {
        auto input = std::make_unique<Input>();
        input->shape = shape;
        input->megabytes = megabytes;
        input->text = generate(static_cast<std::size_t>(megabytes) * 1'000'000, input->entries);
        Verify(*input, false);
        if (input->shape == "bulk") Verify(*input, true);
        inputs.push_back(std::move(input));
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "carvalen_codec_bench: %s\n", e.what());
    return 1;
  }

  for (const auto& owned : inputs) {
    const Input* input = owned.get();
    const std::string size = "/" + SizeName(input->megabytes);
    // Small inputs run for a time, large ones a fixed few times: a run stays near a minute.
    auto pace = [&](benchmark::internal::Benchmark* b) {
      b->Unit(benchmark::kMillisecond)->UseRealTime();
      if (input->megabytes >= 8) {
        b->Iterations(3);
      } else {
        b->MinTime(0.2);
      }
    };
    if (input->shape == "bulk") {
      pace(benchmark::RegisterBenchmark(("Decode/bulk_compact" + size).c_str(), Decode, input,
                                        true));
    }
    pace(benchmark::RegisterBenchmark(("Decode/" + input->shape + size).c_str(), Decode, input,
                                      false));
    pace(benchmark::RegisterBenchmark(("Document/" + input->shape + size).c_str(), DecodeDocument,
                                      input));
    if (!Refused(*input)) {
      pace(benchmark::RegisterBenchmark(("Encode/" + input->shape + size).c_str(), Encode, input));
    }
  }

  const std::pair<const char*, std::function<Variant(std::int64_t)>> keys[] = {
      {"integers", [](std::int64_t i) { return Variant(i); }},
      {"integers_2^32_apart", [](std::int64_t i) { return Variant(i << 32); }},
      {"doubles_2^20_apart",
       [](std::int64_t i) { return Variant(static_cast<double>(i) * 1048576.0); }},
      {"texts", [](std::int64_t i) { return Variant("k" + std::to_string(i)); }},
      {"texts_64_shared",
       [](std::int64_t i) { return Variant(std::string(64, 'k') + std::to_string(i)); }},
  };
  for (const auto& [name, key] : keys) {
    benchmark::RegisterBenchmark((std::string("Dictionary/") + name).c_str(), DictionaryKeys, key)
        ->Unit(benchmark::kMillisecond);
  }

  KeepingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  PrintSummary(inputs, reporter);
  return 0;
}
