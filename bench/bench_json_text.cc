// Exact-number JSON documents (parseJsonExact) against a plain Boost.JSON parse, on a text of
// random doubles in shortest form and on a text of mostly strings and integers.
#include <benchmark/benchmark.h>

#include <bit>
#include <boost/json.hpp>
#include <random>
#include <string>

#include "platform/json_text.h"

namespace {

std::string doublesText() {
  std::mt19937_64 random(11);
  boost::json::array numbers;
  while (numbers.size() < 200'000) {
    double d = std::bit_cast<double>(random());
    if (std::isfinite(d)) numbers.push_back(d);
  }
  return boost::json::serialize(numbers);
}

std::string recordsText() {
  boost::json::object records;
  for (int i = 0; i < 50'000; ++i) {
    records["-record" + std::to_string(i)] = boost::json::object{
        {"name", "Record " + std::to_string(i)}, {"count", i * 7}, {"open", i % 2 == 0}};
  }
  return boost::json::serialize(records);
}

const std::string& textOf(int64_t kind) {
  static const std::string doubles = doublesText();
  static const std::string records = recordsText();
  return kind == 0 ? doubles : records;
}

void BM_BoostJsonParse(benchmark::State& state) {
  const std::string& text = textOf(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(boost::json::parse(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_BoostJsonParse)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_ParseJsonExact(benchmark::State& state) {
  const std::string& text = textOf(state.range(0));
  boost::system::error_code ec;
  for (auto _ : state) benchmark::DoNotOptimize(dz::parseJsonExact(text, ec));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseJsonExact)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
