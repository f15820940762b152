// The configuration check's reading against a plain scan of the same bytes, in the same run:
// the directive language's tokenizer and reader on a file of services and on a commented one,
// and keeping a file's directive lines.
// Throughput is in bytes per second of the file; compare the rows of one run with each other.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <vector>

#include "starter/config/grammar.h"

namespace {

/// About @a bytes of time-service directives, one a line.
std::string services_text(size_t bytes)
{
  std::string text;
  for (int i = 0; text.size() < bytes; ++i)
    text += "dynamic Time_Service_" + std::to_string(i) +
            " Service_Object * netsvcs:_make_ACE_TS_Server_Acceptor() \"-p " +
            std::to_string(20000 + i % 40000) + "\"\n";
  return text;
}

/// About @a bytes of comment lines, then one directive.
std::string commented_text(size_t bytes)
{
  std::string text;
  while (text.size() < bytes)
    text += "# a comment line of the size operators write, kept for the record of a change\n";
  return text + "dynamic Time_Service Service_Object * netsvcs:_make_ACE_TS_Server_Acceptor()\n";
}

std::string text_of(const benchmark::State& state)
{
  size_t const bytes = static_cast<size_t>(state.range(0));
  return state.range(1) == 0 ? services_text(bytes) : commented_text(bytes);
}

void set_label(benchmark::State& state, const std::string& text)
{
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.SetLabel(state.range(1) == 0 ? "services" : "comments");
}

/// The baseline: one pass over the bytes, counting line ends.
void BM_plain_scan(benchmark::State& state)
{
  std::string const text = text_of(state);
  for (auto _ : state)
    benchmark::DoNotOptimize(std::count(text.begin(), text.end(), '\n'));
  set_label(state, text);
}

/// The check's reading: tokens, directives, the dynamic ones collected.
void BM_read_directives(benchmark::State& state)
{
  std::string const text = text_of(state);
  std::string const where = "bench.conf";
  for (auto _ : state) {
    std::vector<Conf_Problem> problems;
    benchmark::DoNotOptimize(read_directives(text, where, problems));
  }
  set_label(state, text);
}

/// The reading as the check does it: against what is in place, each directive and service kept.
void BM_read_directives_kept(benchmark::State& state)
{
  std::string const text = text_of(state);
  std::string const where = "/etc/starter/conf.d/bench.conf";
  for (auto _ : state) {
    std::vector<Conf_Problem> problems;
    Conf_Known known;
    std::vector<Conf_Entry> entries;
    std::vector<Conf_Service> services;
    benchmark::DoNotOptimize(read_directives(text, where, problems, &known, &entries, &services));
  }
  set_label(state, text);
}

/// Keeping a file's directive lines, the file fed in the check's 64 KB reads.
void BM_directive_text(benchmark::State& state)
{
  std::string const text = text_of(state);
  for (auto _ : state) {
    Directive_Text kept;
    for (size_t at = 0; at < text.size(); at += 65536)
      kept.add(text.data() + at, std::min<size_t>(65536, text.size() - at));
    benchmark::DoNotOptimize(kept.text);
  }
  set_label(state, text);
}

// Arguments: bytes of file, 0 for services or 1 for comments.
#define CHECK_SIZES                                                                         \
  ->Args({4096, 0})->Args({90000, 0})->Args({1 << 20, 0})->Args({4096, 1})->Args({1 << 20, 1})
BENCHMARK(BM_plain_scan) CHECK_SIZES;
BENCHMARK(BM_read_directives) CHECK_SIZES;
BENCHMARK(BM_read_directives_kept) CHECK_SIZES;
BENCHMARK(BM_directive_text) CHECK_SIZES;

}  // namespace

BENCHMARK_MAIN();
