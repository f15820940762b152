// The runtime support library against the standard baseline, in the same run: natoi against
// std::from_chars and strtol, string_sprintf and snprintf_t against snprintf into a buffer,
// get_env_r under 1, 2 and 4 readers and one writer against plain getenv. Compare the rows of
// one run with each other, never with another run's.
#include <benchmark/benchmark.h>

#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "scrt/environ.h"
#include "scrt/natoi.h"
#include "scrt/snprintf_t.h"
#include "scrt/string_sprintf.h"

namespace {

// ---- Decimal text to integer: 16 texts a pass, so no single text trains the branches.

const char* const SHORT_TEXTS[] = {"0",  "7",  "42", "-3", "99", "5",   "123", "-64",
                                   "8",  "10", "31", "-1", "77", "256", "2",   "-999"};
const char* const LONG_TEXTS[] = {
    "9223372036854775807", "-9223372036854775808", "1234567890123456789", "-987654321098765432",
    "4611686018427387904", "-1000000000000000000", "5555555555555555555", "-123456789012345678",
    "8000000000000000001", "-7777777777777777777", "3141592653589793238", "-271828182845904523",
    "1000000000000000000", "-9000000000000000000", "6917529027641081856", "-100000000000000001"};

template <const char* const (&TEXTS)[16]>
void BM_natoi(benchmark::State& state)
{
  for (auto _ : state)
    for (const char* t : TEXTS)
      benchmark::DoNotOptimize(natoi<long long>(t, nullptr, nullptr));
  state.SetItemsProcessed(state.iterations() * 16);
}

template <const char* const (&TEXTS)[16]>
void BM_from_chars(benchmark::State& state)
{
  size_t lengths[16];
  for (int i = 0; i < 16; ++i)
    lengths[i] = std::strlen(TEXTS[i]);  // natoi finds the end itself; from_chars is told it
  for (auto _ : state)
    for (int i = 0; i < 16; ++i) {
      long long v = 0;
      std::from_chars(TEXTS[i], TEXTS[i] + lengths[i], v);
      benchmark::DoNotOptimize(v);
    }
  state.SetItemsProcessed(state.iterations() * 16);
}

template <const char* const (&TEXTS)[16]>
void BM_strtol(benchmark::State& state)
{
  for (auto _ : state)
    for (const char* t : TEXTS)
      benchmark::DoNotOptimize(std::strtoll(t, nullptr, 10));
  state.SetItemsProcessed(state.iterations() * 16);
}

BENCHMARK_TEMPLATE(BM_natoi, SHORT_TEXTS)->Name("natoi/short");
BENCHMARK_TEMPLATE(BM_from_chars, SHORT_TEXTS)->Name("from_chars/short");
BENCHMARK_TEMPLATE(BM_strtol, SHORT_TEXTS)->Name("strtoll/short");
BENCHMARK_TEMPLATE(BM_natoi, LONG_TEXTS)->Name("natoi/long");
BENCHMARK_TEMPLATE(BM_from_chars, LONG_TEXTS)->Name("from_chars/long");
BENCHMARK_TEMPLATE(BM_strtol, LONG_TEXTS)->Name("strtoll/long");

// ---- Formatting: a short line that fits everywhere, and one that outgrows a 128-byte start.

const char FORMAT[] = "%s: service %d of %d opened on port %u (%s)";
const char* const LONG_ARG =
    "a reason long enough to push the text past the first guess of every formatter here, "
    "which is one hundred and twenty-eight characters";

void BM_snprintf(benchmark::State& state)
{
  const char* const why = state.range(0) ? LONG_ARG : "ok";
  char buf[512];
  for (auto _ : state) {
    benchmark::DoNotOptimize(std::snprintf(buf, sizeof buf, FORMAT, "host", 3, 7, 20222u, why));
    benchmark::ClobberMemory();
  }
}

void BM_string_sprintf(benchmark::State& state)
{
  const char* const why = state.range(0) ? LONG_ARG : "ok";
  for (auto _ : state) {
    std::string s;  // a fresh string each time, as a caller building one text has
    benchmark::DoNotOptimize(string_sprintf(s, FORMAT, "host", 3, 7, 20222u, why));
    benchmark::DoNotOptimize(s.data());
  }
}

void BM_snprintf_t(benchmark::State& state)
{
  const char* const why = state.range(0) ? LONG_ARG : "ok";
  for (auto _ : state) {
    snprintf_t<128> t(FORMAT, "host", 3, 7, 20222u, why);
    benchmark::DoNotOptimize(t.c_str());
  }
}

BENCHMARK(BM_snprintf)->Name("snprintf")->ArgName("long")->Arg(0)->Arg(1);
BENCHMARK(BM_string_sprintf)->Name("string_sprintf")->ArgName("long")->Arg(0)->Arg(1);
BENCHMARK(BM_snprintf_t)->Name("snprintf_t<128>")->ArgName("long")->Arg(0)->Arg(1);

// ---- Environment reads: readers on every benchmark thread, one writer beside them.

const char READ_NAME[] = "SCRT_BENCH_READ";
const char WRITE_NAME[] = "SCRT_BENCH_WRITE";

/// Edits another variable without pause while it runs, so that every read contends with it.
class Env_Writer
{
public:
  Env_Writer()
      : thread_([this] {
          for (unsigned long i = 0; !stop_.load(std::memory_order_relaxed); ++i) {
            set_env(WRITE_NAME, (i & 1) != 0 ? "odd" : "even");
            std::this_thread::yield();
          }
        })
  {
  }
  ~Env_Writer()
  {
    stop_ = true;
    thread_.join();
  }

private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

Env_Writer* g_writer = nullptr;

void BM_get_env_r(benchmark::State& state)
{
  if (state.thread_index() == 0) {
    set_env(READ_NAME, "/usr/lib/x86_64-linux-gnu/libsystemd.so.0");
    g_writer = new Env_Writer;
  }
  for (auto _ : state)
    benchmark::DoNotOptimize(get_env_r(READ_NAME));
  if (state.thread_index() == 0) {
    delete g_writer;
    g_writer = nullptr;
  }
}

/// The baseline: the platform's getenv, copied into a string as get_env_r does, and without the
/// writer, since getenv beside setenv is a data race.
void BM_getenv(benchmark::State& state)
{
  if (state.thread_index() == 0)
    ::setenv(READ_NAME, "/usr/lib/x86_64-linux-gnu/libsystemd.so.0", 1);
  for (auto _ : state) {
    const char* const v = std::getenv(READ_NAME);
    std::string copy(v != nullptr ? v : "");
    benchmark::DoNotOptimize(copy.data());
  }
}

BENCHMARK(BM_getenv)->Name("getenv")->Threads(1)->Threads(2)->Threads(4)->UseRealTime();
BENCHMARK(BM_get_env_r)->Name("get_env_r+writer")->Threads(1)->Threads(2)->Threads(4)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
