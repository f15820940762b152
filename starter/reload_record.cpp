// The reload record: written by the host after each reload, waited for by --reload-wait.
#include "starter/reload_record.h"

#include <signal.h>

#include <fcntl.h>

#include <cerrno>

#include <ace/OS_NS_fcntl.h>
#include <ace/OS_NS_signal.h>
#include <ace/OS_NS_time.h>
#include <ace/OS_NS_unistd.h>
#include <ace/Time_Value.h>

#include "scrt/log_macros.h"
#include "scrt/natoi.h"
#include "scrt/string_sprintf.h"
#include "starter/pid_file.h"

/// How long --reload-wait waits for an outcome, and how often it looks.
static unsigned long long const wait_usec = 80ULL * 1000000ULL;
static long const poll_usec = 20000;

unsigned long long monotonic_usec()
{
  timespec now;
  ACE_OS::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<unsigned long long>(now.tv_sec) * 1000000ULL +
         static_cast<unsigned long long>(now.tv_nsec) / 1000ULL;
}

void write_reload_record(const std::string& record_path, unsigned long long began, int status,
                         const std::string& outcome)
{
  if (record_path.empty())
    return;
  std::string line;
  string_sprintf(line, "%llu %d %s\n", began, status, outcome.c_str());
  if (const char* const failed = replace_file(record_path, line)) {
    int const err = ACE_OS::last_error();
    SCRT_LOG(-1, (LM_ERROR, "Failed to %C the reload record '%C', errno=%d, %m\n", failed,
                  record_path.c_str(), err));
  }
}

/// The start of the file @a path (a pid file or a record is a line), read without following a
/// link at the end of the path. Empty, with errno, when it cannot be read or is empty.
static std::string head_of(const char* path)
{
  char buf[512];
  ssize_t n = -1;
  ACE_HANDLE const fd = ACE_OS::open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd != ACE_INVALID_HANDLE) {
    n = ACE_OS::read(fd, buf, sizeof buf - 1);
    int const err = n == 0 ? ENODATA : ACE_OS::last_error();
    ACE_OS::close(fd);
    ACE_OS::last_error(err);
  }
  return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

/// Reads the record at @a path: true, with @a began, @a status and @a outcome (its line without
/// the newline), when it holds a well-formed one.
static bool read_record(const std::string& path, unsigned long long& began, int& status,
                        std::string& outcome)
{
  std::string const text = head_of(path.c_str());
  const char* p = text.c_str();
  began = natoi<unsigned long long>(p, nullptr, &p);
  if (ACE_OS::last_error() != 0 || *p != ' ')
    return false;
  status = natoi<int>(p + 1, nullptr, &p);
  if (ACE_OS::last_error() != 0 || *p != ' ')
    return false;
  outcome.assign(p + 1, text.c_str() + text.size());
  size_t const end = outcome.find('\n');
  if (end == std::string::npos)
    return false;  // a record is written whole: this is no record
  outcome.resize(end);
  return true;
}

int wait_for_reload(const char* pid_file)
{
  std::string const text = head_of(pid_file);
  if (text.empty()) {
    int const err = ACE_OS::last_error();
    SCRT_LOG(-1, (LM_ERROR, "Failed to read the pid file '%C', errno=%d, %m\n", pid_file, err));
    return 1;
  }
  const char* end = 0;
  pid_t const pid = natoi<pid_t>(text.c_str(), nullptr, &end);
  if (ACE_OS::last_error() != 0 || pid <= 0 || (*end != '\n' && *end != 0)) {
    SCRT_LOG(0, (LM_ERROR, "The pid file '%C' holds no process id\n", pid_file));
    return 1;
  }
  std::string const record = reload_record_path(pid_file);
  unsigned long long const sent = monotonic_usec();
  if (ACE_OS::kill(pid, SIGHUP) != 0) {
    int const err = ACE_OS::last_error();
    SCRT_LOG(-1, (LM_ERROR, "Failed to signal the host %d named by '%C', errno=%d, %m\n",
                  static_cast<int>(pid), pid_file, err));
    return 1;
  }
  unsigned long long began = 0;
  int status = 0;
  std::string outcome;
  // A reload that began before the signal may end after it: only a later one is the answer.
  while (!read_record(record, began, status, outcome) || began < sent) {
    if (ACE_OS::kill(pid, 0) != 0 && ACE_OS::last_error() == ESRCH) {
      SCRT_LOG(0, (LM_ERROR, "The host %d stopped before its reload ended\n",
                   static_cast<int>(pid)));
      return 1;
    }
    if (monotonic_usec() - sent > wait_usec) {
      SCRT_LOG(0, (LM_ERROR, "No outcome of the reload of host %d in '%C' within %u s\n",
                   static_cast<int>(pid), record.c_str(),
                   static_cast<unsigned>(wait_usec / 1000000ULL)));
      return 1;
    }
    ACE_OS::sleep(ACE_Time_Value(0, poll_usec));
  }
  if (status != 0) {
    SCRT_LOG(0, (LM_ERROR, "Host %d: %C\n", static_cast<int>(pid), outcome.c_str()));
    return 1;
  }
  SCRT_LOG(0, (LM_INFO, "Host %d: %C\n", static_cast<int>(pid), outcome.c_str()));
  return 0;
}
