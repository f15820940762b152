// What the host tells systemd beyond readiness and keep-alives: the number of open services,
// reloads (for units of Type=notify-reload) and the stop; and that it says nothing of it
// without a running notifier.
#include <gtest/gtest.h>

#include <signal.h>

#include <string>

#include "support/host_process.h"
#include "support/temp_dir.h"

namespace {

using std::chrono::seconds;

TEST(SystemdStatus, ReadyStatusReloadAndStopInOrder)
{
  Temp_Dir d;
  std::string const sent = d / "sent";
  std::string const rec = d / "rec";
  d.write("p.conf", probe_line("P", rec));
  Host_Process h;
  ASSERT_TRUE(h.start({"-f", d / "p.conf"}, {{"LIBSYSTEMD_FILENAME", FAKE_SYSTEMD_LIBRARY},
                                             {"FAKE_SD_WATCHDOG_USEC", "30000000"},
                                             {"FAKE_SD_RECORD", sent}},
                      {"SD_NOTIFY_INTERVAL"}));
  ASSERT_TRUE(wait_for_file(sent, "STATUS=1 service open\n")) << read_file(sent);
  d.write("p.conf", probe_line("P", rec) + probe_line("Q", rec));
  ASSERT_TRUE(h.send(SIGHUP));
  ASSERT_TRUE(wait_for_file(sent, "STATUS=2 services open\n")) << read_file(sent);
  ASSERT_TRUE(h.send(SIGTERM));
  ASSERT_TRUE(h.wait_exit());
  EXPECT_EQ(0, h.exit_code());

  // The keep-alive interval is 10 s here, so no keep-alive falls between these messages.
  std::string const all = read_file(sent);
  std::string const head = "READY=1\nWATCHDOG=1\nSTATUS=1 service open\nRELOADING=1\nMONOTONIC_USEC=";
  std::string const tail = "\nREADY=1\nSTATUS=2 services open\nSTOPPING=1\n";
  ASSERT_GT(all.size(), head.size() + tail.size()) << all;
  EXPECT_EQ(head, all.substr(0, head.size())) << all;
  EXPECT_EQ(tail, all.substr(all.size() - tail.size())) << all;
  std::string const usec = all.substr(head.size(), all.size() - head.size() - tail.size());
  EXPECT_TRUE(!usec.empty() && usec[0] != '0' &&
              usec.find_first_not_of("0123456789") == std::string::npos)
      << usec;
}

TEST(SystemdStatus, NothingWithoutAWatchdog)
{
  Temp_Dir d;
  std::string const sent = d / "sent";
  Host_Process h;
  ASSERT_TRUE(h.start({}, {{"LIBSYSTEMD_FILENAME", FAKE_SYSTEMD_LIBRARY}, {"FAKE_SD_RECORD", sent}},
                      {"FAKE_SD_WATCHDOG_USEC"}));
  ASSERT_TRUE(h.wait_for_stderr("is started"));
  ASSERT_TRUE(h.send(SIGHUP));
  ASSERT_TRUE(h.wait_for_stderr("reconfiguring"));
  ASSERT_TRUE(h.send(SIGTERM));
  ASSERT_TRUE(h.wait_exit());
  EXPECT_EQ(0, h.exit_code());
  EXPECT_EQ("", read_file(sent));
}

}  // namespace
