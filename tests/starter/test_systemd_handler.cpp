// The notifier against fake systemd client libraries: what it logs, what it sends, the
// keep-alive interval it derives and schedules, and that every way out leaves nothing loaded
// and no timer behind. The environment each test sets is put back afterwards.
#include "starter/systemd_handler.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <ace/Reactor.h>
#include <ace/Time_Value.h>
#include <ace/Timer_Queue.h>

#include "scrt/log_macros.h"
#include "scrt/log_capture.h"
#include "support/host_process.h"
#include "support/temp_dir.h"

namespace {

typedef std::vector<std::pair<std::string, std::string>> Env;

/// Every variable the notifier or the fake libraries read.
const char* const VARS[] = {"LIBSYSTEMD_FILENAME", "SD_NOTIFY_INTERVAL",   "WATCHDOG_USEC",
                            "WATCHDOG_PID",        "FAKE_SD_BOOTED",       "FAKE_SD_WATCHDOG_USEC",
                            "FAKE_SD_RECORD"};

/// Opens the protected parts up to the tests.
class Testable_Handler : public Systemd_Handler
{
public:
  using Systemd_Handler::handle_timeout;
  void* library() const { return handle_; }
};

/// Sends of the stand-in sd_notify that handle_timeout is handed in some tests.
int stand_in_calls = 0;
int stand_in_notify(int, const char*)
{
  ++stand_in_calls;
  return 1;
}

/// Redirects standard error into a file while alive; text() reads what was written.
class Stderr_Capture
{
public:
  explicit Stderr_Capture(const std::string& path) : path_(path), saved_(::dup(2))
  {
    int const fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, 2);
    ::close(fd);
  }
  ~Stderr_Capture() { restore(); }
  std::string text()
  {
    restore();
    return read_file(path_);
  }

private:
  void restore()
  {
    if (saved_ >= 0) {
      ::dup2(saved_, 2);
      ::close(saved_);
      saved_ = -1;
    }
  }
  std::string path_;
  int saved_;
};

/// True while the library at @a path is loaded in this process.
bool is_loaded(const char* path)
{
  void* const h = ::dlopen(path, RTLD_LAZY | RTLD_NOLOAD);
  if (h != 0)
    ::dlclose(h);
  return h != 0;
}

class Notifier : public ::testing::Test
{
protected:
  void SetUp() override
  {
    saved_.clear();
    for (const char* v : VARS) {
      const char* const old = ::getenv(v);
      saved_.emplace_back(v, old != 0 ? std::make_pair(true, std::string(old))
                                      : std::make_pair(false, std::string()));
      ::unsetenv(v);
    }
    record_ = dir_ / "sent";
    ::unlink(record_.c_str());
    ::setenv("FAKE_SD_RECORD", record_.c_str(), 1);
    handler_ = new Testable_Handler;
    handler_->reference_counting_policy().value(
        ACE_Event_Handler::Reference_Counting_Policy::ENABLED);
    var_ = handler_;
  }

  void TearDown() override
  {
    for (const auto& s : saved_)
      if (s.second.first)
        ::setenv(s.first.c_str(), s.second.second.c_str(), 1);
      else
        ::unsetenv(s.first.c_str());
  }

  static void set(const Env& env)
  {
    for (const auto& kv : env)
      ::setenv(kv.first.c_str(), kv.second.c_str(), 1);
  }

  /// Opens the handler on reactor_, keeping the log records and standard error it writes.
  int open()
  {
    Stderr_Capture err(dir_ / "stderr");
    before_ = reactor_.timer_queue()->gettimeofday();
    int const rc = handler_->open(&reactor_);
    after_ = reactor_.timer_queue()->gettimeofday();
    stderr_ = err.text();
    return rc;
  }

  std::string sent() const { return read_file(record_); }

  /// The handler holds nothing: no library, no reactor, no timer.
  void expect_released(const char* library)
  {
    EXPECT_EQ(nullptr, handler_->library());
    EXPECT_EQ(nullptr, handler_->reactor());
    EXPECT_TRUE(reactor_.timer_queue()->is_empty());
    if (library != nullptr && library[0] == '/') {
      EXPECT_FALSE(is_loaded(library)) << library;
    }
  }

