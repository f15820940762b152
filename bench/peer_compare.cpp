// The host side by side with ACE's own host (ace_netsvcs) on the same netsvcs services: the
// time service and the logging service on free loopback ports, 1 to 1,000 time services, a
// configuration file of up to 48 MB, and the host's reload. Runs alternate between the sides
// (the host, the peer and, when given, a baseline build of the host), and every figure prints
// min/median/max per side and the ratio of the medians to the peer's. Traffic goes to loopback
// only; every wait is bounded in count and in time.
//
//   peer_compare [--quick] [--runs N] [--large-runs N] [--services N,N,..] [--large-mb N,N,..]
//                [--conf-files N] [--host PATH] [--peer PATH] [--baseline PATH]
//                [--only start|conf|traffic|services|large|reload]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <ace/CDR_Stream.h>
#include <ace/Log_Record.h>
#include <ace/Time_Value.h>
#include <netsvcs/Time_Request_Reply.h>

extern char** environ;

namespace {

typedef std::chrono::steady_clock Clock;

double ms_between(Clock::time_point a, Clock::time_point b)
{
  return std::chrono::duration<double, std::milli>(b - a).count();
}

struct Options
{
  int runs = 31;
  int large_runs = 9;  ///< for the large configuration files, whose runs take seconds
  int conf_files = 10000;
  std::vector<int> services = {1, 100, 1000};
  /// Files of this many MiB in all; the host refuses a file over 16 MiB.
  std::vector<int> large_mb = {1, 16};
  int round_trips = 20000;  ///< per measurement, shared among its connections
  int records = 40000;      ///< per measurement, shared among its connections
  std::string host = STARTER_BINARY;
  std::string peer = "/usr/bin/ace_netsvcs";
  std::string baseline;  ///< another build of the host, run as a third side; empty for none
  std::string only;  ///< one group of figures (see the usage); empty for all

  bool wants(const char* group) const { return only.empty() || only == group; }
};

/// Why a run failed; the program stops with it, killing what it started.
void fail(const std::string& what)
{
  std::fprintf(stderr, "peer_compare: %s\n", what.c_str());
  std::exit(1);
}

// ---- Processes.

struct Child
{
  pid_t pid = -1;
  int err = -1;  ///< read end of its standard error, when captured
};

std::vector<pid_t> g_children;

void kill_children()
{
  for (pid_t pid : g_children)
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  g_children.clear();
}

/// Starts @a argv with the environment of this process, LIBSYSTEMD_FILENAME set to @a libsystemd
/// (unset when null); standard error goes to a pipe when @a capture, else to /dev/null.
Child spawn(const std::vector<std::string>& argv, const char* libsystemd, bool capture)
{
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e)
    if (std::strncmp(*e, "LIBSYSTEMD_FILENAME=", 20) != 0)
      env_text.push_back(*e);
  if (libsystemd != nullptr)
    env_text.push_back(std::string("LIBSYSTEMD_FILENAME=") + libsystemd);
  std::vector<char*> envp;
  for (std::string& s : env_text)
    envp.push_back(&s[0]);
  envp.push_back(nullptr);
  std::vector<char*> args;
  for (const std::string& s : argv)
    args.push_back(const_cast<char*>(s.c_str()));
  args.push_back(nullptr);

