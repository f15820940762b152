// Runs the real host binary for integration tests: arguments and environment in, standard
// error collected, signals sent, exit awaited with a bound. Never hangs a test: a host still
// running when the object dies is killed.
#ifndef TESTS_SUPPORT_HOST_PROCESS_H
#define TESTS_SUPPORT_HOST_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class Host_Process
{
public:
  typedef std::vector<std::pair<std::string, std::string>> Env;

  Host_Process() = default;
  ~Host_Process();
  Host_Process(const Host_Process&) = delete;
  Host_Process& operator=(const Host_Process&) = delete;

  /// Starts @a program (the host by default) with @a args (argv[0] excluded), the test's own
  /// environment plus @a set, minus the names in @a unset. False when the start failed.
  bool start(const std::vector<std::string>& args, const Env& set = Env(),
             const std::vector<std::string>& unset = std::vector<std::string>(),
             const std::string& program = STARTER_BINARY);

  pid_t pid() const { return pid_; }
  bool send(int signo) const;

  /// Waits up to @a timeout for the process to end. True when it ended.
  bool wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  bool exited() const { return done_; }
  /// Exit status when it exited normally, else -1.
  int exit_code() const;
  /// The signal that ended it, else 0.
  int term_signal() const;

  /// Standard error so far.
  std::string stderr_text() const;
  /// Standard output so far.
  std::string stdout_text() const;
  /// Waits until standard error holds @a needle @a count times. True when it did in time.
  bool wait_for_stderr(const std::string& needle, std::chrono::milliseconds timeout =
                           std::chrono::seconds(20), size_t count = 1) const;

private:
  void drain(int fd, std::string* out);
  /// After the process ended: waits (boundedly, as a detached child may still hold them) until
  /// both pipes are read to their end, so no output is missed.
  void wait_for_readers();

  pid_t pid_ = -1;
  bool done_ = false;
  int status_ = 0;
  mutable std::mutex mutex_;
  std::condition_variable drained_;
  int open_pipes_ = 0;
  std::string err_;
  std::string out_;
  std::thread err_reader_;
  std::thread out_reader_;
};

/// Counts the occurrences of @a needle in @a text.
size_t count_of(const std::string& text, const std::string& needle);

/// Reads the whole of @a path; empty when it cannot be read.
std::string read_file(const std::string& path);

/// Waits until the file @a path holds @a needle @a count times. True when it did in time.
bool wait_for_file(const std::string& path, const std::string& needle,
                   std::chrono::milliseconds timeout = std::chrono::seconds(20), size_t count = 1);

/// The lines of @a path that start with @a prefix, in order.
std::vector<std::string> lines_starting(const std::string& path, const std::string& prefix);

/// Runs the shell @a command, its standard error with its output; @a status is its exit
/// status (-1 when it did not exit). Returns the output.
std::string run_command(const std::string& command, int& status);

/// Whether a TCP connection to the loopback @a port is accepted within a few seconds.
bool accepts(int port);

/// Threads of process @a pid, from /proc.
size_t task_count(pid_t pid);

/// The CPU time process @a pid has used, user and system, in seconds.
double cpu_seconds(pid_t pid);

#endif /* TESTS_SUPPORT_HOST_PROCESS_H */
