// The deaths file: its lines, the prepared blame and the append from a dying host.
//
// note_death() runs in signal context: it reads only what prepare_blame() published (an
// immutable block behind an atomic pointer), formats numbers by hand, and writes each record
// with one writev(2) on the descriptor held open for appending, so that no record is
// interleaved with another and nothing allocates or locks. Everything else runs on the main
// thread.
#include "starter/deaths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>

#include "scrt/mkdir_p.h"
#include "scrt/natoi.h"
#include "starter/pid_file.h"

namespace {

/// What note_death() may read: published whole, never changed after.
struct Prepared
{
  std::vector<std::string> services;
  std::vector<std::string> libraries;
  std::vector<std::string> tails;  ///< each service's "\tSERVICE\tLIBRARY\tSTAMP\tDIRECTIVE\t"
};

/// One published block, and the one before it: a handler on another thread may still read that
/// while the next is prepared, so it lives one publication longer.
struct Published
{
  std::atomic<const Prepared*> block{nullptr};
  std::unique_ptr<const Prepared> current;
  std::unique_ptr<const Prepared> retired;

  void publish(const std::vector<Blame_Site>& sites);
};

Published running;  ///< the services open
Published opening;  ///< the service being opened, if any

/// The deaths file, open for appending; its number stays while the file is rewritten.
int deaths_fd = -1;
std::string deaths_path;
std::atomic<bool> death_noted(false);
static_assert(std::atomic<bool>::is_always_lock_free, "note_death() tests it in signal context");

void add_field(std::string& line, const std::string& field)
{
  line += '\t';
  if (field.empty()) {
    line += '-';
    return;
  }
  for (char c : field)
    line += c == '\t' || c == '\n' || c == '\r' ? ' ' : c;
}

std::string stamp_text(const Blame_Site& s)
{
  if (!s.stamped)
    return std::string();
  return std::to_string(s.stamp.dev) + ":" + std::to_string(s.stamp.ino) + ":" +
         std::to_string(s.stamp.size) + ":" + std::to_string(s.stamp.mtime.tv_sec) + "." +
         std::to_string(s.stamp.mtime.tv_nsec);
}

/// "\tSERVICE\tLIBRARY\tSTAMP\tDIRECTIVE\t": what follows the kind and the time.
std::string site_tail(const Blame_Site& s)
{
  std::string tail;
  add_field(tail, s.service);
  add_field(tail, s.library);
  add_field(tail, stamp_text(s));
  char hash[17];
  static const char digits[] = "0123456789abcdef";
  for (int i = 0; i < 16; ++i)
    hash[i] = digits[(s.directive >> (60 - 4 * i)) & 0xf];
  hash[16] = 0;
  add_field(tail, hash);
  return tail + '\t';
}

template <class T>
bool read_number(const std::string& text, T& out)
{
  const char* end = 0;
  out = natoi<T>(text.c_str(), nullptr, &end);
  return !text.empty() && errno == 0 && *end == 0;
}

bool parse_stamp(const std::string& text, Blame_Site& s)
{
  s.stamped = false;
  if (text == "-")
    return true;
  unsigned long long dev = 0, ino = 0;
  long long size = 0, sec = 0, nsec = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%llu:%llu:%lld:%lld.%lld%c", &dev, &ino, &size, &sec, &nsec,
                  &tail) != 5)
    return false;
  s.stamp.dev = static_cast<dev_t>(dev);
  s.stamp.ino = static_cast<ino_t>(ino);
  s.stamp.size = static_cast<off_t>(size);
  s.stamp.mtime.tv_sec = static_cast<time_t>(sec);
  s.stamp.mtime.tv_nsec = static_cast<long>(nsec);
  s.stamped = true;
  return true;
}

/// Async-signal-safe: writes the decimal digits of @a n at @a out (room for 20); returns
/// their count.
size_t put_decimal(unsigned long long n, char* out)
{
  char digits[20];
  size_t size = 0;
  do {
    digits[size++] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n != 0);
  for (size_t i = 0; i < size; ++i)
    out[i] = digits[size - 1 - i];
  return size;
}