  int fds[2] = {-1, -1};
  if (capture && ::pipe2(fds, O_CLOEXEC) != 0)
    fail("pipe failed");
  int const null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  Child c;
  c.pid = ::fork();
  if (c.pid == 0) {
    ::dup2(null_fd, 0);
    ::dup2(null_fd, 1);
    ::dup2(capture ? fds[1] : null_fd, 2);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(null_fd);
  if (capture) {
    ::close(fds[1]);
    c.err = fds[0];
  }
  if (c.pid < 0)
    fail("fork failed");
  g_children.push_back(c.pid);
  return c;
}

/// Sends @a sig and waits for the exit; false when it does not come within 30 s. The wait
/// sleeps on a process descriptor: polling would take a core from the process that is stopping.
/// @a cpu_ms, when given, receives the processor time the child used in all, user and system.
bool stop_child(Child& c, int sig, double* cpu_ms = nullptr)
{
  int const pidfd = static_cast<int>(::syscall(SYS_pidfd_open, c.pid, 0));
  ::kill(c.pid, sig);
  pollfd p = {pidfd, POLLIN, 0};
  if (pidfd != -1)
    ::poll(&p, 1, 30000);
  rusage ru = {};
  bool const exited = ::wait4(c.pid, nullptr, pidfd != -1 ? WNOHANG : 0, &ru) == c.pid;
  if (cpu_ms != nullptr)
    *cpu_ms = (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
              (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
  if (pidfd != -1)
    ::close(pidfd);
  if (!exited) {
    ::kill(c.pid, SIGKILL);
    ::waitpid(c.pid, nullptr, 0);
  }
  g_children.erase(std::remove(g_children.begin(), g_children.end(), c.pid), g_children.end());
  if (c.err != -1)
    ::close(c.err);
  c = Child();
  return exited;
}

/// Resident set of @a pid in KiB from /proc; -1 when unreadable.
double vm_rss_kib(pid_t pid)
{
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, 6, "VmRSS:") == 0)
      return std::atof(line.c_str() + 6);
  return -1;
}

// ---- Sockets and the two protocols.

/// A loopback port nobody listens on right now.
unsigned short free_port()
{
  int const fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd == -1 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    fail("no free port");
  ::close(fd);
  return ntohs(a.sin_port);
}

/// A connected socket to the loopback @a port, or -1 with errno.
int connect_to(unsigned short port)
{
  int const fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    int const e = errno;
    ::close(fd);
    errno = e;
    return -1;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval tv = {10, 0};  // no read waits longer than this
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

/// Polls until @a c accepts on @a port; the connection, or -1 when @a c died or @a seconds
/// passed.
int wait_accepting(const Child& c, unsigned short port, int seconds = 10)
{
  Clock::time_point const deadline = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < deadline) {
    int const fd = connect_to(port);
    if (fd != -1)
      return fd;
    if (::waitpid(c.pid, nullptr, WNOHANG) == c.pid) {
      g_children.erase(std::remove(g_children.begin(), g_children.end(), c.pid),
                       g_children.end());
      return -1;
    }
    ::usleep(100);
  }
  return -1;
}

bool write_all(int fd, const char* p, size_t n)
{
  while (n > 0) {
    ssize_t const w = ::send(fd, p, n, MSG_NOSIGNAL);
    if (w <= 0)
      return false;
    p += w, n -= static_cast<size_t>(w);
  }
  return true;
}

bool read_all(int fd, char* p, size_t n)
{
  while (n > 0) {
    ssize_t const r = ::recv(fd, p, n, 0);
    if (r <= 0)
      return false;
    p += r, n -= static_cast<size_t>(r);
  }
  return true;
}

/// One request to the time service and its reply.
bool time_round_trip(int fd)
{
  ACE_Time_Request request(ACE_Time_Request::TIME_UPDATE, 0);
  void* buf = nullptr;
  int const len = request.encode(buf);
  char reply[sizeof(ACE_Time_Request) + 64];
  return len > 0 && static_cast<size_t>(len) <= sizeof reply &&
         write_all(fd, static_cast<const char*>(buf), static_cast<size_t>(len)) &&
         read_all(fd, reply, static_cast<size_t>(len));
}

const char RECORD_MARK[] = "peer-compare-record";

/// @a n log records in the logging service's framing, back to back.
std::string encoded_records(int n)
{
  ACE_Log_Record record(LM_INFO, ACE_Time_Value(1), 1);
  record.msg_data(RECORD_MARK);
  ACE_OutputCDR payload;
  payload << record;
  ACE_OutputCDR header(ACE_CDR::MAX_ALIGNMENT + 8);
  header << ACE_OutputCDR::from_boolean(ACE_CDR_BYTE_ORDER);
  header << ACE_CDR::ULong(payload.total_length());
  std::string one(header.begin()->rd_ptr(), 8);
  for (const ACE_Message_Block* b = payload.begin(); b != nullptr; b = b->cont())
    one.append(b->rd_ptr(), b->length());
  std::string all;
  for (int i = 0; i < n; ++i)
    all += one;
  return all;
}

/// Counts the times @a mark appears in what a server prints on its standard error (the records
/// a logging service printed, the host's reload records).
class Record_Counter
{
public:
  Record_Counter(int fd, const char* mark) : fd_(fd), mark_(mark), thread_([this] { run(); }) {}
  ~Record_Counter() { thread_.join(); }  // ends when the writer's end closes
  long count() const { return count_.load(); }

private:
  void run()
  {
    std::string carry;
    char buf[65536];
    for (ssize_t n; (n = ::read(fd_, buf, sizeof buf)) > 0;) {
      carry.append(buf, static_cast<size_t>(n));
      long found = 0;
      size_t pos = 0;
      for (size_t at; (at = carry.find(mark_, pos)) != std::string::npos;)
        ++found, pos = at + mark_.size();
      size_t const keep = mark_.size() - 1;
      carry.erase(0, std::max(pos, carry.size() > keep ? carry.size() - keep : 0));
      count_ += found;
    }
  }
  int fd_;
  std::string const mark_;
  std::atomic<long> count_{0};
  std::thread thread_;
};

// ---- Figures.

/// The programs compared: the host, the peer and, optionally, a baseline build of the host.
struct Side
{
  std::string label;
  std::string binary;
  bool is_host;        ///< takes the host's options and reloads on SIGHUP
  bool reload_option;  ///< knows --reload all|changed
};

std::vector<Side> g_sides;

enum { HOST = 0, PEER = 1, BASELINE = 2 };

struct Figure
{
  std::string name;
  std::string unit;
  bool higher_is_better;
  std::vector<std::vector<double>> v;  ///< per side, as g_sides

