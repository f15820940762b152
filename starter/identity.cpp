// The identity switch, and the user and group lookups it needs.
#include "starter/identity.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>

#include <ace/ACE.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_errno.h>
#include <ace/OS_NS_stdlib.h>
#include <ace/OS_NS_unistd.h>

#include "scrt/log_macros.h"

ACE_INT64 parse_uid_gid(const char* s)
{
  // strtoll would read the empty text as 0, which would make "--user ''" mean root.
  if (s == 0 || *s == 0)
    return -1;
  char* e = 0;
  ACE_INT64 const v = ACE_OS::strtoll(s, &e, 10);
  if ((e == 0 || *e == 0) && v >= 0 && v <= ACE_INT64(4294967295LL))
    return v;
  return -1;
}

/// The most room one user or group lookup gets. The system's suggested size is a guess: a
/// long line anywhere before the entry (a group with many members, a long comment field) makes
/// the lookup fail with ERANGE, so the room is doubled up to this bound.
static size_t const max_lookup_buffer = 1024 * 1024;

/// Allocates room for the number of items the system limit @a name gives (@a default_ when it
/// gives none), @a item_size bytes each. Sets @a res to that count; null with errno ENOMEM
/// (and @a res 0) when the allocation fails.
static char* new_sysconf_buffer(int name, int default_, int item_size, size_t& res)
{
  res = 0;
  long size = ACE_OS::sysconf(name);
  if (size <= 0)
    size = default_;
  char* const buf =
      new (std::nothrow) char[static_cast<size_t>(item_size) * static_cast<size_t>(size)];
  if (buf == 0) {
    ACE_OS::last_error(ENOMEM);
    return 0;
  }
  res = static_cast<size_t>(size);
  return buf;
}

/// Runs @a lookup(buffer, size), a reentrant database lookup that returns 0 or an error
/// number, starting with the room the system limit @a name suggests and doubling it on ERANGE
/// up to max_lookup_buffer. Returns the last lookup's result, or ENOMEM when no room could be
/// allocated; @a buf keeps the room the found entry points into.
template <class Lookup>
static int lookup_entry(int name, Lookup lookup, std::unique_ptr<char[]>& buf)
{
  size_t size = 0;
  buf.reset(new_sysconf_buffer(name, 1024, 1, size));
  for (;;) {
    if (!buf)
      return ENOMEM;
    int const rc = lookup(buf.get(), size);
    if (rc != ERANGE || size >= max_lookup_buffer)
      return rc;
    size = std::min(size * 2, max_lookup_buffer);
    buf.reset(new (std::nothrow) char[size]);
  }
}

/// Resolves @a user, a name or a numeric id that must exist in the user database, into its
/// entry's @a name, @a uid and primary group @a gid. Returns false, logged, when it does not.
static bool get_uid(const char* user, std::string& name, uid_t& uid, gid_t& gid)
{
  ACE_INT64 const v = parse_uid_gid(user);
  passwd pwd;
  passwd* res = 0;
  std::unique_ptr<char[]> buf;
  int const rc = lookup_entry(_SC_GETPW_R_SIZE_MAX, [&](char* b, size_t n) {
    return v >= 0 ? ::getpwuid_r(static_cast<uid_t>(v), &pwd, b, n, &res)
                  : ::getpwnam_r(user, &pwd, b, n, &res);
  }, buf);
  if (rc == 0 && res != 0) {
    name = pwd.pw_name;
    uid = pwd.pw_uid;
    gid = pwd.pw_gid;
    return true;
  }
  ACE_OS::last_error(rc != 0 ? rc : ENOENT);
  SCRT_LOG(0, (LM_ERROR, "Failed to get %C password entry, errno=%d, %m\n", user,
               ACE_OS::last_error()));
  return false;
}

/// Resolves @a group as get_uid() resolves a user, in the group database, into @a gid.
static bool get_gid(const char* group, gid_t& gid)
{
  ACE_INT64 const v = parse_uid_gid(group);
  struct group grp;
  struct group* res = 0;
  std::unique_ptr<char[]> buf;
  int const rc = lookup_entry(_SC_GETGR_R_SIZE_MAX, [&](char* b, size_t n) {
    return v >= 0 ? ::getgrgid_r(static_cast<gid_t>(v), &grp, b, n, &res)
                  : ::getgrnam_r(group, &grp, b, n, &res);
  }, buf);
  if (rc == 0 && res != 0) {
    gid = grp.gr_gid;
    return true;
  }
  ACE_OS::last_error(rc != 0 ? rc : ENOENT);
  SCRT_LOG(0, (LM_ERROR, "Failed to get %C group entry, errno=%d, %m\n", group,
               ACE_OS::last_error()));
  return false;
}

