// Starting, signalling and reaping the host binary for integration tests.
#include "support/host_process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

Host_Process::~Host_Process()
{
  if (pid_ > 0 && !done_) {
    ::kill(pid_, SIGKILL);
    wait_exit(std::chrono::seconds(10));
  }
  if (err_reader_.joinable())
    err_reader_.join();
  if (out_reader_.joinable())
    out_reader_.join();
  // A sanitizer report in the host fails the test that ran it, whatever the test expected.
  for (const char* marker : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"})
    if (err_.find(marker) != std::string::npos)
      ADD_FAILURE() << "sanitizer report from the host:\n" << err_;
}

bool Host_Process::start(const std::vector<std::string>& args, const Env& set,
                         const std::vector<std::string>& unset, const std::string& program)
{
  std::vector<std::string> env;
  for (char** e = environ; *e != 0; ++e) {
    std::string const kv(*e);
    std::string const name = kv.substr(0, kv.find('='));
    bool drop = false;
    for (const std::string& u : unset)
      drop = drop || u == name;
    for (const auto& s : set)
      drop = drop || s.first == name;
    if (!drop)
      env.push_back(kv);
  }
  for (const auto& s : set)
    env.push_back(s.first + "=" + s.second);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(0);
  std::vector<char*> envp;
  for (std::string& e : env)
    envp.push_back(&e[0]);
  envp.push_back(0);

  int err[2], out[2];
  if (pipe2(err, O_CLOEXEC) != 0)
    return false;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(err[0]);
    close(err[1]);
    return false;
  }
  pid_ = fork();
  if (pid_ == 0) {
    // The child: a clean signal state, as a service manager would give it.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, 0);
    for (int s = 1; s < NSIG; ++s)
      signal(s, SIG_DFL);
    dup2(err[1], 2);
    dup2(out[1], 1);
    int const null = open("/dev/null", O_RDONLY);
    if (null >= 0)
      dup2(null, 0);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(err[1]);
  close(out[1]);
  if (pid_ < 0) {
    close(err[0]);
    close(out[0]);
    return false;
  }
  open_pipes_ = 2;
  err_reader_ = std::thread(&Host_Process::drain, this, err[0], &err_);
  out_reader_ = std::thread(&Host_Process::drain, this, out[0], &out_);
  return true;
}

void Host_Process::drain(int fd, std::string* text)
{
  char buf[4096];
  for (;;) {
    ssize_t const n = read(fd, buf, sizeof buf);
    if (n > 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      text->append(buf, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  close(fd);
  std::lock_guard<std::mutex> lock(mutex_);
  --open_pipes_;
  drained_.notify_all();
}

void Host_Process::wait_for_readers()
{
  std::unique_lock<std::mutex> lock(mutex_);
  drained_.wait_for(lock, std::chrono::seconds(2), [this] { return open_pipes_ == 0; });
}

bool Host_Process::send(int signo) const
{
  return pid_ > 0 && !done_ && ::kill(pid_, signo) == 0;
}

bool Host_Process::wait_exit(std::chrono::milliseconds timeout)
{
  if (pid_ <= 0)
    return false;
  auto const deadline = std::chrono::steady_clock::now() + timeout;
  while (!done_) {
    pid_t const r = waitpid(pid_, &status_, WNOHANG);
    if (r == pid_) {
      done_ = true;
      wait_for_readers();
      break;
    }
    if (r < 0 && errno != EINTR)
      return false;
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

int Host_Process::exit_code() const
{
  return done_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

int Host_Process::term_signal() const
{
  return done_ && WIFSIGNALED(status_) ? WTERMSIG(status_) : 0;
}

std::string Host_Process::stderr_text() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return err_;
}

std::string Host_Process::stdout_text() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return out_;
}

bool Host_Process::wait_for_stderr(const std::string& needle, std::chrono::milliseconds timeout,
                                   size_t count) const
{
  auto const deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (count_of(stderr_text(), needle) >= count)
      return true;
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

size_t count_of(const std::string& text, const std::string& needle)
{
  size_t n = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos;
       pos = text.find(needle, pos + needle.size()))
    ++n;
  return n;
}

std::string read_file(const std::string& path)
{
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool wait_for_file(const std::string& path, const std::string& needle,
                   std::chrono::milliseconds timeout, size_t count)
{
  auto const deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (count_of(read_file(path), needle) >= count)
      return true;
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::vector<std::string> lines_starting(const std::string& path, const std::string& prefix)
{
  std::vector<std::string> lines;
  std::istringstream in(read_file(path));
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, prefix.size(), prefix) == 0)
      lines.push_back(line);
  return lines;
}

bool accepts(int port)
{
  for (int attempt = 0; attempt < 100; ++attempt) {
    int const fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool const ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    if (ok)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

std::string run_command(const std::string& command, int& status)
{
  std::string out;
  status = -1;
  FILE* const p = ::popen((command + " 2>&1").c_str(), "r");
  if (p == 0)
    return out;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
    out.append(buf, n);
  int const st = ::pclose(p);
  status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

size_t task_count(pid_t pid)
{
  size_t n = 0;
  std::string const dir = "/proc/" + std::to_string(pid) + "/task";
  if (DIR* const d = opendir(dir.c_str())) {
    for (dirent* e; (e = readdir(d)) != 0;)
      if (e->d_name[0] != '.')
        ++n;
    closedir(d);
  }
  return n;
}

double cpu_seconds(pid_t pid)
{
  // Fields 14 and 15, after the command name in parentheses (which may hold blanks).
  std::string const stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t const end = stat.rfind(')');
  if (end == std::string::npos)
    return 0;
  std::istringstream in(stat.substr(end + 2));
  std::string field;
  unsigned long long ticks = 0;
  for (int i = 3; i <= 15 && in >> field; ++i)
    if (i >= 14)
      ticks += std::strtoull(field.c_str(), 0, 10);
  return double(ticks) / double(sysconf(_SC_CLK_TCK));
}