  Figure(std::string n, std::string u, bool higher = false)
      : name(std::move(n)), unit(std::move(u)), higher_is_better(higher), v(g_sides.size())
  {
  }
};

double median(std::vector<double> v)
{
  if (v.empty())
    return 0;
  std::sort(v.begin(), v.end());
  size_t const n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

/// Three significant figures or more, never an exponent.
std::string number(double v)
{
  char b[32];
  std::snprintf(b, sizeof b, v >= 1000 ? "%.0f" : v >= 100 ? "%.1f" : "%.3f", v);
  return b;
}

std::string span(const std::vector<double>& v)
{
  if (v.empty())
    return "-";
  return number(*std::min_element(v.begin(), v.end())) + "/" + number(median(v)) + "/" +
         number(*std::max_element(v.begin(), v.end()));
}

std::string ratio(const std::vector<double>& a, const std::vector<double>& b)
{
  if (a.empty() || b.empty() || median(b) == 0)
    return "-";
  char r[32];
  std::snprintf(r, sizeof r, "%.3f", median(a) / median(b));
  return r;
}

/// One table: each side's min/median/max and, per side other than the peer, the ratio of its
/// median to the peer's ("-" where the peer has no such figure).
void print_table(const char* title, const std::vector<Figure>& figures)
{
  bool any = false;
  for (const Figure& f : figures)
    for (const std::vector<double>& v : f.v)
      any = any || !v.empty();
  if (!any)
    return;
  std::printf("\n%s\n%-54s %-5s", title, "figure", "unit");
  for (const Side& s : g_sides)
    std::printf(" %28s", (s.label + " min/median/max").c_str());
  for (size_t i = 0; i < g_sides.size(); ++i)
    if (i != PEER)
      std::printf(" %9s", (g_sides[i].label + "/peer").c_str());
  std::printf("\n");
  for (const Figure& f : figures) {
    bool measured = false;
    for (const std::vector<double>& v : f.v)
      measured = measured || !v.empty();
    if (!measured)
      continue;
    std::printf("%-54s %-5s", (f.name + (f.higher_is_better ? " (more is better)" : "")).c_str(),
                f.unit.c_str());
    for (const std::vector<double>& v : f.v)
      std::printf(" %28s", span(v).c_str());
    for (size_t i = 0; i < g_sides.size(); ++i)
      if (i != PEER)
        std::printf(" %9s", ratio(f.v[i], f.v[PEER]).c_str());
    std::printf("\n");
  }
}

/// The order in which run @a run visits the sides: each side goes first in turn.
std::vector<size_t> side_order(int run)
{
  std::vector<size_t> order;
  for (size_t k = 0; k < g_sides.size(); ++k)
    order.push_back((static_cast<size_t>(run) + k) % g_sides.size());
  return order;
}

// ---- Configurations.

std::string g_work_dir;

std::string service_line_time(unsigned short port, int index = 0)
{
  return "dynamic Time_Service" + (index > 0 ? "_" + std::to_string(index) : std::string()) +
         " Service_Object * netsvcs:_make_ACE_TS_Server_Acceptor() \"-p " + std::to_string(port) +
         "\"\n";
}

std::string service_line_logger(unsigned short port)
{
  return "dynamic Logger Service_Object * netsvcs:_make_ACE_Server_Logging_Acceptor() \"-p " +
         std::to_string(port) + "\"\n";
}

/// @a comment_bytes of comment lines, then one time service per port of @a ports.
std::string time_services_conf(const std::vector<unsigned short>& ports, size_t comment_bytes = 0)
{
  static const std::string comment =
      "# a comment line of the size operators write, kept for the record of a change\n";
  std::string text;
  text.reserve(comment_bytes + ports.size() * 100);
  while (text.size() + comment.size() <= comment_bytes)
    text += comment;
  for (size_t i = 0; i < ports.size(); ++i)
    text += service_line_time(ports[i], static_cast<int>(i));
  return text;
}

/// The comments of a file of @a mb MiB in all with one service line after them.
size_t comment_bytes_of(int mb)
{
  return (static_cast<size_t>(mb) << 20) - 200;
}

void write_file(const std::string& path, const std::string& text)
{
  std::ofstream out(path, std::ios::trunc);
  out << text;
  if (!out.flush())
    fail("cannot write " + path);
}

/// @a n distinct loopback ports nobody listens on: all are held until all are chosen.
std::vector<unsigned short> free_ports(size_t n)
{
  std::vector<int> fds;
  std::vector<unsigned short> ports;
  for (size_t i = 0; i < n; ++i) {
    int const fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd == -1 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      fail("no free port");
    fds.push_back(fd);
    ports.push_back(ntohs(a.sin_port));
  }
  for (int fd : fds)
    ::close(fd);
  return ports;
}

// ---- Start-up and stop.

/// How long after the first reply the settled RSS is read.
const int SETTLE_MS = 1200;

/// The figures one start of a server gives: spawn to accepting, to the first reply, idle RSS,
/// stop signal to exit, processor time.
struct Start_Figures
{
  double accepting, reply, rss, stop, cpu;
  double settled_rss;  ///< @a settle_ms after the first reply; 0 when not asked for
};

/// Starts @a args and takes its start-up figures once the time service on @a port (the last
/// the configuration opens) accepts and replies, then stops it.
/// With @a settle_ms, the RSS is read again that long after the first reply: the host lets go
/// of its start-up's pages a second after its loop runs, out of the first clients' way.
Start_Figures start_and_stop(const std::vector<std::string>& args, unsigned short port,
                             const char* libsystemd, int wait_seconds = 10, int settle_ms = 0)
{
  Start_Figures f = {};
  Clock::time_point const t0 = Clock::now();
  Child c = spawn(args, libsystemd, false);
  int const fd = wait_accepting(c, port, wait_seconds);
  if (fd == -1)
    fail(args[0] + " did not accept on port " + std::to_string(port));
  Clock::time_point const t1 = Clock::now();
  if (!time_round_trip(fd))
    fail(args[0] + " sent no time reply");
  Clock::time_point const t2 = Clock::now();
  ::close(fd);
  f.accepting = ms_between(t0, t1);
  f.reply = ms_between(t0, t2);
  f.rss = vm_rss_kib(c.pid) / 1024.0;
  if (settle_ms > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(settle_ms));
    f.settled_rss = vm_rss_kib(c.pid) / 1024.0;
  }
  Clock::time_point const t3 = Clock::now();
  // The peer stops on SIGINT only; the host takes it as a stop as well.
  if (!stop_child(c, SIGINT, &f.cpu))
    fail(args[0] + " did not stop within 30 s of SIGINT");
  f.stop = ms_between(t3, Clock::now());
  return f;
}

/// Start-up, stop and idle RSS with both services configured; the host also once with systemd's
/// client library loaded (as it runs by default).
void run_startup(int run, std::vector<Figure>& figs)
{
  for (size_t side : side_order(run)) {
    const Side& s = g_sides[side];
    unsigned short const tport = free_port(), lport = free_port();
    std::string const conf = g_work_dir + "/services.conf";
    write_file(conf, service_line_logger(lport) + service_line_time(tport));
    std::vector<std::string> const args = {s.binary, "-f", conf};
    Start_Figures const f = start_and_stop(args, tport, "0", 10, SETTLE_MS);
    figs[6].v[side].push_back(f.settled_rss);
    figs[0].v[side].push_back(f.accepting);
    figs[1].v[side].push_back(f.reply);
    figs[3].v[side].push_back(f.stop);
    figs[4].v[side].push_back(f.rss);
    figs[5].v[side].push_back(f.cpu);
    figs[2].v[side].push_back(s.is_host ? start_and_stop(args, tport, nullptr).reply : f.reply);
  }
}

/// Start-up, stop, RSS and processor time with @a n time services (start-up ends with a reply
/// from the last, which the Service Configurator opens after all others).
void run_services(int run, int n, std::vector<Figure>& figs)
{
  for (size_t side : side_order(run)) {
    std::vector<unsigned short> const ports = free_ports(static_cast<size_t>(n));
    std::string const conf = g_work_dir + "/many.conf";
    write_file(conf, time_services_conf(ports));
    bool const settle = figs.size() > 4;
    Start_Figures const f = start_and_stop({g_sides[side].binary, "-f", conf}, ports.back(),
                                           "0", 60, settle ? SETTLE_MS : 0);
    figs[0].v[side].push_back(f.reply);
    figs[1].v[side].push_back(f.stop);
    figs[2].v[side].push_back(f.rss);
    figs[3].v[side].push_back(f.cpu);
    if (settle)
      figs[4].v[side].push_back(f.settled_rss);
  }
}

/// Start-up, stop and processor time with one configuration file of @a mb MiB of comments and
/// one time service at its end.
void run_large(int run, int mb, std::vector<Figure>& figs)
{
  std::string const conf = g_work_dir + "/large.conf";
  for (size_t side : side_order(run)) {
    std::vector<unsigned short> const ports = free_ports(1);
    write_file(conf, time_services_conf(ports, comment_bytes_of(mb)));
    Start_Figures const f =
        start_and_stop({g_sides[side].binary, "-f", conf}, ports.back(), "0", 300);
    figs[0].v[side].push_back(f.reply);
    figs[1].v[side].push_back(f.stop);
    figs[2].v[side].push_back(f.rss);
    figs[3].v[side].push_back(f.cpu);
  }
}

/// A directory of @a n comment files and one service file; returns the sorted file list.
std::vector<std::string> make_conf_dir(const std::string& dir, int n)
{
  ::mkdir(dir.c_str(), 0700);
  std::vector<std::string> files;
  for (int i = 0; i < n; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/c%05d.conf", i);
    write_file(dir + name, "# nothing to load here\n");
    files.push_back(dir + name);
  }
  files.push_back(dir + "/zz-services.conf");
  return files;
}

/// The floor of a conf directory's start-up: listing and sorting its files, no file read.
std::vector<double> g_conf_floor;

/// Runs "find DIR -name '*.conf' | sort" to /dev/null; milliseconds from spawn to its end.
double find_sort_ms(const std::string& dir)
{
  Clock::time_point const t0 = Clock::now();
  Child c = spawn({"/bin/sh", "-c", "find '" + dir + "' -name '*.conf' | LC_ALL=C sort"}, nullptr,
                  false);
  int status = 0;
  ::waitpid(c.pid, &status, 0);
  g_children.erase(std::remove(g_children.begin(), g_children.end(), c.pid), g_children.end());
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    fail("find | sort failed");
  return ms_between(t0, Clock::now());
}

void run_conf_dir(int run, const std::string& dir, const std::vector<std::string>& files,
                  Figure& fig, Figure& cpu)
{
  g_conf_floor.push_back(find_sort_ms(dir));
  for (size_t side : side_order(run)) {
    const Side& s = g_sides[side];
    unsigned short const tport = free_port();
    write_file(files.back(), service_line_time(tport));
    std::vector<std::string> args = {s.binary};
    if (s.is_host) {
      args.push_back("-f");
      args.push_back(dir);
    } else {
      for (const std::string& f : files) {
        args.push_back("-f");
        args.push_back(f);
      }
    }
    Start_Figures const f = start_and_stop(args, tport, "0");
    fig.v[side].push_back(f.reply);
    cpu.v[side].push_back(f.cpu);
  }
}

// ---- Traffic.

/// A server started once for the traffic figures.
struct Server
{
  Child child;
  unsigned short tport = 0, lport = 0;
  Record_Counter* records = nullptr;
};

Server start_server(const std::string& binary, const std::string& conf)
{
  Server s;
  s.tport = free_port();
  s.lport = free_port();
  write_file(conf, service_line_logger(s.lport) + service_line_time(s.tport));
  s.child = spawn({binary, "-f", conf}, "0", true);
  s.records = new Record_Counter(s.child.err, RECORD_MARK);
  int const fd = wait_accepting(s.child, s.tport);
  if (fd == -1)
    fail(binary + " did not start");
  ::close(fd);
  return s;
}

void stop_server(Server& s)
{
  ::kill(s.child.pid, SIGINT);
  ::waitpid(s.child.pid, nullptr, 0);  // the counter ends when the pipe closes
  g_children.erase(std::remove(g_children.begin(), g_children.end(), s.child.pid),
                   g_children.end());
  delete s.records;
  ::close(s.child.err);
}

/// Runs @a body(fd, share) on @a conns connections to @a port at once, each with its share of
/// @a total. Each connection is opened only after @a accepted(fd) has seen the server take
/// the one before: the services listen with a backlog of 5, and a connection beyond it costs
/// a second's retry.
/// Returns when the last one finished, with the common start in @a start.
template <class Accepted, class Body>
void on_connections(Clock::time_point& start, unsigned short port, int conns, int total, Accepted accepted, Body body)
{
  std::vector<int> fds;
  for (int i = 0; i < conns; ++i) {
    int const fd = connect_to(port);
    if (fd == -1)
      fail("cannot connect to port " + std::to_string(port));
    fds.push_back(fd);
    if (!accepted(fd))
      fail("the server on port " + std::to_string(port) + " did not serve a connection");
  }
  std::atomic<int> ready(0);
  std::atomic<bool> go(false);
  std::vector<std::thread> threads;
  for (int i = 0; i < conns; ++i)
    threads.emplace_back([&, i] {
      ++ready;
      while (!go.load())
        std::this_thread::yield();
      if (!body(fds[i], total / conns + (i < total % conns ? 1 : 0)))
        fail("traffic on port " + std::to_string(port) + " failed");
    });
  while (ready.load() != conns)
    std::this_thread::yield();
  start = Clock::now();
  go = true;
  for (std::thread& t : threads)
    t.join();
  for (int fd : fds)
    ::close(fd);
}

double round_trips_per_s(const Server& s, int conns, int total)
{
  auto accepted = [](int fd) { return time_round_trip(fd); };
  Clock::time_point t0;
  on_connections(t0, s.tport, conns, total, accepted, [](int fd, int n) {
    for (int i = 0; i < n; ++i)
      if (!time_round_trip(fd))
        return false;
    return true;
  });
  return total / std::chrono::duration<double>(Clock::now() - t0).count();
}

/// Records per second from the first write until the service printed the last of them.
double records_per_s(const Server& s, int conns, int total)
{
  const int batch = 50;
  std::string const block = encoded_records(batch);
  std::string const one = encoded_records(1);
  long before = 0;
  auto accepted = [&](int fd) {
    long const want = s.records->count() + 1;
    if (!write_all(fd, one.data(), one.size()))
      return false;
    Clock::time_point const deadline = Clock::now() + std::chrono::seconds(10);
    while (s.records->count() < want && Clock::now() < deadline)
      ::usleep(50);
    before = s.records->count();
    return before >= want;
  };
  Clock::time_point t0;
  on_connections(t0, s.lport, conns, total, accepted, [&](int fd, int n) {
    for (; n >= batch; n -= batch)
      if (!write_all(fd, block.data(), block.size()))
        return false;
    for (; n > 0; --n)
      if (!write_all(fd, one.data(), one.size()))
        return false;
    return true;
  });
  Clock::time_point const deadline = Clock::now() + std::chrono::seconds(30);
  while (s.records->count() < before + total && Clock::now() < deadline)
    ::usleep(50);
  if (s.records->count() < before + total)
    fail("the logging service printed " + std::to_string(s.records->count() - before) + " of " +
         std::to_string(total) + " records");
  return total / std::chrono::duration<double>(Clock::now() - t0).count();
}

void run_traffic(const Options& o, std::vector<Figure>& figs)
{
  std::vector<Server> servers;
  for (size_t side = 0; side < g_sides.size(); ++side)
    servers.push_back(start_server(g_sides[side].binary,
                                   g_work_dir + "/traffic" + std::to_string(side) + ".conf"));
  const int conns[] = {1, 4, 16};
  // Warm them up, so the first measured run pays no first-touch costs.
  for (Server& s : servers) {
    round_trips_per_s(s, 1, 50);
    records_per_s(s, 1, 50);
  }
  for (int run = 0; run < o.runs; ++run)
    for (size_t side : side_order(run))
      for (int c = 0; c < 3; ++c) {
        figs[c].v[side].push_back(round_trips_per_s(servers[side], conns[c], o.round_trips));
        figs[3 + c].v[side].push_back(records_per_s(servers[side], conns[c], o.records));
      }
  for (Server& s : servers)
    stop_server(s);
}

// ---- Reloads (the host's; the peer does not reload on SIGHUP).

/// A host serving time services, its reload records counted from its standard error.
struct Reloading_Host
{
  Child child;
  Record_Counter* reloads = nullptr;
  std::string conf;
  std::vector<unsigned short> ports;  ///< as configured now
  unsigned short spare = 0;           ///< the last service's other port
  size_t comment_bytes = 0;
};

/// Starts side @a side with a time service on each of @a ports but the last (the spare) after
/// @a comment_bytes of comments, with "--reload @a mode" when @a mode is not empty.
Reloading_Host start_reloading(size_t side, std::vector<unsigned short> ports,
                               size_t comment_bytes, const std::string& mode)
{
  Reloading_Host h;
  h.conf = g_work_dir + "/reload" + std::to_string(side) + mode + ".conf";
  h.ports = std::move(ports);
  h.spare = h.ports.back();
  h.ports.pop_back();
  h.comment_bytes = comment_bytes;
  write_file(h.conf, time_services_conf(h.ports, comment_bytes));
  std::vector<std::string> args = {g_sides[side].binary};
  if (!mode.empty()) {
    args.push_back("--reload");
    args.push_back(mode);
  }
  args.push_back("-f");
  args.push_back(h.conf);
  h.child = spawn(args, "0", true);
  h.reloads = new Record_Counter(h.child.err, "Reload");
  int const fd = wait_accepting(h.child, h.ports.back(), 300);
  if (fd == -1)
    fail(g_sides[side].binary + " did not start");
  ::close(fd);
  return h;
}

void stop_reloading(Reloading_Host& h)
{
  ::kill(h.child.pid, SIGINT);
  ::waitpid(h.child.pid, nullptr, 0);
  g_children.erase(std::remove(g_children.begin(), g_children.end(), h.child.pid),
                   g_children.end());
  delete h.reloads;
  ::close(h.child.err);
}

/// One reload of @a h: the last service moves to its other port when @a change, then SIGHUP.
/// @a record gets the time to the reload record, @a answering the time until the last port
/// (it opens last) answered a time request and every other one accepted.
void reload_once(Reloading_Host& h, bool change, double& record, double& answering)
{
  if (change) {
    std::swap(h.ports.back(), h.spare);
    write_file(h.conf, time_services_conf(h.ports, h.comment_bytes));
  }
  long const before = h.reloads->count();
  Clock::time_point const t0 = Clock::now();
  ::kill(h.child.pid, SIGHUP);
  Clock::time_point const deadline = t0 + std::chrono::seconds(300);
  while (h.reloads->count() == before && Clock::now() < deadline)
    ::usleep(50);
  if (h.reloads->count() == before)
    fail("no reload record within 300 s");
  record = ms_between(t0, Clock::now());
  // The last service, which opens last, replies; every other port is seen accepting. A select
  // reactor of 1,000 services has about 17 descriptors below FD_SETSIZE to spare: while the
  // host has yet to close the connections the previous pass left, a new one can be numbered
  // past what the reactor can watch, and the service closes it unanswered. So the reply is
  // asked again (the time counts every try) before the port is said not to answer.
  for (size_t i = h.ports.size(); i-- > 0;) {
    bool const last = i + 1 == h.ports.size();
    int fd = wait_accepting(h.child, h.ports[i], 30);
    for (int tries = 1; fd != -1 && last && !time_round_trip(fd); ++tries) {
      ::close(fd);
      fd = tries < 20 ? wait_accepting(h.child, h.ports[i], 30) : -1;
    }
    if (fd == -1)
      fail("port " + std::to_string(h.ports[i]) + " does not answer after a reload (" + h.conf +
           ", " + std::to_string(h.ports.size()) + " services)");
    ::close(fd);
  }
  answering = ms_between(t0, Clock::now());
}

/// The reload figures of a configuration of @a n services after @a comment_bytes of comments:
/// with --reload all (or the plain SIGHUP reload of a host without the option) the last
/// service moved each time; with --reload changed, nothing changed and one service moved.
/// Figures: all (record, answering), changed-nothing (same), changed-one (same).
void run_reloads(const Options& o, int n, size_t comment_bytes, int runs, std::vector<Figure>& figs)
{
  struct Mode
  {
    std::string option;
    bool change;
    size_t figure;
  };
  for (const Mode& m : {Mode{"all", true, 0}, Mode{"changed", false, 2}, Mode{"changed", true, 4}}) {
    std::vector<Reloading_Host> hosts(g_sides.size());
    std::vector<bool> running(g_sides.size(), false);
    // The ports of all sides are chosen at once: a side's spare port is not bound until its
    // first reload, and no other side may take it meanwhile.
    size_t const per_side = static_cast<size_t>(n) + 1;
    std::vector<unsigned short> const ports = free_ports(per_side * g_sides.size());
    for (size_t side = 0; side < g_sides.size(); ++side) {
      const Side& s = g_sides[side];
      if (!s.is_host || (m.option == "changed" && !s.reload_option))
        continue;
      std::vector<unsigned short> mine(ports.begin() + static_cast<std::ptrdiff_t>(side * per_side),
                                       ports.begin() + static_cast<std::ptrdiff_t>((side + 1) * per_side));
      hosts[side] = start_reloading(side, std::move(mine), comment_bytes,
                                    s.reload_option ? m.option : "");
      running[side] = true;
    }
    for (int run = 0; run < runs; ++run)
      for (size_t side : side_order(run)) {
        if (!running[side])
          continue;
        double record = 0, answering = 0;
        reload_once(hosts[side], m.change, record, answering);
        figs[m.figure].v[side].push_back(record);
        figs[m.figure + 1].v[side].push_back(answering);
      }
    for (size_t side = 0; side < g_sides.size(); ++side)
      if (running[side])
        stop_reloading(hosts[side]);
  }
  (void)o;
}

std::vector<Figure> reload_figures(const std::string& what)
{
  return {Figure("reload all, " + what + ": SIGHUP -> reload record", "ms"),
          Figure("reload all, " + what + ": SIGHUP -> every port answering", "ms"),
          Figure("reload changed, nothing changed, " + what + ": -> record", "ms"),
          Figure("reload changed, nothing changed, " + what + ": -> answering", "ms"),
          Figure("reload changed, one changed, " + what + ": -> record", "ms"),
          Figure("reload changed, one changed, " + what + ": -> answering", "ms")};
}

/// Whether @a binary names the option "--reload MODE" (not "--reload-wait") in its help text.
bool knows_reload_option(const std::string& binary)
{
  std::string const cmd = "'" + binary + "' --help 2>&1";
  FILE* const p = ::popen(cmd.c_str(), "r");
  if (p == nullptr)
    return false;
  std::string text;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
    text.append(buf, n);
  ::pclose(p);
  for (size_t at = 0; (at = text.find("--reload", at)) != std::string::npos; at += 8)
    if (at + 8 < text.size() && (text[at + 8] == ' ' || text[at + 8] == '='))
      return true;
  return false;
}

void remove_work_dir(const std::vector<std::string>& files)
{
  for (const std::string& f : files)
    ::unlink(f.c_str());
  std::string const cmd = "rm -rf '" + g_work_dir + "'";
  if (std::system(cmd.c_str()) != 0)
    std::fprintf(stderr, "peer_compare: cannot remove %s\n", g_work_dir.c_str());
}

std::vector<int> int_list(const char* text)
{
  std::vector<int> v;
  std::stringstream in(text);
  for (std::string item; std::getline(in, item, ',');)
    if (!item.empty())
      v.push_back(std::max(1, std::atoi(item.c_str())));
  return v;
}

}  // namespace

