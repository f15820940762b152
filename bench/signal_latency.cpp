// Delay from a signal to the host acting on it (the debug toggle, carried out by the event
// loop), against a baseline in the same run: a process whose handler writes straight from
// signal context. Prints median and 99th percentile in microseconds, and their ratios.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

typedef std::chrono::steady_clock Clock;

int g_baseline_fd = -1;

void baseline_handler(int)
{
  static const char line[] = "ACE::debug.\n";
  ssize_t const n = write(g_baseline_fd, line, sizeof line - 1);
  (void)n;
}

/// Reads from @a fd until a line holding "ACE::debug." has arrived; false on end of file.
bool wait_line(int fd, std::string& pending)
{
  for (;;) {
    size_t const nl = pending.find('\n');
    if (nl != std::string::npos) {
      bool const hit = pending.compare(0, nl, "ACE::debug.") == 0 ||
                       pending.substr(0, nl).find("ACE::debug.") != std::string::npos;
      pending.erase(0, nl + 1);
      if (hit)
        return true;
      continue;
    }
    char buf[4096];
    ssize_t const n = read(fd, buf, sizeof buf);
    if (n <= 0)
      return false;
    pending.append(buf, static_cast<size_t>(n));
  }
}

std::vector<double> measure(pid_t pid, int fd, int rounds)
{
  std::vector<double> us;
  std::string pending;
  for (int i = 0; i < rounds; ++i) {
    Clock::time_point const t0 = Clock::now();
    kill(pid, SIGUSR2);
    if (!wait_line(fd, pending))
      break;
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    usleep(2000);  // let the kernel deliver each signal on its own
  }
  std::sort(us.begin(), us.end());
  return us;
}

double pct(const std::vector<double>& v, double p)
{
  return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))];
}

}  // namespace

int main(int argc, char** argv)
{
  int const rounds = argc > 1 ? std::atoi(argv[1]) : 500;
  char conf[] = "/tmp/starter-bench-XXXXXX";
  int const cfd = mkstemp(conf);
  if (cfd < 0)
    return 1;
  close(cfd);

  int host_pipe[2], base_pipe[2];
  if (pipe(host_pipe) != 0 || pipe(base_pipe) != 0)
    return 1;

  pid_t const host = fork();
  if (host == 0) {
    dup2(host_pipe[1], 2);
    execl(STARTER_BINARY, STARTER_BINARY, "-f", conf, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(host_pipe[1]);
  pid_t const base = fork();
  if (base == 0) {
    g_baseline_fd = base_pipe[1];
    signal(SIGUSR2, baseline_handler);
    for (;;)
      pause();
  }
  close(base_pipe[1]);

  // Let the host reach its event loop: its banner is the last start-up line.
  std::string pending;
  for (char buf[4096]; pending.find("is started.") == std::string::npos;) {
    ssize_t const n = read(host_pipe[0], buf, sizeof buf);
    if (n <= 0)
      return 1;
    pending.append(buf, static_cast<size_t>(n));
  }
  usleep(100000);

  std::vector<double> const b = measure(base, base_pipe[0], rounds);
  std::vector<double> const h = measure(host, host_pipe[0], rounds);
  kill(base, SIGKILL);
  kill(host, SIGTERM);
  waitpid(base, nullptr, 0);
  waitpid(host, nullptr, 0);
  unlink(conf);

  std::printf("signal to action, %d rounds (microseconds)\n", rounds);
  std::printf("  %-34s median %8.1f  p99 %8.1f\n", "baseline (write in the handler):", pct(b, .5), pct(b, .99));
  std::printf("  %-34s median %8.1f  p99 %8.1f\n", "host (relayed to the event loop):", pct(h, .5), pct(h, .99));
  if (pct(b, .5) > 0)
    std::printf("  ratio host/baseline: median %.2f  p99 %.2f\n", pct(h, .5) / pct(b, .5),
                pct(h, .99) / pct(b, .99));
  return h.size() == static_cast<size_t>(rounds) ? 0 : 1;
}
