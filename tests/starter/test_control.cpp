// The control socket against the real host and starterctl, with ACE's time and name services:
// the request language, status with each directive's place, suspend/resume, restart of one
// service, reload's exit statuses, callers of other ids, and clients that misbehave.
#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <ace/INET_Addr.h>
#include <ace/SOCK_Connector.h>
#include <ace/SOCK_Stream.h>
#include <netsvcs/Time_Request_Reply.h>

#include "support/time_request.h"

#include "starter/control/request.h"
#include "starter/journal_stream.h"
#include "support/host_process.h"
#include "support/temp_dir.h"

namespace {

// ---------------------------------------------------------------------------------------------
// The request language.

struct Request_Row
{
  const char* text;
  bool ok;
  const char* command;  ///< its word
  const char* name_or_why;  ///< the service name when ok, else a part of the reason
};

const Request_Row request_rows[] = {
    {"status\n", true, "status", ""},
    {"reload", true, "reload", ""},  // a client that closes instead of ending the line
    {"  check \r\n", true, "check", ""},
    {"suspend Time_Service\n", true, "suspend", "Time_Service"},
    {"resume\tA\n", true, "resume", "A"},
    {"restart x.y-z\n", true, "restart", "x.y-z"},
    {"status all\n", true, "status", ""},
    {"\n", false, "status", "empty request"},
    {"STATUS\n", false, "status", "unknown command 'STATUS'"},
    {"status now\n", false, "status", "takes no argument, found 'now'"},
    {"suspend\n", false, "status", "needs a service name"},
    {"restart a b\n", false, "status", "takes one service name, found 'b'"},
    {"status\nstatus\n", false, "status", "one request per connection"},
    {"status\r\r\n", false, "status", "byte 13 at offset 6"},
    {"status\v\n", false, "status", "byte 11 at offset 6"},
    // Any name a configuration may hold: non-ASCII and control bytes.
    {"restart Q\xc3\xa9\n", true, "restart", "Q\xc3\xa9"},
    {"resume A\x01\x7f\xff\n", true, "resume", "A\x01\x7f\xff"},
    {"stat\xc3\xbcs\n", false, "status", "unknown command 'stat\xc3\xbcs'"},
};

TEST(ControlRequest, ReadsCommandsAndRefusesWhatIsMalformed)
{
  for (const Request_Row& row : request_rows) {
    SCOPED_TRACE(row.text);
    Control_Request r;
    r.name = "junk";
    std::string why;
    int const rc = parse_control_request(row.text, std::strlen(row.text), r, why);
    ASSERT_EQ(row.ok ? 0 : -1, rc) << why;
    if (row.ok) {
      EXPECT_STREQ(row.command, r.command->word);
      EXPECT_EQ(row.name_or_why, r.name);
    } else {
      EXPECT_NE(std::string::npos, why.find(row.name_or_why)) << why;
      EXPECT_EQ("junk", r.name);
    }
  }
  // The bound counts the end of line: 4096 bytes in all pass, one more does not.
  std::string line = "suspend " + std::string(CONTROL_REQUEST_MAX - 9, 'n') + "\n";
  Control_Request r;
  std::string why;
  EXPECT_EQ(0, parse_control_request(line.data(), line.size(), r, why)) << why;
  line.insert(8, "n");
  EXPECT_EQ(-1, parse_control_request(line.data(), line.size(), r, why));
  EXPECT_NE(std::string::npos, why.find("longer than 4096")) << why;
  EXPECT_EQ(-1, parse_control_request("status\0\n", 8, r, why));
  EXPECT_NE(std::string::npos, why.find("byte 0 at offset 6")) << why;
}

// The journal's stream, as JOURNAL_STREAM names it, for the host and starterctl alike: only an
// exact "DEVICE:INODE" of the descriptor's file counts.
TEST(JournalStream, OnlyTheDescriptorsOwnDeviceAndInodeCount)
{
  struct stat st;
  ASSERT_EQ(0, ::fstat(STDERR_FILENO, &st));
  std::string const own = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  const struct
  {
    std::string value;
    bool journal;
  } rows[] = {
      {own, true},
      {own + " ", false},
      {own + ":1", false},
      {"+" + own, false},
      {std::to_string(st.st_dev), false},
      {":" + std::to_string(st.st_ino), false},
      {std::to_string(st.st_dev) + ":", false},
      {std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + 1), false},
      {"18446744073709551616" + own.substr(own.find(':')), false},
      {"", false},
  };
  for (const auto& r : rows)
    EXPECT_EQ(r.journal, is_journal_stream(r.value.c_str(), STDERR_FILENO)) << r.value;
  EXPECT_FALSE(is_journal_stream(nullptr, STDERR_FILENO));
}

