// The held listeners kept in systemd's descriptor store, and adopted from what it passes.
#include "starter/fd_store.h"

#include <dlfcn.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "scrt/environ.h"
#include "scrt/log_macros.h"
#include "starter/listeners.h"

namespace {

typedef int (*sd_listen_fds_with_names_t)(int, char***);
typedef int (*sd_pid_notify_with_fds_t)(pid_t, int, const char*, const int*, unsigned);

/// systemd's client library, loaded once (the file LIBSYSTEMD_FILENAME names, "0" for none);
/// null when it cannot be.
void* client_library()
{
  static void* const handle = [] () -> void* {
    std::string const name = get_env_r("LIBSYSTEMD_FILENAME");
    if (name == "0")
      return 0;
    return ::dlopen(name.empty() ? "libsystemd.so.0" : name.c_str(), RTLD_LAZY);
  }();
  return handle;
}

/// Sends @a state, with @a fd when not -1, to the service manager; nothing without one.
void notify_store(const std::string& state, int fd)
{
  if (get_env_r("NOTIFY_SOCKET").empty())
    return;
  void* const lib = client_library();
  sd_pid_notify_with_fds_t const send = lib == 0 ? 0 :
      reinterpret_cast<sd_pid_notify_with_fds_t>(::dlsym(lib, "sd_pid_notify_with_fds"));
  if (send == 0)
    return;
  if (send(0, 0, state.c_str(), fd >= 0 ? &fd : 0, fd >= 0 ? 1 : 0) <= 0)
    SCRT_LOG(0, (LM_WARNING, "systemd's descriptor store did not take \"%s\"\n",
                 state.substr(0, state.find('\n')).c_str()));
}

} // namespace

std::string fd_store_name(const std::string& address)
{
  std::string name(address);
  for (char& c : name)
    c = c == ':' ? '-' : c == ' ' ? '_' : c;
  return name;
}

void adopt_passed_listeners()
{
  if (get_env_r("LISTEN_FDS").empty())
    return;
  void* const lib = client_library();
  sd_listen_fds_with_names_t const listen_fds = lib == 0 ? 0 :
      reinterpret_cast<sd_listen_fds_with_names_t>(::dlsym(lib, "sd_listen_fds_with_names"));
  if (listen_fds == 0) {
    SCRT_LOG(-1, (LM_WARNING, "LISTEN_FDS is set, but systemd's client library (%s) cannot "
                  "be loaded: the sockets passed are not used\n", "libsystemd.so.0"));
    return;
  }
  char** names = 0;
  int const n = listen_fds(1, &names);
  if (n < 0)
    SCRT_LOG(-1, (LM_WARNING, "The listening sockets passed (LISTEN_FDS) cannot be read: %s\n",
                  ::strerror(-n)));
  int const first = 3;
  for (int i = 0; i < n; ++i) {
    int const fd = first + i;
    if (!adopt_listener(fd)) {
      SCRT_LOG(-1, (LM_WARNING, "Descriptor %d passed by systemd (%s) is not a listening TCP "
                    "socket of its own address: closed\n", fd,
                    names != 0 && names[i] != 0 ? names[i] : "unnamed"));
      if (names != 0 && names[i] != 0)
        notify_store(std::string("FDSTOREREMOVE=1\nFDNAME=") + names[i] + "\n", -1);
      ::close(fd);
    }
  }
  for (int i = 0; names != 0 && names[i] != 0; ++i)
    ::free(names[i]);
  ::free(names);
  for (const Held_Listener& h : held_listeners())
    SCRT_LOG(0, (LM_INFO, "Holding the listening socket on %s, passed by systemd\n",
                 h.address.c_str()));
}

void settle_listeners()
{
  // Without a service manager nothing is sent: a thousand messages not made for nothing.
  bool const manager = !get_env_r("NOTIFY_SOCKET").empty();
  for (const std::string& address : drop_unclaimed_listeners()) {
    SCRT_LOG(0, (LM_INFO, "Closed the listening socket on %s: no service claims it\n",
                 address.c_str()));
    if (manager)
      notify_store("FDSTOREREMOVE=1\nFDNAME=" + fd_store_name(address) + "\n", -1);
  }
  std::vector<std::pair<int, std::string>> const fresh = take_unstored_listeners();
  for (size_t i = 0; manager && i < fresh.size(); ++i)
    notify_store("FDSTORE=1\nFDNAME=" + fd_store_name(fresh[i].second) + "\n", fresh[i].first);
}