  Temp_Dir dir_;
  std::string record_;
  std::vector<std::pair<std::string, std::pair<bool, std::string>>> saved_;
  // Declared before the handler's reference: a running handler then outlives the test's
  // reference and dies with the reactor, as it does in the host.
  ACE_Reactor reactor_;
  Testable_Handler* handler_ = nullptr;
  ACE_Event_Handler_var var_;
  Log_Capture log_;
  std::string stderr_;
  ACE_Time_Value before_;
  ACE_Time_Value after_;
};

struct Expected_Record
{
  ACE_Log_Priority priority;
  int status;
  std::string text;  // a prefix of the record's text
};

struct Failure_Row
{
  const char* name;
  Env env;
  std::vector<Expected_Record> records;
};

TEST_F(Notifier, EveryFailureIsLoggedAsGivenSendsNothingAndReleasesAll)
{
  std::string const lib = FAKE_SYSTEMD_LIBRARY;
  std::string const old_lib = FAKE_SYSTEMD_NOWD_LIBRARY;
  std::string const no_notify = FAKE_SYSTEMD_NONOTIFY_LIBRARY;
  std::string const other_pid = std::to_string(::getpid() + 1);
  Expected_Record const no_wd_symbol{
      LM_WARNING, 0, "Not found symbol sd_watchdog_enabled in " + old_lib + "!\n"};
  const Failure_Row rows[] = {
      {"turned off", {{"LIBSYSTEMD_FILENAME", "0"}}, {}},
      {"missing library",
       {{"LIBSYSTEMD_FILENAME", "/nonexistent/libsd.so"}},
       {{LM_WARNING, -1, "Unable to load /nonexistent/libsd.so, /nonexistent/libsd.so: "}}},
      {"no sd_booted",
       {{"LIBSYSTEMD_FILENAME", "libm.so.6"}},
       {{LM_ERROR, -1, "Not found symbol sd_booted in libm.so.6!\n"}}},
      {"no sd_notify",
       {{"LIBSYSTEMD_FILENAME", no_notify}},
       {{LM_ERROR, -1, "Not found symbol sd_notify in " + no_notify + "!\n"}}},
      {"not booted by systemd", {{"LIBSYSTEMD_FILENAME", lib}, {"FAKE_SD_BOOTED", "0"}}, {}},
      {"no watchdog",
       {{"LIBSYSTEMD_FILENAME", lib}},
       {{LM_WARNING, -1, "systemd watchdog is not enabled.\n"}}},
      {"old library, WATCHDOG_USEC unset",
       {{"LIBSYSTEMD_FILENAME", old_lib}},
       {no_wd_symbol, {LM_WARNING, -1, "systemd watchdog is not enabled, WATCHDOG_USEC is unset.\n"}}},
      {"old library, WATCHDOG_USEC letters",
       {{"LIBSYSTEMD_FILENAME", old_lib}, {"WATCHDOG_USEC", "abc"}},
       {no_wd_symbol, {LM_WARNING, -1, "systemd watchdog is not enabled, WATCHDOG_USEC=abc.\n"}}},
      {"old library, WATCHDOG_USEC zero",
       {{"LIBSYSTEMD_FILENAME", old_lib}, {"WATCHDOG_USEC", "0"}},
       {no_wd_symbol, {LM_WARNING, -1, "systemd watchdog is not enabled, WATCHDOG_USEC=0.\n"}}},
      {"old library, watchdog of another process",
       {{"LIBSYSTEMD_FILENAME", old_lib}, {"WATCHDOG_USEC", "6000000"},
        {"WATCHDOG_PID", other_pid}},
       {no_wd_symbol,
        {LM_WARNING, -1, "systemd watchdog is not enabled, WATCHDOG_PID=" + other_pid + ".\n"}}},
  };

  for (const Failure_Row& row : rows) {
    SCOPED_TRACE(row.name);
    TearDown();
    SetUp();
    set(row.env);
    log_.records.clear();

    EXPECT_EQ(-1, open());
    ASSERT_EQ(row.records.size(), log_.records.size());
    for (size_t i = 0; i < row.records.size(); ++i) {
      EXPECT_EQ(row.records[i].priority, log_.records[i].priority) << i;
      EXPECT_EQ(row.records[i].status, log_.records[i].status) << i;
      EXPECT_EQ(0u, log_.records[i].text.find(row.records[i].text)) << log_.records[i].text;
    }
    EXPECT_EQ("", stderr_);
    EXPECT_EQ("", sent());
    expect_released(::getenv("LIBSYSTEMD_FILENAME"));
  }
}