bool resolve_group(const char* group, gid_t& gid)
{
  return get_gid(group, gid);
}

bool identity_asked(const Identity_Request& request)
{
  return request.user != 0 || request.primary_group != 0 || !request.groups.empty();
}

bool resolve_identity(Identity_Request& request)
{
  Resolved_Identity r;
  // Every name is looked up, so that one run reports every name that does not resolve.
  bool complete = true;
  if (request.primary_group != 0)
    complete = r.set_gid = get_gid(request.primary_group, r.gid);
  if (request.user != 0) {
    gid_t user_gid = static_cast<gid_t>(-1);
    if (!get_uid(request.user, r.user, r.uid, user_gid))
      complete = false;
    else if (request.primary_group == 0) {
      r.gid = user_gid;
      r.set_gid = true;
    }
  }
  for (const char* name : request.groups) {
    gid_t gid = static_cast<gid_t>(-1);
    if (get_gid(name, gid))
      r.groups.push_back(gid);
  }
  r.complete = complete;
  request.resolved = r;
  return complete;
}

void log_incomplete_identity()
{
  SCRT_LOG(-1, (LM_ERROR, "Refusing to run with an incomplete identity switch.\n"));
}

/// Sets the current supplementary groups plus @a extra. Groups beyond the system's limit are
/// dropped with one warning; a failure of the system calls is logged and leaves fewer groups,
/// never more.
static void set_supplementary_groups(const std::vector<gid_t>& extra)
{
  size_t size = 0;
  std::unique_ptr<char[]> const buf(
      new_sysconf_buffer(_SC_NGROUPS_MAX, 65536, static_cast<int>(sizeof(gid_t)), size));
  if (!buf)
    return;
  gid_t* const gids = reinterpret_cast<gid_t*>(buf.get());
  int n = ::getgroups(static_cast<int>(size), gids);
  if (n < 0) {
    int const e = ACE_OS::last_error();
    SCRT_LOG(-1, (LM_ERROR, "Failed to get supplementary groups, errno=%d, %m\n", e));
    n = 0;  // no valid count of current groups: the named ones alone
  }
  size_t dropped = 0;
  for (gid_t gid : extra) {
    if (static_cast<size_t>(n) >= size)
      ++dropped;
    else
      gids[n++] = gid;
  }
  if (dropped > 0)
    SCRT_LOG(0, (LM_WARNING, "Dropped %u supplementary groups beyond the limit of %u\n",
                 static_cast<unsigned>(dropped), static_cast<unsigned>(size)));
  if (::setgroups(static_cast<size_t>(n), gids) < 0) {
    int const e = ACE_OS::last_error();
    SCRT_LOG(-1, (LM_ERROR, "Failed to set supplementary groups, errno=%d, %m\n", e));
  }
}

bool switch_identity(const Identity_Request& request)
{
  const Resolved_Identity& r = request.resolved;
  if (!r.complete)
    return false;
  bool const user = request.user != 0;
  uid_t const uid = r.uid;
  gid_t const gid = r.gid;

  uid_t const ruid = ::getuid();
  gid_t const rgid = ::getgid();

  // Group first and user last: once the user is switched, the process may change neither.
  if (r.set_gid && (gid != rgid || gid != ::getegid()) && ::setgid(gid) != 0) {
    int const e = ACE_OS::last_error();
    SCRT_LOG(-1, (LM_ERROR, "Failed to set gid to %u, errno=%d, %m\n",
                  static_cast<unsigned>(gid), e));
    return false;
  }
  if (user && (gid != rgid || uid != ruid) && ::initgroups(r.user.c_str(), gid) != 0) {
    int const e = ACE_OS::last_error();
    SCRT_LOG(-1, (LM_ERROR, "Failed to init groups by %C (uid=%u) and gid=%u, errno=%d, %m\n",
                  r.user.c_str(), static_cast<unsigned>(uid), static_cast<unsigned>(gid), e));
    return false;
  }
  if (!request.groups.empty())
    set_supplementary_groups(r.groups);
  if (!keep_capabilities(request.capabilities))
    return false;
  if (user) {
    if ((uid != ruid || uid != ::geteuid()) && ::setuid(uid) != 0) {
      int const e = ACE_OS::last_error();
      SCRT_LOG(-1, (LM_ERROR, "Failed to set uid to %u, errno=%d, %m\n",
                    static_cast<unsigned>(uid), e));
      return false;
    }
    if (::getuid() != uid || ::geteuid() != uid)
      return false;
  }
  if (r.set_gid && (::getgid() != gid || ::getegid() != gid))
    return false;
  if (!set_capabilities(request.capabilities))
    return false;
  return true;
}
