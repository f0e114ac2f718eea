// The speed of the General portal's extraction on a large output file: bytes read per second
// for a regex definition whose nested repetitions fail on every line (the case that takes a
// backtracking matcher exponential time), a plain regex capture, and an anchor definition for
// comparison. Each reads the whole file (occurrence last).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "external/portal_general.h"

namespace {

using namespace karvo::general_portal;

// About 16 MB: blocks of a listing line, an energy line and a line of 43 numbers without
// its end word; the last block's line has the end word.
const std::string& listingPath() {
  static const std::string path = [] {
    std::string numbers;
    for (int n = 10; n < 53; ++n) numbers += std::to_string(n) + " ";
    std::string file = (std::filesystem::temp_directory_path() / "karvo-extraction-bench.lis");
    std::ofstream out(file, std::ios::binary);
    for (int block = 0; block < 80000; ++block) {
      out << "        2   1.2500D-03   -2.5000E-04    0.0000E+00\n"
          << "   TOTAL ENERGY =   " << block << ".5E+00\n"
          << "values: " << numbers << "EN\n";
    }
    out << "values: 4 5 6 END\n";
    return file;
  }();
  return path;
}

void extractWith(benchmark::State& state, const char* definitionText, double expected) {
  ExtractionDefinition definition;
  std::string error;
  if (!parseDefinition(definitionText, definition, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  const std::string& path = listingPath();
  for (auto _ : state) {
    std::vector<ExtractionOutcome> outcomes = extractFromFile(path, {&definition});
    if (!outcomes[0].ok || outcomes[0].values.back() != expected) {
      state.SkipWithError(outcomes[0].message.c_str());
      return;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(std::filesystem::file_size(path)));
}

void BM_RegexNestedRepetitions(benchmark::State& state) {
  extractWith(state, "regex: ^values: ((\\d+\\s*)+)END$\ngroup: 2\noccurrence: last", 6.0);
}
void BM_RegexCapture(benchmark::State& state) {
  extractWith(state, "regex: ENERGY =\\s*(\\S+)\noccurrence: last", 79999.5);
}
void BM_Anchor(benchmark::State& state) {
  extractWith(state, "anchor: TOTAL ENERGY\nword: 4\noccurrence: last", 79999.5);
}

BENCHMARK(BM_RegexNestedRepetitions)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RegexCapture)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Anchor)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove(listingPath());
  return 0;
}
