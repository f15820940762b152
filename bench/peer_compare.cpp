// The host side by side with ACE's own host (ace_netsvcs) on the same netsvcs services: the
// time service and the logging service on free loopback ports. Runs alternate between the two
// sides, and every figure prints min/median/max per side and the ratio of the medians
// (host / peer). Traffic goes to loopback only; every wait is bounded in count and in time.
//
//   peer_compare [--quick] [--runs N] [--conf-files N] [--host PATH] [--peer PATH]
//                [--only start|conf|traffic]
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
  int conf_files = 10000;
  int round_trips = 20000;  ///< per measurement, shared among its connections
  int records = 40000;      ///< per measurement, shared among its connections
  std::string host = STARTER_BINARY;
  std::string peer = "/usr/bin/ace_netsvcs";
  std::string only;  ///< one group of figures: start, conf or traffic; empty for all

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

/// Sends @a sig and waits for the exit; false when it does not come within 10 s. The wait
/// sleeps on a process descriptor: polling would take a core from the process that is stopping.
/// @a cpu_ms, when given, receives the processor time the child used in all, user and system.
bool stop_child(Child& c, int sig, double* cpu_ms = nullptr)
{
  int const pidfd = static_cast<int>(::syscall(SYS_pidfd_open, c.pid, 0));
  ::kill(c.pid, sig);
  pollfd p = {pidfd, POLLIN, 0};
  if (pidfd != -1)
    ::poll(&p, 1, 10000);
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

/// Polls until @a c accepts on @a port; the connection, or -1 when @a c died or 10 s passed.
int wait_accepting(const Child& c, unsigned short port)
{
  Clock::time_point const deadline = Clock::now() + std::chrono::seconds(10);
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

/// Counts the records a logging service printed on its standard error.
class Record_Counter
{
public:
  explicit Record_Counter(int fd) : fd_(fd), thread_([this] { run(); }) {}
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
      for (size_t at; (at = carry.find(RECORD_MARK, pos)) != std::string::npos;)
        ++found, pos = at + sizeof RECORD_MARK - 1;
      size_t const keep = sizeof RECORD_MARK - 2;
      carry.erase(0, std::max(pos, carry.size() > keep ? carry.size() - keep : 0));
      count_ += found;
    }
  }
  int fd_;
  std::atomic<long> count_{0};
  std::thread thread_;
};

// ---- Figures.

