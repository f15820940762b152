// Kept capabilities and the no-new-privileges flag, through libcap.
//
// Capabilities belong to a thread, not to the process: these run during the identity switch,
// while the host has only its main thread, and every thread made later inherits the sets.
#include "starter/capabilities.h"

#include <dlfcn.h>
#include <strings.h>
#include <sys/capability.h>
#include <sys/prctl.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <string>

#include <ace/Log_Msg.h>
#include <ace/OS_NS_errno.h>

#include "scrt/log_macros.h"

namespace {

// libcap is opened on the first use, not linked: a host asked for no capability (most) neither
// maps it nor runs its start-up probes. Each entry has the type of libcap's own declaration.
#define STARTER_CAP_FUNCTIONS(X)                                                             \
  X(from_name) X(to_name) X(free) X(prctl) X(get_flag) X(max_bits) X(get_bound) X(drop_bound) \
  X(get_proc) X(init) X(reset_ambient) X(set_flag) X(set_proc) X(compare) X(to_text)

struct Libcap
{
#define STARTER_CAP_MEMBER(f) decltype(&::cap_##f) f = nullptr;
  STARTER_CAP_FUNCTIONS(STARTER_CAP_MEMBER)
#undef STARTER_CAP_MEMBER
  bool loaded = false;
};

/// libcap's functions, or null when it cannot be opened (logged once); never closed.
const Libcap* load_libcap()
{
  static Libcap lib;
  static bool tried = false;
  if (tried)
    return lib.loaded ? &lib : nullptr;
  tried = true;
  void* const handle = ::dlopen("libcap.so.2", RTLD_NOW | RTLD_LOCAL);
  bool all = handle != nullptr;
#define STARTER_CAP_RESOLVE(f)                                                                \
  if (all)                                                                                  \
    all = (lib.f = reinterpret_cast<decltype(lib.f)>(::dlsym(handle, "cap_" #f))) != nullptr;
  STARTER_CAP_FUNCTIONS(STARTER_CAP_RESOLVE)
#undef STARTER_CAP_RESOLVE
  if (!all) {
    const char* const why = ::dlerror();
    SCRT_LOG(-1, (LM_ERROR, "Failed to load libcap.so.2: %C\n", why != nullptr ? why : "?"));
    return nullptr;
  }
  lib.loaded = true;
  return &lib;
}

/// libcap's functions, on the paths that have loaded it already (a name read, a flag set).
const Libcap& cap()
{
  return *load_libcap();
}

}  // namespace

/// The capability @a name names, in @a value; false when it names none.
static bool capability_value(const char* name, cap_value_t& value)
{
  // libcap also reads numbers, which capabilities(7) does not call names.
  if (name == 0 || !std::isalpha(static_cast<unsigned char>(*name)) || load_libcap() == nullptr)
    return false;
  std::string text(name);
  if (::strncasecmp(name, "cap_", 4) != 0)
    text.insert(0, "cap_");
  return cap().from_name(text.c_str(), &value) == 0;
}

/// libcap's name for @a value ("cap_net_bind_service").
static std::string capability_name(cap_value_t value)
{
  char* const n = cap().to_name(value);
  std::string const s(n != 0 ? n : "?");
  cap().free(n);
  return s;
}

/// The values of @a names, in @a values; false, after an error record naming the first
/// unknown name, when one is unknown.
static bool capability_values(const std::vector<const char*>& names,
                              std::vector<cap_value_t>& values)
{
  values.clear();
  for (const char* name : names) {
    cap_value_t v;
    if (!capability_value(name, v)) {
      SCRT_LOG(-1, (LM_ERROR, "Failed to keep capability '%C': unknown capability name\n",
                    name));
      return false;
    }
    values.push_back(v);
  }
  return true;
}

bool is_capability_name(const char* name)
{
  cap_value_t v;
  return capability_value(name, v);
}

bool check_capability_names(const std::vector<const char*>& names)
{
  bool ok = true;
  for (const char* name : names)
    if (!is_capability_name(name)) {
      SCRT_LOG(-1, (LM_ERROR, "starter: --capability %s: unknown capability name\n", name));
      ok = false;
    }
  return ok;
}

/// Sets the process's flag @a option to @a value; false, after an error record saying what
/// failed ("set ..."), when the kernel refuses.
static bool set_process_flag(int option, long value, const char* what)
{
  if (load_libcap() == nullptr) {
    SCRT_LOG(-1, (LM_ERROR, "Failed to %C: libcap is not loaded\n", what));
    return false;
  }
  if (cap().prctl(option, value, 0, 0, 0, 0) == 0)
    return true;
  int const e = ACE_OS::last_error();
  SCRT_LOG(-1, (LM_ERROR, "Failed to %C, errno=%d, %m\n", what, e));
  return false;
}

/// Whether @a value is in the permitted set the process holds now; false, logged, otherwise.
static bool holds(cap_t held, cap_value_t value)
{
  cap_flag_value_t f = CAP_CLEAR;
  if (cap().get_flag(held, value, CAP_PERMITTED, &f) == 0 && f == CAP_SET)
    return true;
  SCRT_LOG(-1, (LM_ERROR, "Failed to keep capability %C: the process does not hold it\n",
                capability_name(value).c_str()));
  return false;
}

/// Drops from the bounding set every capability not in @a keep.
static bool reduce_bounding_set(const std::vector<cap_value_t>& keep)
{
  for (cap_value_t c = 0; c < static_cast<cap_value_t>(cap().max_bits()); ++c) {
    bool kept = false;
    for (cap_value_t k : keep)
      kept = kept || k == c;
    // Only what is still there: a process without CAP_SETPCAP whose bounding set is already
    // reduced (systemd's CapabilityBoundingSet=) must not fail here.
    if (kept || cap().get_bound(c) != 1)
      continue;
    if (cap().drop_bound(c) != 0) {
      int const e = ACE_OS::last_error();
      SCRT_LOG(-1, (LM_ERROR, "Failed to drop %C from the bounding set, errno=%d, %m\n",
                    capability_name(c).c_str(), e));
      return false;
    }
  }
  return true;
}

bool keep_capabilities(const Capability_Request& request)
{
  std::vector<cap_value_t> values;
  if (request.names.empty())
    return true;
  if (!capability_values(request.names, values))
    return false;
  cap_t const held = cap().get_proc();
  if (held == 0) {
    int const e = ACE_OS::last_error();
    SCRT_LOG(-1, (LM_ERROR, "Failed to read the process's capabilities, errno=%d, %m\n", e));
    return false;
  }
  bool ok = true;
  for (cap_value_t v : values)
    ok = ok && holds(held, v);
  cap().free(held);
  if (!ok || !reduce_bounding_set(values))
    return false;
  // Without this the kernel empties the permitted set when the user id leaves 0.
  return set_process_flag(PR_SET_KEEPCAPS, 1, "keep capabilities across the user switch");
}

/// Makes the permitted and effective sets exactly @a values, the inheritable and ambient
/// sets empty, and checks that the process holds just that.
static bool set_exactly(const std::vector<cap_value_t>& values)
{
  cap_t const want = cap().init();
  cap_t now = 0;
  bool ok = want != 0 && cap().reset_ambient() == 0 &&
            cap().set_flag(want, CAP_PERMITTED, static_cast<int>(values.size()), values.data(),
                           CAP_SET) == 0 &&
            cap().set_flag(want, CAP_EFFECTIVE, static_cast<int>(values.size()), values.data(),
                           CAP_SET) == 0 &&
            cap().set_proc(want) == 0 && (now = cap().get_proc()) != 0;
  int e = ACE_OS::last_error();
  if (ok && cap().compare(want, now) != 0) {
    ok = false;
    e = EPERM;
  }
  if (!ok) {
    char* const text = want != 0 ? cap().to_text(want, 0) : 0;
    ACE_OS::last_error(e);
    SCRT_LOG(-1, (LM_ERROR, "Failed to set the capability sets to '%C', errno=%d, %m\n",
                  text != 0 ? text : "?", e));
    cap().free(text);
  }
  cap().free(now);
  cap().free(want);
  return ok;
}

bool set_capabilities(const Capability_Request& request)
{
  if (!request.names.empty()) {
    std::vector<cap_value_t> values;
    if (!capability_values(request.names, values))
      return false;
    if (!set_process_flag(PR_SET_KEEPCAPS, 0, "end keeping capabilities across a user switch") ||
        !set_exactly(values))
      return false;
  }
  // So that nothing the services run gains privileges through set-user-ID or file
  // capabilities.
  return !request.no_new_privileges ||
         set_process_flag(PR_SET_NO_NEW_PRIVS, 1, "set the no-new-privileges flag");
}
