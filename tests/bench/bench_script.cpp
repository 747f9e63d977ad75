// Time of the version scan and of the import, per script size, into the registry mode that
// accepts every call and keeps nothing, so that the figures are those of the program's parsing.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>

#include "script.h"
#include "scripts.h"
#include "setupdata.h"
#include "winlayer_control.h"

namespace {

const std::string& shipped() {
  static const std::string text = bench::shipped_script_text();
  return text;
}

// Scripts are made once per (copies, order) and kept for every benchmark that needs them.
const std::string& scaled(unsigned copies, bool version_last) {
  static std::map<std::pair<unsigned, bool>, std::string> made;
  auto key = std::make_pair(copies, version_last);
  auto it = made.find(key);
  if (it == made.end())
    it = made.emplace(key, bench::scaled_script(shipped(), copies, version_last)).first;
  return it->second;
}

// A buffer that plays g_script_text: refilled from the pristine text before each import, since
// the import writes into it.
struct ScriptBuffer {
  char* text;
  explicit ScriptBuffer(const std::string& script) {
    text = (char*)malloc(script.size() + 1);
    memcpy(text, script.c_str(), script.size() + 1);
    g_script_text = text;
  }
  ~ScriptBuffer() {
    free(text);
    g_script_text = 0;
  }
};

void use_null_registry() {
  setenv("DRVSETUP_REGISTRY", ":null:", 1);
  winlayer_reset();
}

void scan(benchmark::State& state, bool version_last) {
  const std::string& script = scaled((unsigned)state.range(0), version_last);
  ScriptBuffer buffer(script);
  for (auto _ : state) {
    int found = read_data_version();
    benchmark::DoNotOptimize(found);
    if (!found) state.SkipWithError("no version line");
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)script.size());
  state.counters["script_bytes"] = (double)script.size();
}

void import(benchmark::State& state, const std::string& script) {
  use_null_registry();
  ScriptBuffer buffer(script);
  for (auto _ : state) {
    state.PauseTiming();
    memcpy(buffer.text, script.c_str(), script.size() + 1);
    read_data_version();
    state.ResumeTiming();
    int imported = import_script();
    benchmark::DoNotOptimize(imported);
    if (!imported) state.SkipWithError(script_failure_text(g_script_failure.reason));
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)script.size());
  state.counters["script_bytes"] = (double)script.size();
}

// The shipped order: the version line is the fourth line, whatever follows it.
void BM_scan(benchmark::State& state) { scan(state, false); }

// The version section moved to the end: the scan reads every line.
void BM_scan_full(benchmark::State& state) { scan(state, true); }

void BM_import(benchmark::State& state) {
  import(state, scaled((unsigned)state.range(0), false));
}

void BM_import_escaped_line(benchmark::State& state) {
  import(state, bench::long_value_script(bench::kLongValueLength, true));
}

void BM_import_plain_line(benchmark::State& state) {
  import(state, bench::long_value_script(bench::kLongValueLength, false));
}

BENCHMARK(BM_scan)->Arg(1)->Arg(10)->Arg(100);
BENCHMARK(BM_scan_full)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_import)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_import_escaped_line)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_import_plain_line)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
