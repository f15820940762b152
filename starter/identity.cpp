// The identity switch, and the user and group lookups it needs.
#include "starter/identity.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <new>

#include <ace/ACE.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_errno.h>
#include <ace/OS_NS_pwd.h>
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

/// Resolves @a user, a name or a numeric id that must exist in the user database. Returns the
/// entry's name (a new string, freed with delete[]) and sets @a uid and, when @a gid is
/// non-null, @a *gid to its ids; on failure logs, returns null and leaves both (unsigned) -1.
static char* get_uid(const char* user, uid_t& uid, gid_t* gid)
{
  uid = static_cast<uid_t>(-1);
  if (gid != 0)
    *gid = static_cast<gid_t>(-1);
  ACE_INT64 const v = parse_uid_gid(user);
  size_t size = 0;
  std::unique_ptr<char[]> const buf(new_sysconf_buffer(_SC_GETPW_R_SIZE_MAX, 16384, 1, size));
  SCRT_CHECK_NULL_RETURN(buf.get(), "buf", 0);
  passwd pwd;
  passwd* res = 0;
  int const rc = v >= 0 ? ::getpwuid_r(static_cast<uid_t>(v), &pwd, buf.get(), size, &res)
                        : ACE_OS::getpwnam_r(user, &pwd, buf.get(), size, &res);
  if (rc != 0)
    ACE_OS::last_error(rc);
  else if (res == 0)
    ACE_OS::last_error(ENOENT);
  if (res != 0) {
    uid = pwd.pw_uid;
    if (gid != 0)
      *gid = pwd.pw_gid;
    return ACE::strnew(pwd.pw_name);
  }
  SCRT_LOG(0, (LM_ERROR, "Failed to get %C password entry, errno=%d, %m\n", user,
               ACE_OS::last_error()));
  return 0;
}

/// Resolves @a group as get_uid() resolves a user, in the group database.
static char* get_gid(const char* group, gid_t& gid)
{
  gid = static_cast<gid_t>(-1);
  ACE_INT64 const v = parse_uid_gid(group);
  size_t size = 0;
  std::unique_ptr<char[]> const buf(new_sysconf_buffer(_SC_GETGR_R_SIZE_MAX, 16384, 1, size));
  SCRT_CHECK_NULL_RETURN(buf.get(), "buf", 0);
  struct group grp;
  struct group* res = 0;
  int const rc = v >= 0 ? ::getgrgid_r(static_cast<gid_t>(v), &grp, buf.get(), size, &res)
                        : ::getgrnam_r(group, &grp, buf.get(), size, &res);
  if (rc != 0)
    ACE_OS::last_error(rc);
  else if (res == 0)
    ACE_OS::last_error(ENOENT);
  if (res != 0) {
    gid = grp.gr_gid;
    return ACE::strnew(grp.gr_name);
  }
  SCRT_LOG(0, (LM_ERROR, "Failed to get %C group entry, errno=%d, %m\n", group,
               ACE_OS::last_error()));
  return 0;
}

[[noreturn]] void refuse_incomplete_identity()
{
  SCRT_LOG(-1, (LM_ERROR, "Refusing to run with an incomplete identity switch.\n"));
  std::exit(EXIT_FAILURE);
}

/// Sets the current supplementary groups plus the groups @a names. A name that does not
/// resolve is left out; names beyond the system's limit are dropped with one warning; a
/// failure of the system calls is logged and leaves fewer groups, never more.
static void set_supplementary_groups(const std::vector<const char*>& names)
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
  for (const char* name : names) {
    if (static_cast<size_t>(n) >= size) {
      ++dropped;
      continue;
    }
    std::unique_ptr<char[]> const found(get_gid(name, gids[n]));
    if (found)
      ++n;
  }
  if (dropped > 0)
    SCRT_LOG(0, (LM_WARNING, "Dropped %u supplementary groups beyond the limit of %u\n",
                 static_cast<unsigned>(dropped), static_cast<unsigned>(size)));
  if (::setgroups(static_cast<size_t>(n), gids) < 0) {
    int const e = ACE_OS::last_error();
    SCRT_LOG(-1, (LM_ERROR, "Failed to set supplementary groups, errno=%d, %m\n", e));
  }
}

void switch_identity(const Identity_Request& request)
{
  uid_t uid = static_cast<uid_t>(-1);
  gid_t gid = static_cast<gid_t>(-1);
  std::unique_ptr<char[]> user;
  std::unique_ptr<char[]> group;  // also marks that gid holds a group to set
  if (request.primary_group != 0)
    group.reset(get_gid(request.primary_group, gid));
  if (request.user != 0) {
    user.reset(get_uid(request.user, uid, group ? 0 : &gid));
    if (user && !group)
      group.reset(ACE::strnew(""));  // gid is the user's primary group
  }
  if ((request.user != 0 && (!user || !group)) || (request.primary_group != 0 && !group))
    refuse_incomplete_identity();

  uid_t const ruid = ::getuid();
  gid_t const rgid = ::getgid();

  // Group first and user last: once the user is switched, the process may change neither.
  if (group && (gid != rgid || gid != ::getegid()) && ::setgid(gid) != 0) {
    int const e = ACE_OS::last_error();
    SCRT_LOG(-1, (LM_ERROR, "Failed to set gid to %u, errno=%d, %m\n",
                  static_cast<unsigned>(gid), e));
    refuse_incomplete_identity();
  }
  if (user && (gid != rgid || uid != ruid) && ::initgroups(user.get(), gid) != 0) {
    int const e = ACE_OS::last_error();
    SCRT_LOG(-1, (LM_ERROR, "Failed to init groups by %C (uid=%u) and %C (gid=%u), errno=%d, %m\n",
                  user.get(), static_cast<unsigned>(uid), group.get(),
                  static_cast<unsigned>(gid), e));
    refuse_incomplete_identity();
  }
  if (!request.groups.empty())
    set_supplementary_groups(request.groups);
  if (!keep_capabilities(request.capabilities))
    refuse_incomplete_identity();
  if (user) {
    if ((uid != ruid || uid != ::geteuid()) && ::setuid(uid) != 0) {
      int const e = ACE_OS::last_error();
      SCRT_LOG(-1, (LM_ERROR, "Failed to set uid to %u, errno=%d, %m\n",
                    static_cast<unsigned>(uid), e));
      refuse_incomplete_identity();
    }
    if (::getuid() != uid || ::geteuid() != uid)
      refuse_incomplete_identity();
  }
  if (group && (::getgid() != gid || ::getegid() != gid))
    refuse_incomplete_identity();
  if (!set_capabilities(request.capabilities))
    refuse_incomplete_identity();
}
