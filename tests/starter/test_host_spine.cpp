// The host end to end: services opened from a configuration directory in byte order, the
// loop running when services fail, and what an uncaught exception does.
#include <gtest/gtest.h>

#include <signal.h>

#include <string>
#include <vector>

#include "support/host_process.h"
#include "support/temp_dir.h"

namespace {

using std::chrono::seconds;

TEST(HostSpine, OpensDirectoryServicesInByteOrderAndFinalisesThem)
{
  Temp_Dir d;
  std::string const rec = d / "rec";
  d.mkdir("conf.d");
  d.write("conf.d/20-b.conf", probe_line("B", rec));
  d.write("conf.d/10-a.conf", probe_line("A", rec));
  d.write("conf.d/30-c.conf.off", probe_line("C", rec));
  d.write("conf.d/Z-upper.conf", probe_line("Z", rec));

  Host_Process h;
  ASSERT_TRUE(h.start({"-f", d / "conf.d"}));
  ASSERT_TRUE(wait_for_file(rec, "init Z"));
  std::vector<std::string> const inits = lines_starting(rec, "init");
  ASSERT_EQ(3u, inits.size());
  EXPECT_NE(std::string::npos, inits[0].find(" A pid="));
  EXPECT_NE(std::string::npos, inits[1].find(" B pid="));
  EXPECT_NE(std::string::npos, inits[2].find(" Z pid="));
  ASSERT_TRUE(h.send(SIGTERM));
  ASSERT_TRUE(h.wait_exit());
}

TEST(HostSpine, LoopRunsWhenServicesFailToOpen)
{
  Temp_Dir d;
  std::string const rec = d / "rec";
  d.write("bad.conf", probe_line("Bad", rec, "-F") +
                          "dynamic Nope Service_Object * /no/such/lib.so:_make_X() \"\"\n");
  Host_Process h;
  ASSERT_TRUE(h.start({"-f", d / "bad.conf", "-f", d / "missing.conf"}));
  ASSERT_TRUE(wait_for_file(rec, "init Bad"));
  // Still running well after the failures.
  EXPECT_FALSE(h.wait_exit(std::chrono::milliseconds(700)));
  ASSERT_TRUE(h.send(SIGTERM));
  ASSERT_TRUE(h.wait_exit());
}

TEST(HostSpine, ExampleConfigurationServesTheNetworkServices)
{
  Host_Process h;
  ASSERT_TRUE(h.start({"-f", std::string(STARTER_SOURCE_DIR) + "/examples/conf.d"}));
  EXPECT_TRUE(accepts(20222)) << "time service\n" << h.stderr_text();
  EXPECT_TRUE(accepts(20006)) << "name service\n" << h.stderr_text();
  ASSERT_TRUE(h.send(SIGINT));
  ASSERT_TRUE(h.wait_exit());
  EXPECT_EQ(0, h.exit_code()) << h.stderr_text();
}

struct Throw_Case
{
  const char* kind;
  const char* record;
};

TEST(HostSpine, UncaughtExceptionIsLoggedThenAborts)
{
  for (const Throw_Case& c :
       {Throw_Case{"std", "Unhandled exception is caught, boom"},
        Throw_Case{"int", "Unknown/unhandled exception is caught: "}}) {
    SCOPED_TRACE(c.kind);
    Temp_Dir d;
    std::string const rec = d / "rec";
    d.write("t.conf", probe_line("T", rec, std::string("-t 50 -x ") + c.kind));
    Host_Process h;
    ASSERT_TRUE(h.start({"-f", d / "t.conf"}));
    ASSERT_TRUE(h.wait_exit());
    EXPECT_EQ(SIGABRT, h.term_signal()) << h.stderr_text();
    EXPECT_EQ(1u, count_of(h.stderr_text(), c.record)) << h.stderr_text();
    EXPECT_EQ(0u, count_of(h.stderr_text(), "exception is caught, \n")) ;
    EXPECT_EQ(0u, count_of(h.stderr_text(), "the back trace")) << "one record, not two";
  }
}

}  // namespace
