// A service for the host's integration tests: records its life (init, fini, timer callbacks)
// as lines in a file named in its arguments, and misbehaves on request.
//
// Arguments: -o FILE (record file, required), -n NAME, -t MS (repeating timer), -x std|int
// (throw from the first timer callback), -k SIGNO (raise from the first timer callback),
// -F (fail init), -X std|int (throw from init), -s MS (sleep inside each timer callback), -I MS (sleep inside init; both
// sleeps last their whole time, signals or not), -A (install its own SIGALRM handler; the
// next timer callback records each alarm), -r MS (in the first timer callback, block in a
// read that a helper thread satisfies after MS, and record how the read ended), -H (take
// SIGHUP through the reactor while it runs, as some of ACE's own services do), -T std|int
// (throw from fini), -B MS (block in fini for MS, signals or not), -E STATUS (call exit()
// with STATUS from the first timer callback), -C null|call|overflow|thread (fault in the first
// timer callback: a write through a null pointer, a call through one, a stack overflow, or a
// write through a null pointer on a thread of its own), -O N (hold N descriptors open), -K
// (fault in init: a write through a null pointer), -G FILE (fail init while FILE
// exists), -R SIGNO (take SIGNO through the reactor while it runs), -L (start a thread, an
// ACE_Task, that it never stops: its svc counts in the service's object and records
// "thread NAME ... version=V" every 50 ms, past the fini).
// Each load of the library appends "load version=V pid=P" to the file named by PROBE_LOADS,
// from a static constructor; V is PROBE_VERSION, which the init record carries too.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include <ace/Get_Opt.h>
#include <ace/Reactor.h>
#include <ace/Service_Object.h>
#include <ace/Task.h>
#include <ace/svc_export.h>

#ifndef PROBE_VERSION
#define PROBE_VERSION 1
#endif

namespace {

/// Appends @a line to the file @a file in one write.
void append_line(const char* file, const std::string& line)
{
  int const fd = open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0)
    return;
  ssize_t const n = write(fd, line.data(), line.size());
  (void)n;
  close(fd);
}

/// Counts the library's loads: its static constructors run once per load.
struct Load_Counter
{
  Load_Counter()
  {
    if (const char* const file = std::getenv("PROBE_LOADS"))
      append_line(file, "load version=" + std::to_string(PROBE_VERSION) + " pid=" +
                            std::to_string(getpid()) + "\n");
  }
} load_counter;

/// Sleeps @a ms whole, resuming after every signal.
void sleep_ms(long ms)
{
  timespec left = {ms / 1000, (ms % 1000) * 1000000};
  while (nanosleep(&left, &left) == -1 && errno == EINTR)
    ;
}

volatile sig_atomic_t alarms = 0;

void on_alarm(int)
{
  alarms = alarms + 1;
}

/// Blocks in a read of a pipe that a helper thread writes to after @a ms; "ok" when the read
/// got the byte, else the error.
std::string blocking_read(long ms)
{
  int fds[2];
  if (pipe(fds) != 0)
    return "pipe failed";
  std::thread writer([fds, ms] {
    sleep_ms(ms);
    char const c = 'x';
    ssize_t const n = write(fds[1], &c, 1);
    (void)n;
  });
  char c = 0;
  ssize_t const n = read(fds[0], &c, 1);
  std::string const how = n == 1 ? "ok" : std::strerror(errno);
  writer.join();
  close(fds[0]);
  close(fds[1]);
  return how;
}

volatile int* volatile null_pointer = 0;

// The faults are the point: the sanitizers are not to stop them first.
#define PROBE_FAULTS __attribute__((no_sanitize("address", "undefined"), noinline))

PROBE_FAULTS void write_null(int value)
{
  *null_pointer = value;
}

#pragma GCC diagnostic ignored "-Winfinite-recursion"
/// Recurses until the stack is gone.
PROBE_FAULTS int recurse(int depth)
{
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  return recurse(depth + 1) + frame[0];
}

/// Faults as @a kind says.
PROBE_FAULTS void crash(const std::string& kind)
{
  if (kind == "null")
    write_null(1);
  if (kind == "call")
    reinterpret_cast<void (*)()>(const_cast<int*>(null_pointer))();
  if (kind == "overflow")
    (void)recurse(0);
  if (kind == "thread")
    std::thread(write_null, 2).join();
}

class Probe_Service;

/// A thread its service forgets to stop.
class Forgotten_Task : public ACE_Task_Base
{
public:
  explicit Forgotten_Task(Probe_Service& owner) : owner_(owner) {}
  int svc() override;

private:
  Probe_Service& owner_;
};

class Probe_Service : public ACE_Service_Object
{
public:
  friend class Forgotten_Task;
  int init(int argc, ACE_TCHAR* argv[]) override;
  int fini() override;
  int handle_timeout(const ACE_Time_Value&, const void*) override;

private:
  void record(const std::string& what, const std::string& details = "");

  std::string file_;
  std::string name_ = "probe";
  long timer_ = -1;
  std::string throw_kind_;
  int raise_signo_ = 0;
  long sleep_ms_ = 0;
  long read_ms_ = 0;
  bool hup_ = false;
  int reactor_signo_ = 0;
  bool fired_ = false;
  std::string fini_throw_;
  long fini_block_ms_ = 0;
  int exit_status_ = -1;
  std::string crash_;
  Forgotten_Task forgotten_{*this};
  volatile long forgotten_rounds_ = 0;
};

int Forgotten_Task::svc()
{
  for (;; sleep_ms(10))
    if (++owner_.forgotten_rounds_ % 5 == 0)
      owner_.record("thread", " version=" + std::to_string(PROBE_VERSION));
}

