// The reactor factory: which names yield which reactor kind, the thread rule of the
// thread-pool kind and its log record, and that a failed allocation leaks nothing.
#include <dirent.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <typeinfo>

#include <ace/Dev_Poll_Reactor.h>
#include <ace/Priority_Reactor.h>
#include <ace/Reactor.h>
#include <ace/Select_Reactor.h>
#include <ace/TP_Reactor.h>

#include <gtest/gtest.h>

#include "scrt/dev_poll_reactor.h"
#include "scrt/key_value.h"
#include "scrt/make_reactor.h"
#include "scrt/log_capture.h"

// --- Allocation tracking -------------------------------------------------------------------
//
// While a thread tracks, every block it allocates is remembered until it is freed, and the
// n-th no-throw allocation can be made to fail. The factory allocates with the no-throw new,
// as ACE does inside the reactors, so the failures land exactly where the factory checks.

namespace {

constexpr int MAX_TRACKED = 8192;

struct Tracker
{
  bool on = false;
  int nothrow_calls = 0;
  int fail_at = 0;  ///< 1-based index of the no-throw allocation to fail; 0: none
  size_t nothrow_sizes[MAX_TRACKED] = {};
  void* live[MAX_TRACKED] = {};
  int live_count = 0;
  bool overflow = false;
};

thread_local Tracker tracker;

void* tracked_alloc(size_t size, bool nothrow)
{
  Tracker& t = tracker;
  if (t.on && nothrow) {
    if (t.nothrow_calls < MAX_TRACKED)
      t.nothrow_sizes[t.nothrow_calls] = size;
    if (++t.nothrow_calls == t.fail_at)
      return 0;
  }
  void* const p = std::malloc(size == 0 ? 1 : size);
  if (p != 0 && t.on) {
    if (t.live_count < MAX_TRACKED)
      t.live[t.live_count++] = p;
    else
      t.overflow = true;
  }
  return p;
}

void tracked_free(void* p)
{
  if (p == 0)
    return;
  Tracker& t = tracker;
  for (int i = t.live_count; i-- > 0;) {
    if (t.live[i] == p) {
      t.live[i] = t.live[--t.live_count];
      break;
    }
  }
  std::free(p);
}

}  // namespace

