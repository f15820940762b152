// Reading the configuration files a check goes through, one at a time or with a second thread
// reading ahead.
#include "starter/config/conf_files.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "starter/config/grammar.h"

int Conf_Dir::open(const std::string& path, int flags)
{
  size_t const slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0 || slash + 1 == path.size())
    return ::open(path.c_str(), flags);
  if (dir_.size() != slash || path.compare(0, slash, dir_) != 0) {
    forget();
    dir_.assign(path, 0, slash);
    return ::open(path.c_str(), flags);
  }
  if (fd_ < 0 && !failed_) {
    fd_ = ::open(dir_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    failed_ = fd_ < 0;
  }
  return fd_ >= 0 ? ::openat(fd_, path.c_str() + slash + 1, flags) : ::open(path.c_str(), flags);
}

void Conf_Dir::forget()
{
  if (fd_ >= 0)
    ::close(fd_);
  fd_ = -1;
  failed_ = false;
}

void read_conf_file(Conf_Dir& dir, const std::string& path, Conf_Read& out)
{
  // Never blocks on a FIFO; what is no regular file is refused before a byte is read.
  int const fd = dir.open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    out.open_error = errno;
    return;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    out.open_error = -1;
    ::close(fd);
    return;
  }
  // Read in pieces up to the limit and one byte more: the size the file had when it opened
  // says nothing of what a read finds, and a huge (or sparse) one must not be taken whole.
  // The pieces go through a buffer that stays in the cache, and only the directives' lines are
  // kept (see Directive_Text): a large commented file costs no memory to speak of.
  Directive_Text kept;
  size_t read_in_all = 0;
  char buf[65536];
  for (;;) {
    size_t const want = std::min<size_t>(sizeof buf, CONF_MAX_FILE_SIZE + 1 - read_in_all);
    ssize_t const got = ::read(fd, buf, want);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      out.read_error = errno;
    if (got > 0) {
      kept.add(buf, static_cast<size_t>(got));
      read_in_all += static_cast<size_t>(got);
    }
    if (got <= 0 || read_in_all > CONF_MAX_FILE_SIZE)
      break;
    // A short read of a regular file that has given all it held as it opened is its end: the
    // read that would find nothing more is spared (one system call per file of a conf
    // directory). A file whose size says nothing (0 from some file systems) reads on to its end.
    if (static_cast<size_t>(got) < want && static_cast<off_t>(read_in_all) == st.st_size)
      break;
  }
  ::close(fd);
  out.too_large = read_in_all > CONF_MAX_FILE_SIZE;
  out.text = std::move(kept.text);
}

/// Whether this process may run on more than one processor now (its affinity, not the
/// machine's count: a host pinned to one gains nothing from a second thread).
static bool more_than_one_processor()
{
  cpu_set_t set;
  CPU_ZERO(&set);
  return ::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 1;
}

Conf_Read_Ahead::Conf_Read_Ahead(const std::vector<std::string>& files) : files_(files)
{
  if (files.size() < MIN_FILES || !more_than_one_processor())
    return;
  slots_.reset(new (std::nothrow) Slot[files.size()]);
  if (!slots_)
    return;
  // The reading thread takes no signal sent to the process: those are the host's, taken by the
  // threads that expect them. A fault of its own still reaches the host's fault handler (a
  // blocked one would end the process unreported).
  sigset_t all, old;
  sigfillset(&all);
  for (int fault : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS})
    sigdelset(&all, fault);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  started_ = ::pthread_create(&thread_, nullptr, &Conf_Read_Ahead::run, this) == 0;
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (!started_)
    slots_.reset();
}

Conf_Read_Ahead::~Conf_Read_Ahead()
{
  if (!started_)
    return;
  // What is not yet claimed is claimed here, so the thread ends at its current file.
  next_.store(files_.size());
  ::pthread_join(thread_, nullptr);
}

void* Conf_Read_Ahead::run(void* self)
{
  Conf_Read_Ahead* const ahead = static_cast<Conf_Read_Ahead*>(self);
  Conf_Dir dir;
  while (ahead->read_next(dir)) {
  }
  return nullptr;
}

bool Conf_Read_Ahead::read_next(Conf_Dir& dir)
{
  size_t const i = next_.fetch_add(1);
  if (i >= files_.size())
    return false;
  read_conf_file(dir, files_[i], slots_[i].read);
  slots_[i].done.store(true);
  // Both flags are sequentially consistent: either the taker sees this slot done, or this
  // thread sees it waiting and wakes it under the lock it waits with.
  if (waiting_.load()) {
    std::lock_guard<std::mutex> guard(lock_);
    done_.notify_one();
  }
  return true;
}

Conf_Read& Conf_Read_Ahead::take(size_t i, Conf_Dir& dir)
{
  if (!started_) {
    own_ = Conf_Read();
    read_conf_file(dir, files_[i], own_);
    return own_;
  }
  Slot& slot = slots_[i];
  // While the file wanted is being read by the other thread, this one reads the next ones.
  while (!slot.done.load() && read_next(dir)) {
  }
  if (!slot.done.load()) {
    std::unique_lock<std::mutex> guard(lock_);
    waiting_.store(true);
    done_.wait(guard, [&slot] { return slot.done.load(); });
    waiting_.store(false);
  }
  return slot.read;
}
