// A stand-in for systemd's client library, loaded by the notifier through LIBSYSTEMD_FILENAME.
// Behaviour comes from the environment at each call, so one build serves every test:
//   FAKE_SD_BOOTED        result of sd_booted (default 1)
//   FAKE_SD_WATCHDOG_USEC watchdog timeout; sd_watchdog_enabled reports it when not 0/unset
//   FAKE_SD_RECORD        file that every sd_notify text is appended to
// Built once per variant: FAKE_SD_NO_WATCHDOG leaves out sd_watchdog_enabled, as in libraries
// that predate it; FAKE_SD_NO_NOTIFY leaves out sd_notify.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" {

int sd_booted()
{
  const char* const v = ::getenv("FAKE_SD_BOOTED");
  return v != 0 ? std::atoi(v) : 1;
}

#ifndef FAKE_SD_NO_WATCHDOG
int sd_watchdog_enabled(int, uint64_t* usec)
{
  const char* const v = ::getenv("FAKE_SD_WATCHDOG_USEC");
  uint64_t const n = v != 0 ? std::strtoull(v, 0, 10) : 0;
  if (n == 0)
    return 0;
  if (usec != 0)
    *usec = n;
  return 1;
}
#endif

#ifndef FAKE_SD_NO_NOTIFY
int sd_notify(int, const char* state)
{
  const char* const path = ::getenv("FAKE_SD_RECORD");
  if (path == 0 || state == 0)
    return 0;
  int const fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0)
    return -1;
  // One write per message, so concurrent writers cannot interleave a text.
  ssize_t const n = ::write(fd, state, std::strlen(state));
  ::close(fd);
  return n < 0 ? -1 : 1;
}
#endif

}  // extern "C"