void* operator new(size_t size)
{
  void* const p = tracked_alloc(size, false);
  if (p == 0)
    throw std::bad_alloc();
  return p;
}
void* operator new[](size_t size)
{
  void* const p = tracked_alloc(size, false);
  if (p == 0)
    throw std::bad_alloc();
  return p;
}
void* operator new(size_t size, const std::nothrow_t&) noexcept
{
  return tracked_alloc(size, true);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept
{
  return tracked_alloc(size, true);
}
void operator delete(void* p) noexcept { tracked_free(p); }
void operator delete[](void* p) noexcept { tracked_free(p); }
void operator delete(void* p, size_t) noexcept { tracked_free(p); }
void operator delete[](void* p, size_t) noexcept { tracked_free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { tracked_free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { tracked_free(p); }

namespace {

/// Open descriptors of the process, so that a reactor's pipe or epoll handle left open shows.
int open_fds()
{
  int n = 0;
  if (DIR* const d = opendir("/proc/self/fd")) {
    while (readdir(d) != 0)
      ++n;
    closedir(d);
  }
  return n;
}

/// Calls @a maker with tracking on; the n-th no-throw allocation fails when @a fail_at is n.
ACE_Reactor* tracked_make(make_reactor_t maker, int fail_at)
{
  tracker.nothrow_calls = 0;
  tracker.fail_at = fail_at;
  tracker.live_count = 0;
  tracker.overflow = false;
  tracker.on = true;
  ACE_Reactor* const r = maker();
  tracker.on = false;
  tracker.fail_at = 0;
  return r;
}

// --- Names and the thread rule -------------------------------------------------------------

struct Name_Row
{
  const char* type;
  size_t threads;
  bool found;
};

// clang-format off
const Name_Row name_rows[] = {
  // every kind but "tp" for any count
  {"priority", 0, true}, {"priority", 1, true}, {"priority", 64, true},
  {"select", 0, true},   {"select", 1, true},   {"select", 64, true},
  {"dev_poll", 0, true}, {"dev_poll", 1, true}, {"dev_poll", 64, true},
  {"tp", 2, true},       {"tp", 64, true},
  // exact, case-sensitive names only
  {"TP", 4, false}, {"Select", 0, false}, {"tp ", 4, false}, {"", 4, false},
  {"epoll", 4, false}, {"select_reactor", 0, false}, {"dev", 0, false},
};
// clang-format on

TEST(ReactorFactory, FindsExactNamesAndLogsNothing)
{
  for (const Name_Row& row : name_rows) {
    SCOPED_TRACE(std::string("type '") + row.type + "' threads " + std::to_string(row.threads));
    Log_Capture log;
    make_reactor_t const maker = get_reactor_factory(row.type, row.threads);
    EXPECT_EQ(maker != 0, row.found);
    EXPECT_TRUE(log.records.empty());
  }
  Log_Capture log;
  EXPECT_EQ(get_reactor_factory(0, 4), nullptr);
  EXPECT_TRUE(log.records.empty());
}

TEST(ReactorFactory, ThreadPoolKindNeedsTwoThreads)
{
  // Refused with EINVAL and one error record, whole with its line end, naming the count.
  for (size_t threads : {0u, 1u}) {
    SCOPED_TRACE(threads);
    Log_Capture log;
    errno = 0;
    EXPECT_EQ(get_reactor_factory("tp", threads), nullptr);
    EXPECT_EQ(EINVAL, errno);
    ASSERT_EQ(log.records.size(), 1u);
    EXPECT_EQ(log.records[0].priority, LM_ERROR);
    EXPECT_EQ(log.records[0].text, "The number of threads (" + std::to_string(threads) +
                                       ") of thread pool reactor is less than 2\n");
  }
  // "TP" is no kind at all, so the thread rule does not speak for it.
  Log_Capture log;
  errno = 0;
  EXPECT_EQ(get_reactor_factory("TP", 1), nullptr);
  EXPECT_EQ(ENOENT, errno);
  EXPECT_TRUE(log.records.empty());
}

// --- What each factory builds --------------------------------------------------------------

struct Kind_Row
{
  const char* type;
  const std::type_info& impl_type;
  size_t impl_size;
};

const Kind_Row kind_rows[] = {
  {"priority", typeid(ACE_Priority_Reactor), sizeof(ACE_Priority_Reactor)},
  {"tp", typeid(ACE_TP_Reactor), sizeof(ACE_TP_Reactor)},
  {"select", typeid(ACE_Select_Reactor), sizeof(ACE_Select_Reactor)},
  {"dev_poll", typeid(Dev_Poll_Reactor), sizeof(Dev_Poll_Reactor)},
};

class ReactorKinds : public ::testing::TestWithParam<Kind_Row>
{
protected:
  void SetUp() override
  {
    maker_ = get_reactor_factory(GetParam().type, 2);
    ASSERT_NE(maker_, nullptr);
    // A first reactor sets up ACE's lazily created singletons, which outlive it by design.
    delete maker_();
  }

  make_reactor_t maker_ = 0;
};

TEST_P(ReactorKinds, BuildsTheNamedKindAndDestroysItWithTheWrapper)
{
  int const fds = open_fds();
  ACE_Reactor* const r = tracked_make(maker_, 0);
  ASSERT_NE(r, nullptr);
  ASSERT_NE(r->implementation(), nullptr);
  EXPECT_TRUE(typeid(*r->implementation()) == GetParam().impl_type)
      << typeid(*r->implementation()).name();
  EXPECT_TRUE(r->initialized());
  delete r;
  EXPECT_FALSE(tracker.overflow);
  EXPECT_EQ(tracker.live_count, 0) << "blocks of the reactor not freed with it";
  EXPECT_EQ(open_fds(), fds);
}

TEST_P(ReactorKinds, FailedAllocationLeaksNothing)
{
  // Learn where the factory's two allocations fall: the implementation comes first, the
  // wrapper last, with the implementation's own allocations between them.
  ACE_Reactor* const probe = tracked_make(maker_, 0);
  ASSERT_NE(probe, nullptr);
  int const calls = tracker.nothrow_calls;
  ASSERT_GE(calls, 2);
  ASSERT_EQ(tracker.nothrow_sizes[0], GetParam().impl_size);
  ASSERT_EQ(tracker.nothrow_sizes[calls - 1], sizeof(ACE_Reactor));
  delete probe;

  int const fds = open_fds();
  for (int fail_at : {1, calls}) {
    SCOPED_TRACE(fail_at == 1 ? "implementation" : "wrapper");
    errno = 0;
    EXPECT_EQ(tracked_make(maker_, fail_at), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_FALSE(tracker.overflow);
    EXPECT_EQ(tracker.live_count, 0) << "blocks left behind by the failed factory";
    EXPECT_EQ(open_fds(), fds) << "descriptors left behind by the failed factory";
  }
}

INSTANTIATE_TEST_SUITE_P(AllKinds, ReactorKinds, ::testing::ValuesIn(kind_rows),
                         [](const ::testing::TestParamInfo<Kind_Row>& info) {
                           return std::string(info.param.type);
                         });

// --- The table lookup ----------------------------------------------------------------------

TEST(KeyValueLookup, MissingOrNullKeyYieldsTheTerminatingEntry)
{
  Key_Value_T<int> table[] = {{"one", 1}, {"two", 2}, {"one", 3}, {0, -1}};
  EXPECT_EQ(get_key_value_entry(table, "two"), &table[1]);
  EXPECT_EQ(get_key_value_entry(table, "one"), &table[0]) << "the first match wins";
  EXPECT_EQ(get_key_value_entry(table, "ONE"), &table[3]);
  EXPECT_EQ(get_key_value_entry(table, "on"), &table[3]);
  EXPECT_EQ(get_key_value_entry(table, ""), &table[3]);
  EXPECT_EQ(get_key_value_entry(table, static_cast<const char*>(0)), &table[3]);

  Key_Value_T<int> empty[] = {{0, 7}};
  EXPECT_EQ(get_key_value_entry(empty, "one"), &empty[0]);
}

}  // namespace