// ---------------------------------------------------------------------------------------------
// The host.

/// The inode of the socket listening on the loopback or any-address TCP @a port, from
/// /proc/net/tcp; 0 when none listens.
unsigned long listening_inode(int port)
{
  std::ifstream in("/proc/net/tcp");
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
    unsigned long inode = 0;
    f >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
    if (state == "0A" && std::stoi(local.substr(local.find(':') + 1), nullptr, 16) == port)
      return inode;
  }
  return 0;
}

/// A loopback TCP port nothing listens on now.
int free_port()
{
  int const fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size);
  ::close(fd);
  return ntohs(addr.sin_port);
}

/// What starterctl printed and its exit status.
struct Ctl
{
  std::string out;
  int status;
};

/// Runs starterctl with @a args, after the @a wrapper words (setpriv, say) when given.
Ctl starterctl(const std::string& args, const std::string& wrapper = "")
{
  Ctl c{"", -1};
  c.out = run_command(wrapper + " " STARTERCTL_BINARY " " + args, c.status);
  return c;
}

/// A raw client of the control socket at @a path: connected, or fd -1.
int connect_control(const std::string& path)
{
  int const fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

/// Reads what the host sends on @a fd until it closes (at most 5 s).
std::string read_all(int fd)
{
  timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
    text.append(buf, static_cast<size_t>(n));
  return text;
}

class Control : public ::testing::Test
{
protected:
  void SetUp() override
  {
    if (std::string(NETSVCS_LIBRARY).empty())
      GTEST_SKIP() << "needs ACE's network services";
    time_port_ = free_port();
    log_port_ = free_port();
    ::chmod(dir_.path().c_str(), 0755);
    // The logging service's directive spans two lines: its place is the line of its name.
    conf_ = dir_.write("a.conf", "# the services\n"
                                 "dynamic Time_Service Service_Object * "
                                 "netsvcs:_make_ACE_TS_Server_Acceptor() \"-p " +
                                     std::to_string(time_port_) + "\"\n\n"
                                 "dynamic Logger Service_Object *\n"
                                 "  netsvcs:_make_ACE_Server_Logging_Acceptor() \"-p " +
                                     std::to_string(log_port_) + "\"\n");
    control_ = dir_ / "control";
  }

  void start(const std::vector<std::string>& extra = {}, const std::string& reactor = "tp")
  {
    host_.reset(new Host_Process);
    std::vector<std::string> args = {"--reactor", reactor, "--threads", "3", "--control", control_};
    args.insert(args.end(), extra.begin(), extra.end());
    args.insert(args.end(), {"-f", conf_});
    ASSERT_TRUE(host_->start(args));
    ASSERT_TRUE(host_->wait_for_stderr("Serving the control socket")) << host_->stderr_text();
    ASSERT_TRUE(accepts(time_port_) && accepts(log_port_)) << host_->stderr_text();
  }

  void stop()
  {
    ASSERT_TRUE(host_->send(SIGTERM));
    ASSERT_TRUE(host_->wait_exit());
    EXPECT_EQ(0, host_->exit_code()) << host_->stderr_text();
    EXPECT_FALSE(exists(control_)) << "the socket outlived the host";
  }

  std::string ctl(const std::string& command) { return "--control " + control_ + " " + command; }

  Temp_Dir dir_;
  std::unique_ptr<Host_Process> host_;
  std::string conf_;
  std::string control_;
  int time_port_ = 0;
  int log_port_ = 0;
};

TEST_F(Control, StatusNamesEachServiceWithItsDirectiveAndTheSocketIsTheHosts)
{
  // A "-S" directive's service is placed at "-S", after the files'.
  start({"-S", probe_line("P", dir_ / "rec", "-t 1000")});
  struct stat st;
  ASSERT_EQ(0, ::lstat(control_.c_str(), &st));
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(0660u, st.st_mode & 0777);
  Ctl const c = starterctl(ctl("--json status"));
  ASSERT_EQ(0, c.status) << c.out;
  for (const std::string& want :
       {"\"directive\": \"" + conf_ + ":2\"", "\"directive\": \"" + conf_ + ":4\"",
        std::string("\"directive\": \"-S:1\""),
        "\"arguments\": \"-o " + dir_ / "rec -n P -t 1000\"",
        "\"arguments\": \"-p " + std::to_string(time_port_) + "\"", std::string("\"state\": \"active\""),
        "\"pid\": " + std::to_string(host_->pid()), std::string("\"reactor\": \"tp\""),
        std::string("\"threads\": 3"), std::string("Time Server")})
    EXPECT_NE(std::string::npos, c.out.find(want)) << want << " in\n" << c.out;
  Ctl const text = starterctl(ctl("status"));
  EXPECT_EQ(0, text.status);
  EXPECT_NE(std::string::npos, text.out.find("Logger")) << text.out;
  // ACE's built-in entries, which no directive opened, only when asked for; they can be neither
  // resumed nor shown as what they are not.
  EXPECT_EQ(std::string::npos, c.out.find("ACE_Service_Manager")) << c.out;
  Ctl const resume = starterctl(ctl("resume ACE_Service_Manager"));
  EXPECT_EQ(1, resume.status);
  EXPECT_NE(std::string::npos, resume.out.find("opened by no directive")) << resume.out;
  Ctl const all = starterctl(ctl("--all status"));
  EXPECT_NE(std::string::npos, all.out.find("ACE_Service_Manager  Service_Object  inactive"))
      << all.out;
  stop();
}

TEST_F(Control, SuspendStopsOneServiceAnsweringAndResumeBringsItBack)
{
  for (const char* reactor : {"select", "tp", "dev_poll"}) {
    SCOPED_TRACE(reactor);
    start({}, reactor);
    ASSERT_TRUE(answers_the_time(time_port_, 1));
    Ctl c = starterctl(ctl("suspend Time_Service"));
    ASSERT_EQ(0, c.status) << c.out;
    EXPECT_FALSE(answers_the_time(time_port_, 1));
    // The other service and the control socket are not suspended with it.
    EXPECT_TRUE(accepts(log_port_));
    EXPECT_NE(std::string::npos, starterctl(ctl("status")).out.find("suspended"));
    c = starterctl(ctl("resume Time_Service"));
    ASSERT_EQ(0, c.status) << c.out;
    EXPECT_TRUE(answers_the_time(time_port_, 1));
    c = starterctl(ctl("suspend No_Such"));
    EXPECT_EQ(1, c.status);
    EXPECT_NE(std::string::npos, c.out.find("no service named 'No_Such'")) << c.out;
    stop();
  }
}

/// The "opened" time status @a json gives service @a name.
std::string opened_of(const std::string& json, const std::string& name)
{
  size_t const at = json.find("\"opened\": \"", json.find("\"name\": \"" + name + "\""));
  return at == std::string::npos ? std::string() : json.substr(at + 11, 20);
}

TEST_F(Control, RestartReopensOnlyThatServiceAndStatusDatesWhatWasOpened)
{
  start({"--reload", "changed"});
  EXPECT_NE(std::string::npos, starterctl(ctl("status")).out.find("reload mode changed"));
  unsigned long const time_inode = listening_inode(time_port_);
  unsigned long const log_inode = listening_inode(log_port_);
  ASSERT_NE(0u, time_inode);
  ASSERT_NE(0u, log_inode);
  std::string const started = starterctl(ctl("--json status")).out;
  EXPECT_NE(std::string::npos, started.find("\"reload_mode\": \"changed\"")) << started;
  ::sleep(1);  // the times have one-second steps
  Ctl const c = starterctl(ctl("restart Time_Service"));
  ASSERT_EQ(0, c.status) << c.out;
  EXPECT_NE(std::string::npos, c.out.find(conf_ + ":2")) << c.out;
  EXPECT_EQ(log_inode, listening_inode(log_port_));
  // Reopened on the socket the host held, with the connections waiting in its queue.
  EXPECT_EQ(time_inode, listening_inode(time_port_));
  EXPECT_TRUE(answers_the_time(time_port_, 1));
  std::string const restarted = starterctl(ctl("--json status")).out;
  EXPECT_NE(opened_of(started, "Time_Service"), opened_of(restarted, "Time_Service"));
  EXPECT_EQ(opened_of(started, "Logger"), opened_of(restarted, "Logger"));

  // A reload that re-opens the logger on another port leaves the time service's date alone.
  ::sleep(1);
  std::string conf = read_file(conf_);
  std::string const port = "-p " + std::to_string(log_port_);
  log_port_ = free_port();
  conf.replace(conf.find(port), port.size(), "-p " + std::to_string(log_port_));
  dir_.write("a.conf", conf);
  ASSERT_EQ(0, starterctl(ctl("reload")).status);
  std::string const reloaded = starterctl(ctl("--json status")).out;
  EXPECT_EQ(opened_of(restarted, "Time_Service"), opened_of(reloaded, "Time_Service")) << reloaded;
  EXPECT_NE(opened_of(restarted, "Logger"), opened_of(reloaded, "Logger")) << reloaded;
  stop();

  // Services of "-S" directives and non-ASCII names are restarted and suspended like any other.
  std::string const rec = dir_ / "rec";
  std::string utf8 = probe_line("Q", rec);
  utf8.replace(utf8.find(" Q "), 3, " Q\xc3\xa9 ");  // the name alone: quoted text is ASCII
  start({"-S", probe_line("PS", rec), "-S", utf8});
  for (const char* command : {"restart PS", "restart Q\xc3\xa9", "suspend Q\xc3\xa9"}) {
    Ctl const ctl_c = starterctl(ctl(command));
    EXPECT_EQ(0, ctl_c.status) << command << ": " << ctl_c.out;
  }
  EXPECT_EQ(2u, lines_starting(rec, "init PS").size());
  std::string const text = starterctl(ctl("status")).out;
  EXPECT_NE(std::string::npos, text.find("Q\xc3\xa9            Service_Object  suspended")) << text;
  stop();
}

TEST_F(Control, ReloadTellsAppliedRefusedAndErrors)
{
  start();
  EXPECT_NE(std::string::npos, starterctl(ctl("status")).out.find("reload mode all"));
  EXPECT_NE(std::string::npos, starterctl(ctl("--json status")).out.find("\"reload_mode\": \"all\""));
  std::string const good = read_file(conf_);
  // A port another socket holds: the check passes, the service's own open fails.
  int const held = ::socket(AF_INET, SOCK_STREAM, 0);
  int const held_port = free_port();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(held_port));
  ASSERT_EQ(0, ::bind(held, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  ASSERT_EQ(0, ::listen(held, 1));
  const struct
  {
    std::string text;
    int status;
    const char* says;
  } rows[] = {
      {good, 0, "applied: Reloaded: 2 services open"},
      {good + "dynamic Broken Service_Object *\n", 1, "refused: Reload refused: 1 error"},
      {good + "dynamic Second Service_Object * netsvcs:_make_ACE_TS_Server_Acceptor() \"-p " +
           std::to_string(held_port) + "\"\n",
       1, "rolled back: Reload rolled back: Second did not open ("},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.says);
    dir_.write("a.conf", row.text);
    Ctl const c = starterctl(ctl("reload"));
    EXPECT_EQ(row.status, c.status) << c.out;
    EXPECT_NE(std::string::npos, c.out.find(row.says)) << c.out;
  }
  Ctl const check = starterctl(ctl("check"));
  EXPECT_EQ(0, check.status) << check.out;
  ::close(held);
  stop();
}

TEST_F(Control, CallersOfOtherIdsAreRefused)
{
  if (geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0 || getpwnam("nobody") == 0)
    GTEST_SKIP() << "needs root, setpriv and the user nobody";
  for (std::string p = dir_.path(); p != "/"; p = p.substr(0, p.rfind('/') > 0 ? p.rfind('/') : 1)) {
    struct stat st;
    if (::stat(p.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0)
      GTEST_SKIP() << dir_.path() << " lies where other users cannot reach it";
  }
  start({"--control-group", "1"});
  // Group 1 may connect (the socket is its group's) and is let in; group 0 may not connect at
  // all; the socket's group without being let in is shown by a host with no control group.
  Ctl c = starterctl(ctl("status"), "setpriv --reuid=65534 --regid=65534 --groups=1");
  EXPECT_EQ(0, c.status) << c.out;
  c = starterctl(ctl("status"), "setpriv --reuid=65534 --regid=65534 --clear-groups");
  EXPECT_EQ(3, c.status) << c.out;
  const group* const g = getgrgid(1);
  EXPECT_NE(std::string::npos, c.out.find(": Permission denied: the host serves root, its user root "
                                          "and the members of group " +
                                          std::string(g != 0 ? g->gr_name : "1") + "; you are nobody"))
      << c.out;
  stop();

  start();
  c = starterctl(ctl("status"), "setpriv --reuid=65534 --regid=0 --clear-groups");
  EXPECT_EQ(1, c.status) << c.out;
  EXPECT_NE(std::string::npos, c.out.find("permission denied: uid 65534")) << c.out;
  EXPECT_TRUE(host_->wait_for_stderr("Refused a control connection from uid 65534"));
  stop();
}

TEST_F(Control, MisbehavingClientsGetAnAnswerOrTheirTurnAndHoldNothing)
{
  start();
  // Malformed and oversized requests: an error line each, and a record.
  const std::string bad[] = {"garbage\n", std::string(5000, 'x'), std::string("st\0tus\n", 7)};
  for (const std::string& b : bad) {
    int const fd = connect_control(control_);
    ASSERT_LE(0, fd);
    ::send(fd, b.data(), b.size(), MSG_NOSIGNAL);
    std::string const answer = read_all(fd);
    ::close(fd);
    EXPECT_NE(std::string::npos, answer.find("\"error\"")) << answer;
  }
  EXPECT_TRUE(host_->wait_for_stderr("Malformed control request", std::chrono::seconds(5), 3));
  // Silent clients, and clients that send half a line, up to the cap and beyond: the ones
  // beyond are told, the rest time out, and the host answers again once they are gone.
  std::vector<int> idle;
  for (int i = 0; i < 40; ++i) {
    idle.push_back(connect_control(control_));
    if (i % 2 != 0)
      ::send(idle.back(), "sta", 3, MSG_NOSIGNAL);
  }
  int const over = connect_control(control_);
  EXPECT_NE(std::string::npos, read_all(over).find("too many control connections"));
  ::close(over);
  EXPECT_TRUE(host_->wait_for_stderr("sent no request within", std::chrono::seconds(10), 32));
  Ctl const c = starterctl(ctl("status"));
  EXPECT_EQ(0, c.status) << c.out;
  for (int fd : idle)
    ::close(fd);
  EXPECT_TRUE(answers_the_time(time_port_, 1));
  // Clients that ask and go before the answer: the host neither dies (SIGPIPE) nor keeps them.
  for (int i = 0; i < 20; ++i) {
    int const fd = connect_control(control_);
    ASSERT_LE(0, fd);
    ::send(fd, "status all\n", 11, MSG_NOSIGNAL);
    ::close(fd);
  }
  EXPECT_EQ(0, starterctl(ctl("status")).status) << host_->stderr_text();
  stop();
}

TEST(ControlLoop, StatusAnswersWithinASecondWhateverHoldsTheLoopAndSaysWhere)
{
  // Service C's first timer callback blocks for 2.5 s; H beside it, from another library, is
  // healthy.
  // On a single-threaded loop the host logs the stall naming C, and status (on the control
  // socket's own thread) shows it; with a pool, another thread keeps the loop going. The last
  // row but one holds 1,100 descriptors: the control connection's number is past the select
  // kind's; the last has no watch.
  struct Row
  {
    std::vector<std::string> args;
    bool stalls;
    const char* probe;  ///< H's options
  } const rows[] = {
      {{}, true, ""},
      {{"--reactor", "select"}, true, ""},
      {{"--reactor", "priority"}, true, ""},
      {{"--reactor", "dev_poll"}, true, ""},
      {{"--reactor", "tp", "--threads", "2"}, false, ""},
      {{}, true, "-O 1100"},
      {{"--stall-warning", "0"}, false, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE((row.args.empty() ? "default" : row.args[1]) + " " + row.probe);
    Temp_Dir d;
    std::string const rec = d / "rec";
    std::string const conf = d.write("c.conf", probe_line("H", rec, row.probe) +
        "dynamic C Service_Object * " PROBE_SERVICE_V2_LIBRARY ":_make_Probe_Service() \"-o " +
        rec + " -n C -t 100 -r 2500\"\n");
    std::vector<std::string> args = row.args;
    args.insert(args.end(), {"--control", d / "sock", "-f", conf});
    Host_Process h;
    ASSERT_TRUE(h.start(args));
    ASSERT_TRUE(wait_for_file(rec, "timeout C")) << h.stderr_text();
    if (row.stalls) {
      ASSERT_TRUE(h.wait_for_stderr("The loop has not returned for 1.")) << h.stderr_text();
    }
    auto const asked = std::chrono::steady_clock::now();
    Ctl const c = starterctl("--control " + d / "sock" + " status");
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1)) << c.out;
    EXPECT_EQ(0, c.status) << c.out;
    EXPECT_NE(std::string::npos, c.out.find("\nH ")) << c.out;
    EXPECT_EQ(row.stalls ? 1u : 0u, count_of(c.out, "\nloop busy ")) << c.out;
    if (row.stalls) {
      EXPECT_EQ(1u, count_of(c.out, "libprobe_service_v2.so, which serves C\n")) << c.out;
      EXPECT_EQ(1u, count_of(h.stderr_text(), "libprobe_service_v2.so, which serves C\n"))
          << h.stderr_text();
      EXPECT_TRUE(h.wait_for_stderr("The loop is free again: it was held ")) << h.stderr_text();
    }
    ASSERT_TRUE(h.send(SIGTERM));
    ASSERT_TRUE(h.wait_exit());
    EXPECT_FALSE(exists(d / "sock")) << h.stderr_text();
  }
}

// Stalls one after the other (C holds the loop 1.3 s in each callback, 1.5 s apart): one
// warning per stall, naming C and the loop's thread, and one record when it ends; H is named
// in none, not even while its fini holds the stop 1.6 s, the watch being over by then.
TEST(StallWatch, OneWarningPerStallNamingTheServiceAndTheThread)
{
  for (const char* reactor : {"", "select"}) {
    SCOPED_TRACE(*reactor != 0 ? reactor : "default");
    Temp_Dir d;
    std::string const rec = d / "rec";
    std::string const conf = d.write("c.conf", probe_line("H", rec, "-B 1600") +
        "dynamic C Service_Object * " PROBE_SERVICE_V2_LIBRARY ":_make_Probe_Service() \"-o " +
        rec + " -n C -t 1500 -s 1300\"\n");
    std::vector<std::string> args{"-f", conf};
    if (*reactor != 0)
      args.insert(args.begin(), {"--reactor", reactor});
    Host_Process h;
    ASSERT_TRUE(h.start(args));
    ASSERT_TRUE(h.wait_for_stderr("The loop is free again", std::chrono::seconds(20), 3))
        << h.stderr_text();
    ASSERT_TRUE(h.send(SIGTERM));
    ASSERT_TRUE(h.wait_exit());
    EXPECT_EQ(0, h.exit_code());
    std::string const err = h.stderr_text();
    size_t const stop = err.find("Signal 15");
    ASSERT_NE(std::string::npos, stop) << err;
    EXPECT_EQ(0u, count_of(err.substr(stop), "The loop ")) << err;
    size_t const warnings = count_of(err, "The loop has not returned for ");
    size_t const frees = count_of(err, "The loop is free again: it was held 1.");
    EXPECT_GE(frees, 3u) << err;
    EXPECT_LE(warnings, frees + 1) << "more than one warning a stall\n" << err;
    std::string const thread = " by [starter] (thread " + std::to_string(h.pid()) + ")";
    EXPECT_EQ(warnings + frees, count_of(err, thread)) << err;
    EXPECT_EQ(warnings + frees, count_of(err, "libprobe_service_v2.so, which serves C\n")) << err;
    EXPECT_EQ(0u, count_of(err, "which serves H")) << err;
  }
}

}  // namespace