/// One death's record, assembled in signal context: the kind and time, what was prepared of
/// the service, its cause.
struct Death_Line
{
  char head[32] = "death\t";
  size_t head_size = 0;
  char text[512];
  size_t text_size = 0;

  /// Writes the record of the prepared @a tail, or of the bare @a name; 1 when written.
  size_t write(const char* tail, size_t tail_size, const char* name, size_t name_size) const
  {
    static char const unprepared_tail[] = "\t-\t-\t0000000000000000\t";
    iovec v[5];
    int nv = 0;
    v[nv++] = {const_cast<char*>(head), head_size};
    if (tail != 0) {
      v[nv++] = {const_cast<char*>(tail), tail_size};
    } else {
      v[nv++] = {const_cast<char*>("\t"), 1};
      v[nv++] = {const_cast<char*>(name), name_size};
      v[nv++] = {const_cast<char*>(unprepared_tail), sizeof unprepared_tail - 1};
    }
    v[nv++] = {const_cast<char*>(text), text_size};
    return ::writev(deaths_fd, v, nv) > 0 ? 1 : 0;
  }
};

/// Opens @a path for appending onto @a fd's number when it is open (so that a handler that
/// holds the number writes to the new file), else as a new descriptor.
bool open_for_append(const std::string& path, int& fd)
{
  int const f = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (f < 0)
    return false;
  if (fd < 0) {
    fd = f;
    return true;
  }
  int const r = ::dup3(f, fd, O_CLOEXEC);
  int const err = errno;
  ::close(f);
  errno = err;
  return r >= 0;
}

}  // namespace

uint64_t directive_hash(const std::string& normal)
{
  uint64_t h = 14695981039346656037ULL;  // FNV-1a: stable across builds and hosts
  for (unsigned char c : normal)
    h = (h ^ c) * 1099511628211ULL;
  return h;
}

std::string format_death_record(const Death_Record& r)
{
  std::string line = r.kind == Death_Record::DEATH ? "death\t" : "quarantine\t";
  line += std::to_string(static_cast<long long>(r.at));
  line += site_tail(r.site);
  std::string text = r.text;
  for (char& c : text)
    c = c == '\t' || c == '\n' || c == '\r' ? ' ' : c;
  return line + text;
}

