// The restart of one service in process: finalised and opened again from its directive, its
// library not loaded again, a suspended service suspended again, an unknown name refused, and
// the repository no larger for it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include <ace/Log_Msg.h>

#include <ace/Service_Config.h>
#include <ace/Service_Repository.h>
#include <ace/Service_Types.h>

#include "starter/config/apply.h"
#include "starter/config/repository.h"
#include "starter/config/stop_signal_guard.h"
#include "starter/restart.h"
#include "support/host_process.h"
#include "support/temp_dir.h"

namespace {

TEST(Restart, OneServiceFromItsDirectiveWithItsLibraryKept)
{
  Temp_Dir d;
  std::string const rec = d / "rec";
  std::string const loads = d / "loads";
  ::setenv("PROBE_LOADS", loads.c_str(), 1);
  Running_Config running;
  std::string const text = probe_line("A", rec) + probe_line("B", rec) + "suspend B\n";
  running.texts["f.conf"] = text;
  std::vector<Conf_Problem> problems;
  read_directives(text, "f.conf", problems, nullptr, &running.entries);
  ASSERT_TRUE(problems.empty());
  char name[] = "test";
  char* argv[] = {name, nullptr};
  ASSERT_EQ(0, ACE_Service_Config::open(1, argv, ACE_DEFAULT_LOGGER_KEY, true, true, true));
  for (const Conf_Entry& e : running.entries)
    ASSERT_EQ(0, apply_directive(e, running.texts)) << e.normal;

  const struct
  {
    const char* name;
    bool ok;
    const char* message;
  } rows[] = {
      {"A", true, "Restarted A from f.conf:1"},
      {"B", true, "Restarted B from f.conf:2"},
      {"C", false, "no service C in the configuration"},
  };
  size_t const slots = ACE_Service_Repository::instance()->current_size();
  for (const auto& r : rows) {
    Restart_Outcome const o = restart_service(r.name, running);
    EXPECT_EQ(r.ok, o.ok) << r.name;
    EXPECT_EQ(r.message, o.message) << r.name;
  }
  EXPECT_EQ(slots, ACE_Service_Repository::instance()->current_size())
      << "each restart left its removed service's slot behind";
  // A name the repository holds must never read as absent: its replacement would skip its fini.
  for (const char* n : {"A", "B"})
    EXPECT_TRUE(may_hold_service(n)) << n;
  EXPECT_FALSE(may_hold_service("C"));
  // The slots kept are those ACE's own iterator visits, in its order.
  std::string walked;
  std::string iterated;
  for_each_service([&](const ACE_Service_Type* t) { walked += std::string(t->name()) + " "; });
  ACE_Service_Repository_Iterator it(*ACE_Service_Repository::instance(), false);
  for (const ACE_Service_Type* t = 0; it.next(t) != 0; it.advance())
    iterated += std::string(t->name()) + " ";
  EXPECT_EQ("A B ", walked);
  EXPECT_EQ(iterated, walked);
  EXPECT_EQ(1u, lines_starting(rec, "fini A").size());
  EXPECT_EQ(2u, lines_starting(rec, "init A").size());
  EXPECT_EQ(2u, lines_starting(rec, "init B").size());
  EXPECT_EQ(1u, lines_starting(loads, "load ").size()) << "the library was loaded again";
  const ACE_Service_Type* b = nullptr;
  ASSERT_GE(ACE_Service_Repository::instance()->find("B", &b, false), 0);
  EXPECT_FALSE(b->active()) << "B is suspended again";
  close_services();
  ::unsetenv("PROBE_LOADS");
}

void taken(int) {}

/// Sets @a signo's handler past the C library, as no guard can see.
void raw_set(int signo, void (*handler)(int))
{
  struct
  {
    void (*handler)(int);
    unsigned long flags;
    void (*restorer)();
    unsigned long mask;
  } const k = {handler, 0, nullptr, 0};
  ASSERT_EQ(0, ::syscall(SYS_rt_sigaction, signo, &k, nullptr, sizeof k.mask));
}

// Guards made within one pass start from what the pass noted: each service that took a stop
// signal is named and the signal put back, so the services after it are not named. One that
// took it by a system call of its own (E) is not seen by its guard: the pass puts it back as
// it ends, unnamed.
TEST(StopSignalPass, NamesOnlyTheServicesThatChangedADisposition)
{
  const struct
  {
    const char* name;
    int signal;  // 0: the service leaves the dispositions alone
    void (*handler)(int);
    void (*host)(int);  // the host's, put back
    bool raw;
  } services[] = {{"A", SIGTERM, SIG_IGN, taken, false}, {"B", 0, nullptr, nullptr, false},
                  {"C", SIGQUIT, taken, SIG_DFL, false}, {"D", 0, nullptr, nullptr, false},
                  {"E", SIGINT, SIG_IGN, SIG_DFL, true}};
  ::signal(SIGTERM, taken);
  std::ostringstream log;
  ACE_Log_Msg* const m = ACE_Log_Msg::instance();
  m->msg_ostream(&log, false);
  m->set_flags(ACE_Log_Msg::OSTREAM);
  {
    Stop_Signal_Pass const pass;
    for (const auto& s : services) {
      std::string const name = s.name;
      Stop_Signal_Guard const guard(name);
      if (s.signal != 0 && s.raw)
        raw_set(s.signal, s.handler);
      else if (s.signal != 0)
        ::signal(s.signal, s.handler);
    }
  }
  m->clr_flags(ACE_Log_Msg::OSTREAM);
  m->msg_ostream(nullptr, false);
  for (const auto& s : services) {
    bool const named = log.str().find(std::string("Service '") + s.name + "' changed") !=
                       std::string::npos;
    EXPECT_EQ(s.signal != 0 && !s.raw, named) << s.name << ": " << log.str();
    struct sigaction now;
    if (s.signal != 0 && ::sigaction(s.signal, nullptr, &now) == 0) {
      EXPECT_EQ(s.host, now.sa_handler) << s.name;
    }
  }
  EXPECT_NE(std::string::npos, log.str().find("A service changed the disposition of signal 2 "
                                              "(Interrupt), one of the host's stop signals, by a "
                                              "system call of its own")) << log.str();
  ::signal(SIGTERM, SIG_DFL);
}

}  // namespace