/// The figures of one start-to-stop run, the first named @a start, the rest after the same
/// subject (the text of @a start before its ':').
static std::vector<Figure> start_stop_figures(const std::string& start)
{
  std::string const what = start.substr(0, start.find(':'));
  return {Figure(start, "ms"), Figure(what + ": SIGINT -> exit", "ms"),
          Figure(what + ": idle VmRSS", "MiB"),
          Figure(what + ": processor time, start to exit", "ms")};
}

int main(int argc, char** argv)
{
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string const a = argv[i];
    bool const has_value = i + 1 < argc;
    if (a == "--quick") {
      o.runs = 3, o.large_runs = 1, o.conf_files = 200, o.round_trips = 64, o.records = 64;
      o.services = {1, 10};
      o.large_mb = {1};
    } else if (a == "--runs" && has_value) {
      o.runs = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--large-runs" && has_value) {
      o.large_runs = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--services" && has_value) {
      o.services = int_list(argv[++i]);
    } else if (a == "--large-mb" && has_value) {
      o.large_mb = int_list(argv[++i]);
    } else if (a == "--conf-files" && has_value) {
      o.conf_files = std::max(0, std::atoi(argv[++i]));
    } else if (a == "--only" && has_value) {
      o.only = argv[++i];
    } else if (a == "--host" && has_value) {
      o.host = argv[++i];
    } else if (a == "--peer" && has_value) {
      o.peer = argv[++i];
    } else if (a == "--baseline" && has_value) {
      o.baseline = argv[++i];
    } else {
      std::fprintf(stderr, "usage: %s [--quick] [--runs N] [--large-runs N] [--services N,N,..] "
                           "[--large-mb N,N,..] [--conf-files N] [--host PATH] [--peer PATH] "
                           "[--baseline PATH] [--only start|conf|traffic|services|large|reload]\n",
                   argv[0]);
      return 2;
    }
  }
  // A thousand services hold a thousand listening descriptors, on each side.
  rlimit nofile = {};
  if (::getrlimit(RLIMIT_NOFILE, &nofile) == 0 && nofile.rlim_cur < nofile.rlim_max) {
    nofile.rlim_cur = nofile.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &nofile);
  }
  std::atexit(kill_children);
  char tmpl[] = "/tmp/peer_compare.XXXXXX";
  if (::mkdtemp(tmpl) == nullptr)
    fail("cannot make a work directory");
  g_work_dir = tmpl;

  g_sides.push_back(Side{"host", o.host, true, knows_reload_option(o.host)});
  g_sides.push_back(Side{"peer", o.peer, false, false});
  if (!o.baseline.empty())
    g_sides.push_back(Side{"baseline", o.baseline, true, knows_reload_option(o.baseline)});

  std::vector<Figure> start = {
      Figure("start-up: spawn -> time service accepting", "ms"),
      Figure("start-up: spawn -> first time reply", "ms"),
      Figure("start-up: first reply, systemd library loaded", "ms"),
      Figure("stop: SIGINT -> exit", "ms"),
      Figure("idle VmRSS", "MiB"),
      Figure("processor time, start to exit", "ms"),
      Figure("VmRSS 1.2 s after the first reply", "MiB"),
  };
  for (int run = 0; o.wants("start") && run < o.runs; ++run)
    run_startup(run, start);

  std::vector<Figure> conf = {
      Figure("conf directory of " + std::to_string(o.conf_files) + " files: spawn -> reply", "ms"),
      Figure("conf directory: processor time, start to exit", "ms")};
  std::string const conf_d = g_work_dir + "/conf.d";
  std::vector<std::string> const files =
      o.wants("conf") ? make_conf_dir(conf_d, o.conf_files) : std::vector<std::string>();
  for (int run = 0; o.wants("conf") && run < o.runs; ++run)
    run_conf_dir(run, conf_d, files, conf[0], conf[1]);

  std::vector<Figure> services;
  for (int n : o.services) {
    if (!o.wants("services"))
      break;
    std::string const what = std::to_string(n) + " service" + (n == 1 ? "" : "s");
    std::vector<Figure> figs = start_stop_figures(what + ": spawn -> all open, first reply");
    if (n >= 1000)
      figs.push_back(Figure(what + ": VmRSS 1.2 s after the first reply", "MiB"));
    for (int run = 0; run < o.runs; ++run)
      run_services(run, n, figs);
    services.insert(services.end(), figs.begin(), figs.end());
  }

  std::vector<Figure> large;
  for (int mb : o.large_mb) {
    if (!o.wants("large"))
      break;
    std::string const what = std::to_string(mb) + " MiB file";
    std::vector<Figure> figs = start_stop_figures(what + ": spawn -> first reply");
    for (int run = 0; run < o.large_runs; ++run)
      run_large(run, mb, figs);
    large.insert(large.end(), figs.begin(), figs.end());
  }

  std::vector<Figure> reload;
  if (o.wants("reload")) {
    for (int n : o.services) {
      std::vector<Figure> figs =
          reload_figures(std::to_string(n) + " service" + (n == 1 ? "" : "s"));
      run_reloads(o, n, 0, o.runs, figs);
      reload.insert(reload.end(), figs.begin(), figs.end());
    }
    for (int mb : o.large_mb) {
      std::vector<Figure> figs = reload_figures(std::to_string(mb) + " MiB file");
      run_reloads(o, 1, comment_bytes_of(mb), o.large_runs, figs);
      reload.insert(reload.end(), figs.begin(), figs.end());
    }
  }

  std::vector<Figure> traffic = {
      Figure("time round trips, 1 connection", "1/s", true),
      Figure("time round trips, 4 connections", "1/s", true),
      Figure("time round trips, 16 connections", "1/s", true),
      Figure("log records, 1 connection", "1/s", true),
      Figure("log records, 4 connections", "1/s", true),
      Figure("log records, 16 connections", "1/s", true),
  };
  if (o.wants("traffic"))
    run_traffic(o, traffic);

  remove_work_dir(files);
  std::printf("runs per figure: %d (large files: %d), interleaved, each side first in turn; "
              "ratio = median / the peer's median\n", o.runs, o.large_runs);
  for (const Side& s : g_sides)
    std::printf("%s: %s%s\n", s.label.c_str(), s.binary.c_str(),
                s.is_host && !s.reload_option ? " (no --reload option: its SIGHUP reloads all; "
                                                "the reload changed rows are skipped)" : "");
  print_table("Start-up and stop, the time and logging services", start);
  print_table("A conf directory (peer: one -f per file)", conf);
  if (!g_conf_floor.empty()) {
    std::printf("%-54s %-5s %28s", "floor: find | sort of the directory", "ms",
                span(g_conf_floor).c_str());
    for (size_t i = 0; i < g_sides.size(); ++i)
      std::printf("  %s/floor %s", g_sides[i].label.c_str(), ratio(conf[0].v[i], g_conf_floor).c_str());
    std::printf("\n");
  }
  print_table("Many time services", services);
  print_table("A large configuration file: comments, then one time service", large);
  print_table("Reloads (the peer does not reload on SIGHUP; figures are the host's alone)", reload);
  print_table("Traffic", traffic);
  return 0;
}
