// The plain JSON form beside the typed one, on the same values of about 1 MB: encoding two
// answers (bulk pricing's dictionary of rows keyed by product id, and a list of line details
// keyed by ordinal, with dates and texts) and decoding the bulk pricing request. The table
// printed after the runs gives each plain row's time as a multiple of its typed counterpart's.
//
//   carvalen_plain_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "api/json_codec.hpp"
#include "api/plain_codec.hpp"
#include "carvalen/operations.hpp"
#include "carvalen/variant.hpp"

namespace {

namespace api = carvalen::api;
using carvalen::Variant;

const api::Limits kLimits{std::size_t{1} << 26};
constexpr std::size_t kTarget = 1'000'000;

const carvalen::OperationDescription& Operation(const char* type, const char* name) {
  return *carvalen::FindOperation(*carvalen::FindClassDescription(type), name);
}

// Typed JSON of a dictionary of `row(i)` arrays keyed by `key(i)`, about kTarget bytes.
template <typename Key, typename Row>
std::string Rows(Key key, Row row) {
  std::string text = R"({"$dict": [)";
  for (int i = 0; text.size() < kTarget; ++i) {
    text += (i != 0 ? ", [" : "[") + key(i) + R"(, {"$array": [)" + row(i) + "]}]";
  }
  return text + "]}";
}

struct Answer {
  const char* name;
  const carvalen::OperationDescription* method;
  Variant value;
};

std::vector<Answer> Answers() {
  const std::string priced = Rows([](int i) { return std::to_string(7001 + i); },
                                  [](int i) {
                                    return std::to_string(i % 40) +
                                           ", 1, 7.25, 10.0, 0.0, \"EUR\"" + ", 8.0, 5.0, true, " +
                                           (i % 3 != 0 ? "true" : "false");
                                  });
  const std::string details =
      Rows([](int i) { return "\"" + std::to_string(i + 1) + "\""; },
           [](int i) {
             return std::to_string(i + 1) +
                    R"(, "B01", 501, 6, {"$date": "2026-06-10T00:00:00"}, )"
                    R"({"$date": "2026-12-31T00:00:00"}, "Hex bolt M6", "Framework price", )" +
                    std::to_string(7001 + i);
           });
  return {{"bulk", &Operation("Contract", "GetActiveContractLinesProc"),
           api::ParseValue(priced, kLimits, false)},
          {"details", &Operation("Contract", "GetContractLineDetails"),
           api::ParseValue(details, kLimits, false)}};
}

void EncodeTyped(benchmark::State& state, const Answer* answer) {
  std::string out;
  for (auto _ : state) {
    out.clear();
    api::AppendJson(answer->value, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["out_bytes"] = static_cast<double>(out.size());
}

void EncodePlain(benchmark::State& state, const Answer* answer) {
  std::string out;
  for (auto _ : state) {
    out.clear();
    api::AppendPlainAnswer(answer->value, *answer->method, {}, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["out_bytes"] = static_cast<double>(out.size());
}

// The bulk request as each form sends it: {"$dict": [[7001, {"$array": [501, 10]}], ...]} read
// as the faces read it (compact), and {"7001": [501, 10], ...}.
struct Requests {
  std::string typed = R"({"$dict": [)";
  std::string plain = "{";
  Requests() {
    for (int i = 0; typed.size() < kTarget; ++i) {
      const std::string id = std::to_string(7001 + i), partner = std::to_string(501 + i % 97);
      typed += (i != 0 ? ", [" : "[") + id + R"(, {"$array": [)" + partner + ", 10]}]";
      plain += (i != 0 ? ", \"" : "\"") + id + "\": [" + partner + ", 10]";
    }
    typed += "]}";
    plain += "}";
  }
};

void DecodeTyped(benchmark::State& state, const Requests* requests) {
  for (auto _ : state) benchmark::DoNotOptimize(api::ParseValue(requests->typed, kLimits, true));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(requests->typed.size()));
}

void DecodePlain(benchmark::State& state, const Requests* requests) {
  const carvalen::ParameterDescription& param =
      Operation("Contract", "GetActiveContractLinesProc").parameters.at(0);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        api::FromPlain(param, api::ParseJson(requests->plain, kLimits.max_entries)));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(requests->plain.size()));
}

// The usual table, keeping each row's time by its name.
class KeepingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (!run.error_occurred && run.run_type == Run::RT_Iteration) {
        times[run.run_name.function_name] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const std::vector<Answer> answers = Answers();
  const Requests requests;
  for (const Answer& answer : answers) {
    benchmark::RegisterBenchmark((std::string("Encode/typed/") + answer.name).c_str(), EncodeTyped,
                                 &answer)
        ->Unit(benchmark::kMillisecond)
        ->MinTime(0.5);
    benchmark::RegisterBenchmark((std::string("Encode/plain/") + answer.name).c_str(), EncodePlain,
                                 &answer)
        ->Unit(benchmark::kMillisecond)
        ->MinTime(0.5);
  }
  benchmark::RegisterBenchmark("Decode/typed/bulk", DecodeTyped, &requests)
      ->Unit(benchmark::kMillisecond)
      ->MinTime(0.5);
  benchmark::RegisterBenchmark("Decode/plain/bulk", DecodePlain, &requests)
      ->Unit(benchmark::kMillisecond)
      ->MinTime(0.5);
  KeepingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::printf("\nplain against typed, time per call (goal for answers: within 1.2x)\n");
  for (const char* row : {"Encode/%s/bulk", "Encode/%s/details", "Decode/%s/bulk"}) {
    char typed[64], plain[64];
    std::snprintf(typed, sizeof typed, row, "typed");
    std::snprintf(plain, sizeof plain, row, "plain");
    if (!reporter.times.contains(typed) || !reporter.times.contains(plain)) continue;
    std::printf("%-20s typed %8.2f ms  plain %8.2f ms  %.2fx\n", plain, reporter.times[typed],
                reporter.times[plain], reporter.times[plain] / reporter.times[typed]);
  }
  return 0;
}