TEST_F(Notifier, NullReactorIsLoggedAndRefused)
{
  EXPECT_EQ(-1, handler_->open(nullptr));
  ASSERT_EQ(1u, log_.records.size());
  EXPECT_EQ(LM_EMERGENCY, log_.records[0].priority);
  EXPECT_EQ(-1, log_.records[0].status);
  EXPECT_NE(std::string::npos, log_.records[0].text.find("systemd_handler.cpp:"));
  EXPECT_NE(std::string::npos, log_.records[0].text.find(", r is NULL:\n"));
}

struct Interval_Row
{
  const char* name;
  Env env;
  unsigned long ms;
  std::string warning;  // the extra LM_WARNING record, if any
};

TEST_F(Notifier, RunsWithTheDerivedOrConfiguredInterval)
{
  std::string const lib = FAKE_SYSTEMD_LIBRARY;
  std::string const old_lib = FAKE_SYSTEMD_NOWD_LIBRARY;
  std::string const pid = std::to_string(::getpid());
  const Interval_Row rows[] = {
      {"30 s watchdog", {{"FAKE_SD_WATCHDOG_USEC", "30000000"}}, 10000, ""},
      {"9 s watchdog", {{"FAKE_SD_WATCHDOG_USEC", "9000000"}}, 3000, ""},
      {"6 s watchdog", {{"FAKE_SD_WATCHDOG_USEC", "6000000"}}, 3000, ""},
      {"3 s watchdog, capped at half", {{"FAKE_SD_WATCHDOG_USEC", "3000000"}}, 1500, ""},
      {"1 s watchdog, capped at half", {{"FAKE_SD_WATCHDOG_USEC", "1000000"}}, 500, ""},
      {"10 us watchdog, floored", {{"FAKE_SD_WATCHDOG_USEC", "10"}}, 1,
       "The keep-alive interval of 5 us is below the floor of 1 ms: using 1 ms.\n"},
      {"configured", {{"FAKE_SD_WATCHDOG_USEC", "30000000"}, {"SD_NOTIFY_INTERVAL", "5"}}, 5000,
       ""},
      {"configured with a unit", {{"FAKE_SD_WATCHDOG_USEC", "30000000"},
                                  {"SD_NOTIFY_INTERVAL", "5s"}}, 5000, ""},
      {"configured with a plus", {{"FAKE_SD_WATCHDOG_USEC", "30000000"},
                                  {"SD_NOTIFY_INTERVAL", "+5"}}, 5000, ""},
      {"configured zero", {{"FAKE_SD_WATCHDOG_USEC", "30000000"},
                           {"SD_NOTIFY_INTERVAL", "0"}}, 10000, ""},
      {"configured negative", {{"FAKE_SD_WATCHDOG_USEC", "30000000"},
                               {"SD_NOTIFY_INTERVAL", "-5"}}, 10000, ""},
      {"configured letters", {{"FAKE_SD_WATCHDOG_USEC", "30000000"},
                              {"SD_NOTIFY_INTERVAL", "abc"}}, 10000, ""},
      {"configured beyond the timeout",
       {{"FAKE_SD_WATCHDOG_USEC", "3000000"}, {"SD_NOTIFY_INTERVAL", "5"}}, 5000,
       "SD_NOTIFY_INTERVAL=5 is not shorter than the systemd watchdog timeout of 3000 ms.\n"},
      {"configured at the timeout",
       {{"FAKE_SD_WATCHDOG_USEC", "3000000"}, {"SD_NOTIFY_INTERVAL", "3"}}, 3000,
       "SD_NOTIFY_INTERVAL=3 is not shorter than the systemd watchdog timeout of 3000 ms.\n"},
      {"old library, watchdog for this process",
       {{"LIBSYSTEMD_FILENAME", old_lib}, {"WATCHDOG_USEC", "6000000"}, {"WATCHDOG_PID", pid}},
       3000, ""},
      {"old library, WATCHDOG_PID unset",
       {{"LIBSYSTEMD_FILENAME", old_lib}, {"WATCHDOG_USEC", "30000000"}}, 10000, ""},
  };

  for (const Interval_Row& row : rows) {
    SCOPED_TRACE(row.name);
    TearDown();
    SetUp();
    ::setenv("LIBSYSTEMD_FILENAME", lib.c_str(), 1);
    set(row.env);
    log_.records.clear();
    std::string const library = ::getenv("LIBSYSTEMD_FILENAME");

    ASSERT_EQ(0, open());
    std::string const every = "Notify systemd every " + std::to_string(row.ms) + " ms.\n";
    EXPECT_EQ("<6>" + every, stderr_);
    EXPECT_EQ(1u, log_.matching(every).size());
    for (const Log_Capture::Record& r : log_.matching(every)) {
      EXPECT_EQ(LM_DEBUG, r.priority);
      EXPECT_EQ(0, r.status);
    }
    std::vector<Log_Capture::Record> warnings = log_.matching("SD_NOTIFY_INTERVAL");
    for (const Log_Capture::Record& r : log_.matching("keep-alive interval"))
      warnings.push_back(r);
    if (row.warning.empty()) {
      EXPECT_TRUE(warnings.empty());
    } else {
      ASSERT_EQ(1u, warnings.size());
      EXPECT_EQ(row.warning, warnings[0].text);
      EXPECT_EQ(LM_WARNING, warnings[0].priority);
    }
    EXPECT_EQ("READY=1\nWATCHDOG=1\n", sent());

    // The first keep-alive is due one interval after the timer was scheduled.
    ACE_Time_Value interval;
    interval.set_msec(static_cast<ACE_UINT64>(row.ms));
    ACE_Time_Value const due = reactor_.timer_queue()->earliest_time();
    EXPECT_GE(due, before_ + interval);
    EXPECT_LE(due, after_ + interval);
    EXPECT_TRUE(is_loaded(library.c_str()));

    EXPECT_EQ(0, handler_->close());
    expect_released(library.c_str());
    EXPECT_EQ(0, handler_->close());
  }
}