void Probe_Service::record(const std::string& what, const std::string& details)
{
  if (file_.empty())
    return;
  std::string const line = what + " " + name_ + " pid=" + std::to_string(getpid()) +
                           " tid=" + std::to_string(syscall(SYS_gettid)) + details + "\n";
  // One write on an O_APPEND descriptor: lines from several threads never interleave.
  append_line(file_.c_str(), line);
}

int Probe_Service::init(int argc, ACE_TCHAR* argv[])
{
  ACE_Get_Opt opt(argc, argv, "o:n:t:x:X:k:Fs:I:Ar:HT:B:E:C:O:KG:R:L", 0);
  long timer_ms = 0;
  long init_sleep_ms = 0;
  bool fail = false;
  std::string init_throw;
  for (int c; (c = opt()) != -1;) {
    switch (c) {
      case 'o': file_ = opt.opt_arg(); break;
      case 'n': name_ = opt.opt_arg(); break;
      case 't': timer_ms = std::atol(opt.opt_arg()); break;
      case 'x': throw_kind_ = opt.opt_arg(); break;
      case 'k': raise_signo_ = std::atoi(opt.opt_arg()); break;
      case 'F': fail = true; break;
      case 'X': init_throw = opt.opt_arg(); break;
      case 's': sleep_ms_ = std::atol(opt.opt_arg()); break;
      case 'I': init_sleep_ms = std::atol(opt.opt_arg()); break;
      case 'A': signal(SIGALRM, on_alarm); break;
      case 'r': read_ms_ = std::atol(opt.opt_arg()); break;
      case 'H': hup_ = reactor()->register_handler(SIGHUP, this) == 0; break;
      case 'T': fini_throw_ = opt.opt_arg(); break;
      case 'B': fini_block_ms_ = std::atol(opt.opt_arg()); break;
      case 'E': exit_status_ = std::atoi(opt.opt_arg()); break;
      case 'C': crash_ = opt.opt_arg(); break;
      case 'K': *null_pointer = 1; break;
      case 'O':
        for (long n = std::atol(opt.opt_arg()); n > 0; --n)
          (void)open("/dev/null", O_RDONLY | O_CLOEXEC);
        break;
      case 'R':
        reactor_signo_ = std::atoi(opt.opt_arg());
        if (reactor()->register_handler(reactor_signo_, this) != 0)
          reactor_signo_ = 0;
        break;
      case 'G': fail = fail || access(opt.opt_arg(), F_OK) == 0; break;
      case 'L': (void)forgotten_.activate(); break;
      default: break;
    }
  }
  std::string ids = " version=" + std::to_string(PROBE_VERSION) + " uid=" + std::to_string(getuid()) + " euid=" + std::to_string(geteuid()) +
                    " gid=" + std::to_string(getgid()) + " cwd=";
  char cwd[4096];
  ids += getcwd(cwd, sizeof cwd) ? cwd : "?";
  // Whether the host ran its close-on-exec probe: the library exports these in the host.
  typedef int (*enabled_t)();
  if (enabled_t const enabled = reinterpret_cast<enabled_t>(dlsym(RTLD_DEFAULT, "o_cloexec_enabled")))
    ids += " cloexec=" + std::to_string(enabled());
  record("init", ids);
  if (init_sleep_ms > 0)
    sleep_ms(init_sleep_ms);
  if (fail)
    return -1;
  if (init_throw == "std")
    throw std::runtime_error("init failed");
  if (init_throw == "int")
    throw 42;
  if (timer_ms > 0) {
    ACE_Time_Value const tv(timer_ms / 1000, (timer_ms % 1000) * 1000);
    timer_ = reactor()->schedule_timer(this, 0, tv, tv);
  }
  return 0;
}

int Probe_Service::fini()
{
  if (timer_ != -1)
    reactor()->cancel_timer(timer_, 0, 1);
  if (hup_)
    reactor()->remove_handler(SIGHUP, static_cast<ACE_Sig_Action*>(0));
  if (reactor_signo_ != 0)
    reactor()->remove_handler(reactor_signo_, static_cast<ACE_Sig_Action*>(0));
  record("fini");
  if (fini_block_ms_ > 0)
    sleep_ms(fini_block_ms_);
  if (fini_throw_ == "std")
    throw std::runtime_error("fini boom");
  if (fini_throw_ == "int")
    throw 7;
  return 0;
}

int Probe_Service::handle_timeout(const ACE_Time_Value&, const void*)
{
  record("timeout");
  for (; alarms > 0; alarms = alarms - 1)
    record("alarm");
  if (sleep_ms_ > 0)
    sleep_ms(sleep_ms_);
  if (fired_)
    return 0;
  fired_ = true;
  if (read_ms_ > 0) {
    record("reading");
    record("read", " " + blocking_read(read_ms_));
  }
  if (throw_kind_ == "std")
    throw std::runtime_error("boom");
  if (throw_kind_ == "int")
    throw 42;
  if (raise_signo_ != 0)
    raise(raise_signo_);
  if (exit_status_ >= 0)
    std::exit(exit_status_);
  if (!crash_.empty())
    crash(crash_);
  return 0;
}

}  // namespace

extern "C" ACE_Svc_Export ACE_Service_Object* _make_Probe_Service(ACE_Service_Object_Exterminator* gobbler)
{
  if (gobbler != 0)
    *gobbler = [](void* p) { delete static_cast<Probe_Service*>(p); };
  Probe_Service* const s = new Probe_Service;
  s->reactor(ACE_Reactor::instance());
  return s;
}