struct Figure
{
  std::string name;
  std::string unit;
  bool higher_is_better;
  std::vector<double> host, peer;
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

void print_figures(const std::vector<Figure>& figures, const Options& o)
{
  std::printf("host: %s\npeer: %s\nruns per figure: %d, interleaved; ratio = host median / peer "
              "median\n\n", o.host.c_str(), o.peer.c_str(), o.runs);
  std::printf("%-50s %-5s %26s %26s %6s\n", "figure", "unit", "host min/median/max",
              "peer min/median/max", "ratio");
  for (const Figure& f : figures) {
    if (f.host.empty() || f.peer.empty())
      continue;
    auto span = [](const std::vector<double>& v) {
      return number(*std::min_element(v.begin(), v.end())) + "/" + number(median(v)) + "/" +
             number(*std::max_element(v.begin(), v.end()));
    };
    std::printf("%-50s %-5s %26s %26s %6.3f\n",
                (f.name + (f.higher_is_better ? " (more is better)" : "")).c_str(),
                f.unit.c_str(), span(f.host).c_str(), span(f.peer).c_str(),
                median(f.host) / median(f.peer));
  }
}

// ---- The runs.

struct Side
{
  bool is_host;
  const std::string& binary;
};

std::string g_work_dir;

std::string service_line_time(unsigned short port)
{
  return "dynamic Time_Service Service_Object * netsvcs:_make_ACE_TS_Server_Acceptor() \"-p " +
         std::to_string(port) + "\"\n";
}

std::string service_line_logger(unsigned short port)
{
  return "dynamic Logger Service_Object * netsvcs:_make_ACE_Server_Logging_Acceptor() \"-p " +
         std::to_string(port) + "\"\n";
}

void write_file(const std::string& path, const std::string& text)
{
  std::ofstream out(path, std::ios::trunc);
  out << text;
  if (!out.flush())
    fail("cannot write " + path);
}

/// The figures one start of a server gives: spawn to accepting, to the first reply, idle RSS,
/// stop signal to exit.
struct Start_Figures
{
  double accepting, reply, rss, stop, cpu;
};

/// Starts @a args (time service on @a port), takes its start-up figures and stops it.
Start_Figures start_and_stop(const std::vector<std::string>& args, unsigned short port,
                             const char* libsystemd)
{
  Start_Figures f = {};
  Clock::time_point const t0 = Clock::now();
  Child c = spawn(args, libsystemd, false);
  int const fd = wait_accepting(c, port);
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
  Clock::time_point const t3 = Clock::now();
  // The peer stops on SIGINT only; the host takes it as a stop as well.
  if (!stop_child(c, SIGINT, &f.cpu))
    fail(args[0] + " did not stop within 10 s of SIGINT");
  f.stop = ms_between(t3, Clock::now());
  return f;
}

/// Start-up, stop and idle RSS with both services configured; the host also once with systemd's
/// client library loaded (as it runs by default).
void run_startup(const Options& o, int run, std::vector<Figure>& figs)
{
  for (int k = 0; k < 2; ++k) {
    bool const host_side = (k == 0) == (run % 2 == 0);
    unsigned short const tport = free_port(), lport = free_port();
    std::string const conf = g_work_dir + "/services.conf";
    write_file(conf, service_line_logger(lport) + service_line_time(tport));
    std::vector<std::string> const args = {host_side ? o.host : o.peer, "-f", conf};
    Start_Figures const f = start_and_stop(args, tport, "0");
    auto pick = [&](Figure& fig) -> std::vector<double>& { return host_side ? fig.host : fig.peer; };
    pick(figs[0]).push_back(f.accepting);
    pick(figs[1]).push_back(f.reply);
    pick(figs[3]).push_back(f.stop);
    pick(figs[4]).push_back(f.rss);
    pick(figs[5]).push_back(f.cpu);
    if (host_side) {
      Start_Figures const g = start_and_stop(args, tport, nullptr);
      figs[2].host.push_back(g.reply);
    } else {
      figs[2].peer.push_back(f.reply);
    }
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

void run_conf_dir(const Options& o, int run, const std::string& dir,
                  const std::vector<std::string>& files, Figure& fig, Figure& cpu)
{
  for (int k = 0; k < 2; ++k) {
    bool const host_side = (k == 0) == (run % 2 == 0);
    unsigned short const tport = free_port();
    write_file(files.back(), service_line_time(tport));
    std::vector<std::string> args = {host_side ? o.host : o.peer};
    if (host_side) {
      args.push_back("-f");
      args.push_back(dir);
    } else {
      for (const std::string& f : files) {
        args.push_back("-f");
        args.push_back(f);
      }
    }
    Start_Figures const f = start_and_stop(args, tport, "0");
    (host_side ? fig.host : fig.peer).push_back(f.reply);
    (host_side ? cpu.host : cpu.peer).push_back(f.cpu);
  }
}

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
  s.records = new Record_Counter(s.child.err);
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
  Server host = start_server(o.host, g_work_dir + "/host.conf");
  Server peer = start_server(o.peer, g_work_dir + "/peer.conf");
  const int conns[] = {1, 4, 16};
  // Warm both up, so the first measured run pays no first-touch costs.
  for (Server* s : {&host, &peer}) {
    round_trips_per_s(*s, 1, 50);
    records_per_s(*s, 1, 50);
  }
  for (int run = 0; run < o.runs; ++run)
    for (int k = 0; k < 2; ++k) {
      bool const host_side = (k == 0) == (run % 2 == 0);
      Server& s = host_side ? host : peer;
      for (int c = 0; c < 3; ++c) {
        double const rt = round_trips_per_s(s, conns[c], o.round_trips);
        double const lr = records_per_s(s, conns[c], o.records);
        (host_side ? figs[c].host : figs[c].peer).push_back(rt);
        (host_side ? figs[3 + c].host : figs[3 + c].peer).push_back(lr);
      }
    }
  stop_server(host);
  stop_server(peer);
}

void remove_work_dir(const std::vector<std::string>& files)
{
  for (const std::string& f : files)
    ::unlink(f.c_str());
  for (const char* f : {"/services.conf", "/host.conf", "/peer.conf"})
    ::unlink((g_work_dir + f).c_str());
  ::rmdir((g_work_dir + "/conf.d").c_str());
  ::rmdir(g_work_dir.c_str());
}

}  // namespace

int main(int argc, char** argv)
{
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string const a = argv[i];
    bool const has_value = i + 1 < argc;
    if (a == "--quick") {
      o.runs = 3, o.conf_files = 200, o.round_trips = 64, o.records = 64;
    } else if (a == "--runs" && has_value) {
      o.runs = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--conf-files" && has_value) {
      o.conf_files = std::max(0, std::atoi(argv[++i]));
    } else if (a == "--only" && has_value) {
      o.only = argv[++i];
    } else if (a == "--host" && has_value) {
      o.host = argv[++i];
    } else if (a == "--peer" && has_value) {
      o.peer = argv[++i];
    } else {
      std::fprintf(stderr, "usage: %s [--quick] [--runs N] [--conf-files N] [--host PATH] "
                           "[--peer PATH] [--only start|conf|traffic]\n", argv[0]);
      return 2;
    }
  }
  std::atexit(kill_children);
  char tmpl[] = "/tmp/peer_compare.XXXXXX";
  if (::mkdtemp(tmpl) == nullptr)
    fail("cannot make a work directory");
  g_work_dir = tmpl;