TEST_F(Notifier, KeepAlivesFollowFromTheReactor)
{
  ::setenv("LIBSYSTEMD_FILENAME", FAKE_SYSTEMD_LIBRARY, 1);
  ::setenv("FAKE_SD_WATCHDOG_USEC", "1000000", 1);
  ASSERT_EQ(0, open());
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (count_of(sent(), "WATCHDOG=1\n") < 3 && std::chrono::steady_clock::now() < deadline) {
    ACE_Time_Value slice(0, 100000);
    reactor_.handle_events(slice);
  }
  EXPECT_EQ("READY=1\nWATCHDOG=1\nWATCHDOG=1\nWATCHDOG=1\n", sent());
}

TEST_F(Notifier, TimeoutAfterCloseSendsNothing)
{
  ::setenv("LIBSYSTEMD_FILENAME", FAKE_SYSTEMD_LIBRARY, 1);
  ::setenv("FAKE_SD_WATCHDOG_USEC", "30000000", 1);
  ASSERT_EQ(0, open());
  const void* const act = reinterpret_cast<const void*>(&stand_in_notify);
  stand_in_calls = 0;
  EXPECT_EQ(0, handler_->handle_timeout(ACE_Time_Value::zero, act));
  EXPECT_EQ(1, stand_in_calls);
  EXPECT_EQ(0, handler_->handle_timeout(ACE_Time_Value::zero, nullptr));

  EXPECT_EQ(0, handler_->close());
  EXPECT_EQ(0, handler_->handle_timeout(ACE_Time_Value::zero, act));
  EXPECT_EQ(1, stand_in_calls);
}

TEST_F(Notifier, CloseBeforeOpenAndTwiceDoesNothing)
{
  EXPECT_EQ(0, handler_->close());
  EXPECT_EQ(0, handler_->close());
  expect_released(nullptr);
  EXPECT_TRUE(log_.records.empty());
}

TEST_F(Notifier, RunningHandlerDiesWithItsReactor)
{
  ::setenv("LIBSYSTEMD_FILENAME", FAKE_SYSTEMD_LIBRARY, 1);
  ::setenv("FAKE_SD_WATCHDOG_USEC", "30000000", 1);
  struct Watched : Systemd_Handler
  {
    explicit Watched(bool* gone) : gone_(gone) {}
    ~Watched() override { *gone_ = true; }
    bool* gone_;
  };
  bool gone = false;
  {
    ACE_Reactor reactor;
    Watched* const h = new Watched(&gone);
    h->reference_counting_policy().value(ACE_Event_Handler::Reference_Counting_Policy::ENABLED);
    {
      ACE_Event_Handler_var guard(h);
      Stderr_Capture err(dir_ / "stderr");
      ASSERT_EQ(0, h->open(&reactor));
    }
    EXPECT_FALSE(gone) << "the timer's reference keeps a running handler alive";
  }
  EXPECT_TRUE(gone);
  EXPECT_FALSE(is_loaded(FAKE_SYSTEMD_LIBRARY));
}

}  // namespace