bool parse_death_record(const std::string& line, Death_Record& r)
{
  std::vector<std::string> f;
  size_t start = 0;
  for (size_t tab; f.size() < 6 && (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
    f.push_back(line.substr(start, tab - start));
  f.push_back(line.substr(start));
  if (f.size() != 7)
    return false;
  if (f[0] == "death")
    r.kind = Death_Record::DEATH;
  else if (f[0] == "quarantine")
    r.kind = Death_Record::QUARANTINE;
  else
    return false;
  long long at = 0;
  if (!read_number(f[1], at) || f[2].empty() || f[2] == "-" || !parse_stamp(f[4], r.site) ||
      f[5].size() != 16)
    return false;
  r.at = static_cast<time_t>(at);
  r.site.service = f[2];
  r.site.library = f[3] == "-" ? std::string() : f[3];
  r.site.directive = 0;
  for (char c : f[5]) {
    int const d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (d < 0)
      return false;
    r.site.directive = r.site.directive << 4 | static_cast<uint64_t>(d);
  }
  r.text = f[6];
  return true;
}

bool open_deaths_file(const std::string& dir)
{
  if (mkdir_p(dir.c_str(), 0755, nullptr) != 0 && errno != EEXIST)
    return false;
  std::string const path = dir + "/deaths";
  if (!open_for_append(path, deaths_fd))
    return false;
  deaths_path = path;
  return true;
}

const std::string& deaths_file()
{
  return deaths_path;
}

bool read_deaths_file(std::vector<Death_Record>& out)
{
  out.clear();
  int const fd = ::open(deaths_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0)
    return false;
  std::string text;
  char buf[65536];
  ssize_t n;
  // Read up to twice the limit: a file grown past it by other hands is read in part.
  while (text.size() < 2 * static_cast<size_t>(DEATHS_FILE_LIMIT) &&
         ((n = ::read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)))
    if (n > 0)
      text.append(buf, static_cast<size_t>(n));
  int const err = errno;
  ::close(fd);
  if (n < 0) {
    errno = err;
    return false;
  }
  // A last line without its newline was cut short: it is not read.
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    Death_Record r;
    if (parse_death_record(text.substr(start, nl - start), r))
      out.push_back(std::move(r));
  }
  errno = 0;
  return true;
}

bool rewrite_deaths_file(const std::vector<Death_Record>& records)
{
  std::string text;
  for (const Death_Record& r : records)
    text += format_death_record(r) + '\n';
  if (replace_file(deaths_path, text) != 0)
    return false;
  return open_for_append(deaths_path, deaths_fd);
}

void Published::publish(const std::vector<Blame_Site>& sites)
{
  std::unique_ptr<Prepared> p(new Prepared);
  for (const Blame_Site& s : sites) {
    p->services.push_back(s.service);
    p->libraries.push_back(s.library);
    p->tails.push_back(site_tail(s));
  }
  block.store(p.get(), std::memory_order_release);
  retired = std::move(current);
  current = std::move(p);
}

void prepare_blame(const std::vector<Blame_Site>& sites)
{
  running.publish(sites);
}

void prepare_opening(const Blame_Site* site)
{
  if (deaths_fd < 0)
    return;
  if (site == 0)
    opening.block.store(nullptr, std::memory_order_release);
  else
    opening.publish({*site});
}

size_t note_death(const char* library, const char* services, const char* cause)
{
  if (deaths_fd < 0 || death_noted.exchange(true))
    return 0;
  int const saved = errno;
  struct stat st;
  if (::fstat(deaths_fd, &st) != 0 || st.st_size >= DEATHS_FILE_LIMIT) {
    errno = saved;
    return 0;
  }
  timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  Death_Line line;
  line.head_size = 6 + put_decimal(static_cast<unsigned long long>(now.tv_sec), line.head + 6);
  // The cause as one field: at most a line's worth, tabs and line ends made blanks.
  for (const char* c = cause != 0 ? cause : ""; *c != 0 && line.text_size < sizeof line.text - 1; ++c)
    line.text[line.text_size++] = *c == '\t' || *c == '\n' || *c == '\r' ? ' ' : *c;
  line.text[line.text_size++] = '\n';
  const Prepared* const p = running.block.load(std::memory_order_acquire);
  size_t const n = p != 0 ? p->services.size() : 0;
  bool const by_library = library != 0 && *library != 0;
  size_t written = 0;
  for (size_t k = 0; by_library && k < n; ++k)
    if (p->libraries[k] == library)
      written += line.write(p->tails[k].data(), p->tails[k].size(), 0, 0);
  // The names: each up to ", " or the end, found in what was prepared.
  for (const char* name = services; name != 0 && *name != 0;) {
    const char* end = name;
    while (*end != 0 && *end != ',')
      ++end;
    size_t const len = static_cast<size_t>(end - name);
    size_t k = 0;
    while (k < n && !(p->services[k].size() == len && std::memcmp(p->services[k].data(), name, len) == 0))
      ++k;
    if (k < n && !(by_library && p->libraries[k] == library))
      written += line.write(p->tails[k].data(), p->tails[k].size(), 0, 0);
    else if (k == n && len != 0)
      written += line.write(0, 0, name, len);
    name = end;
    while (*name == ',' || *name == ' ')
      ++name;
  }
  const Prepared* const o = opening.block.load(std::memory_order_acquire);
  if (written == 0 && o != 0 && !o->tails.empty())
    written += line.write(o->tails[0].data(), o->tails[0].size(), 0, 0);
  errno = saved;
  return written;
}