  std::vector<Figure> start = {
      {"start-up: spawn -> time service accepting", "ms", false, {}, {}},
      {"start-up: spawn -> first time reply", "ms", false, {}, {}},
      {"start-up: first reply, systemd library loaded", "ms", false, {}, {}},
      {"stop: SIGINT -> exit", "ms", false, {}, {}},
      {"idle VmRSS", "MiB", false, {}, {}},
      {"processor time, start to exit", "ms", false, {}, {}},
  };
  for (int run = 0; o.wants("start") && run < o.runs; ++run)
    run_startup(o, run, start);

  Figure dir = {"conf directory of " + std::to_string(o.conf_files) + " files: spawn -> reply",
                "ms", false, {}, {}};
  Figure dir_cpu = {"conf directory: processor time, start to exit", "ms", false, {}, {}};
  std::string const conf_d = g_work_dir + "/conf.d";
  std::vector<std::string> const files =
      o.wants("conf") ? make_conf_dir(conf_d, o.conf_files) : std::vector<std::string>();
  for (int run = 0; o.wants("conf") && run < o.runs; ++run)
    run_conf_dir(o, run, conf_d, files, dir, dir_cpu);

  std::vector<Figure> traffic = {
      {"time round trips, 1 connection", "1/s", true, {}, {}},
      {"time round trips, 4 connections", "1/s", true, {}, {}},
      {"time round trips, 16 connections", "1/s", true, {}, {}},
      {"log records, 1 connection", "1/s", true, {}, {}},
      {"log records, 4 connections", "1/s", true, {}, {}},
      {"log records, 16 connections", "1/s", true, {}, {}},
  };
  if (o.wants("traffic"))
    run_traffic(o, traffic);

  remove_work_dir(files);
  std::vector<Figure> all = start;
  all.push_back(dir);
  all.push_back(dir_cpu);
  all.insert(all.end(), traffic.begin(), traffic.end());
  print_figures(all, o);
  return 0;
}
