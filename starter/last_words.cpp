// The host's last words. Nothing here allocates or takes a lock once a death has begun, but
// for the terminate handler's what(); a step that may fault on a broken process (reading the
// stack, the back trace) runs guarded: a fault inside it jumps back and the step is skipped,
// so the record that came first stays the last word rather than a second fault's silence.
#include "starter/last_words.h"
#include "starter/fault_handoff.h"

#include <execinfo.h>
#include <pthread.h>
#include <setjmp.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <exception>

#include <ace/Service_Types.h>

#include "starter/config/repository.h"
#include "starter/deaths.h"
#include "starter/journal_log.h"
#include "starter/pid_file.h"
#include "starter/service_map.h"

// ---------------------------------------------------------------------------------------------
// Text and output.

Death_Text& Death_Text::add(const char* s)
{
  for (; s != 0 && *s != 0 && size_ + 1 < sizeof text_; ++s)
    text_[size_++] = *s;
  text_[size_] = 0;
  return *this;
}

Death_Text& Death_Text::add(long n)
{
  char digits[24];
  int i = sizeof digits - 1;
  digits[i] = 0;
  unsigned long u = n < 0 ? 0UL - static_cast<unsigned long>(n) : static_cast<unsigned long>(n);
  do
    digits[--i] = static_cast<char>('0' + u % 10);
  while ((u /= 10) != 0);
  if (n < 0)
    digits[--i] = '-';
  return add(digits + i);
}

Death_Text& Death_Text::add_hex(uintptr_t n)
{
  char digits[24];
  int i = sizeof digits - 1;
  digits[i] = 0;
  do
    digits[--i] = "0123456789abcdef"[n % 16];
  while ((n /= 16) != 0);
  digits[--i] = 'x';
  digits[--i] = '0';
  return add(digits + i);
}

Death_Text& Death_Text::end_line()
{
  if (size_ + 1 >= sizeof text_)
    --size_;
  text_[size_++] = '\n';
  text_[size_] = 0;
  return *this;
}

namespace {

/// Writes @a t as one record of syslog @a priority, with its line end.
void say(int priority, Death_Text& t)
{
  t.end_line();
  write_record_to_stderr(t.c_str(), static_cast<char>('0' + priority));
}

int const LOG_EMERG_ = 0, LOG_ALERT_ = 1, LOG_ERR_ = 3;

// ---------------------------------------------------------------------------------------------
// Guarded steps.

/// Where a fault inside a guarded step on this thread jumps back to.
thread_local sigjmp_buf* guard_jump = 0;

/// Runs @a step; false when it faulted (the fatal-signal handler jumped back).
template <class Step>
bool guarded(Step step)
{
  sigjmp_buf here;
  sigjmp_buf* const outer = guard_jump;
  if (sigsetjmp(here, 1) != 0) {
    guard_jump = outer;
    return false;
  }
  guard_jump = &here;
  step();
  guard_jump = outer;
  return true;
}

/// Keeps the death @a t, blamed as @a b, in the deaths file (deaths.h), against the services of
/// the library blamed, or, when none serves a service, the service being opened, if any.
void keep_death(const Death_Blame& b, const Death_Text& t)
{
  bool const served = serves(b.served);
  (void)guarded([&] {
    note_death(served ? b.served->path : 0, served ? b.served->services : 0, t.c_str());
  });
}

/// The thread that is dying: only it speaks. Another thread that faults meanwhile waits for
/// the end rather than interleave a second record with the first.
std::atomic<long> dying_thread(0);

/// True for the first death of the process; false for a second one on the same thread (a fault
/// outside a guarded step), which must end at once.
bool first_death()
{
  long const me = ::syscall(SYS_gettid);
  long none = 0;
  if (dying_thread.compare_exchange_strong(none, me))
    return true;
  if (none == me)
    return false;
  for (;;)
    ::pause();
}

/// Ends the process by @a signo, as its default action would.
[[noreturn]] void end_by(int signo)
{
  struct sigaction dfl;
  ::memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  (void)::sigaction(signo, &dfl, 0);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signo);
  (void)::pthread_sigmask(SIG_UNBLOCK, &set, 0);
  (void)::raise(signo);
  ::_exit(128 + signo);
}

// ---------------------------------------------------------------------------------------------
// The files a death removes.

char socket_path[108];
std::atomic<bool> socket_held(false);
dev_t socket_dev;
ino_t socket_ino;

/// Removes the control socket when its path still names the socket this host made. 0, or the
/// errno of the failure.
int remove_control_socket()
{
  if (!socket_held.exchange(false))
    return 0;
  struct stat st;
  if (::lstat(socket_path, &st) != 0)
    return errno == ENOENT ? 0 : errno;
  if (st.st_dev != socket_dev || st.st_ino != socket_ino)
    return 0;
  return ::unlink(socket_path) == 0 ? 0 : errno;
}

/// Removes the pid file and the control socket, then says so at @a priority.
void remove_files(int priority)
{
  char pid_path[4096] = {0};
  if (const char* const p = held_pid_file())
    ::strncpy(pid_path, p, sizeof pid_path - 1);
  bool const socket = socket_held.load();
  int const pid_err = remove_pid_file_at_death();
  int const socket_err = remove_control_socket();
  if (pid_path[0] == 0 && !socket)
    return;
  Death_Text t;
  t.add("The host ends:");
  if (pid_path[0] != 0) {
    t.add(" the pid file ").add(pid_path);
    pid_err == 0 ? t.add(" removed") : t.add(" not removed, errno=").add(static_cast<long>(pid_err));
  }
  if (socket) {
    t.add(pid_path[0] != 0 ? ";" : "").add(" the control socket ").add(socket_path);
    socket_err == 0 ? t.add(" removed") : t.add(" not removed, errno=").add(static_cast<long>(socket_err));
  }
  say(priority, t);
}

// ---------------------------------------------------------------------------------------------
// Alternate signal stacks.

size_t const ALT_STACK_SIZE = 64 * 1024;

/// The calling thread's alternate stack. A thread's is given back when it ends, by a key's
/// destructor rather than a thread_local one: registering that makes glibc allocate, and a
/// thread's first allocation makes it a malloc arena (64 MB of address space, 132 KB touched)
/// that a thread which never allocates, such as the stall watch, need not have. A key's
/// destructor runs after the thread's thread_local destructors and the destructors of the keys
/// made before it, so a fault in those still finds the stack. The main thread's is kept to the
/// process's end, when a fault in an exit handler may still need it.
thread_local void* alt_stack = 0;
pthread_key_t alt_stack_key;
bool alt_stack_keyed = false;

void release_alt_stack(void* base)
{
  stack_t off;
  ::memset(&off, 0, sizeof off);
  off.ss_flags = SS_DISABLE;
  (void)::sigaltstack(&off, 0);
  (void)::munmap(base, ALT_STACK_SIZE);
  alt_stack = 0;
}

// ---------------------------------------------------------------------------------------------
// The exits that are not signals.

/// Set when main() returns: from then on the process's exit is the host's own.
std::atomic<bool> main_exited(false);

/// on_exit() hook: an exit before main() returns is a service's call of exit() (or of
/// std::exit), which ends the host wherever it is (what ACE's own teardown then finalises is
/// up to ACE). Says so, naming the service on the stack, and removes the files.
void on_exit_without_main(int status, void*)
{
  if (main_exited || !first_death())
    return;
  Death_Text t;
  t.add("A service called exit(").add(static_cast<long>(status)).add("): the host ends;");
  add_thread(t);
  t.add(", ");
  Death_Blame const b = blame_thread(0, 2);
  add_blame(t, b);
  say(LOG_ERR_, t);
  keep_death(b, t);
  remove_files(LOG_ERR_);
}

const char* signal_name(int signo, char (&rt)[32])
{
  if (const char* const d = ::sigdescr_np(signo))
    return d;
  Death_Text t;
  t.add("Real-time signal ").add(static_cast<long>(signo - SIGRTMIN));
  size_t const n = t.size() < sizeof rt - 1 ? t.size() : sizeof rt - 1;
  ::memcpy(rt, t.c_str(), n);
  rt[n] = 0;
  return rt;
}

/// "Signal N (NAME) caught in [THREAD] (thread TID)".
void add_signal(Death_Text& t, int signo)
{
  char rt[32];
  t.add("Signal ").add(static_cast<long>(signo)).add(" (").add(signal_name(signo, rt)).add(") caught");
  add_thread(t);
}

}  // namespace

// ---------------------------------------------------------------------------------------------

void add_thread(Death_Text& t)
{
  char name[16] = "unknown";
  (void)::pthread_getname_np(::pthread_self(), name, sizeof name);
  t.add(" in [").add(name).add("] (thread ").add(static_cast<long>(::syscall(SYS_gettid))).add(")");
}

Death_Blame blame_thread(const void* context, int skip, const void* address)
{
  Death_Blame b;
  uintptr_t pc = 0, sp = 0;
#if defined(__x86_64__)
  if (context != 0) {
    const ucontext_t* const uc = static_cast<const ucontext_t*>(context);
    pc = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
    sp = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
  }
#elif defined(__aarch64__)
  if (context != 0) {
    const ucontext_t* const uc = static_cast<const ucontext_t*>(context);
    pc = static_cast<uintptr_t>(uc->uc_mcontext.pc);
    sp = static_cast<uintptr_t>(uc->uc_mcontext.regs[30]);  // the link register
  }
#endif
  b.interrupted = context != 0;
  b.at = context != 0 ? library_at(pc) : 0;
  if (serves(b.at)) {
    b.served = b.at;
    return b;
  }
  // Code of the host or of ACE reading a service's memory: its objects, or its library's file
  // cut short under it.
  if (address != 0 && serves(library_at(reinterpret_cast<uintptr_t>(address)))) {
    b.served = library_at(reinterpret_cast<uintptr_t>(address));
    b.touched = true;
    return b;
  }
  // A call through a null or stale pointer: the caller's return address is at the top of the
  // stack (in the link register on arm64).
  if (context != 0 && b.at == 0 && sp != 0) {
#if defined(__x86_64__)
    (void)guarded([&] { b.served = library_at(*reinterpret_cast<const uintptr_t*>(sp)); });
#else
    b.served = library_at(sp);
#endif
    if (serves(b.served))
      return b;
    b.served = 0;
  }
  (void)guarded([&] {
    void* frames[64];
    int const n = ::backtrace(frames, 64);
    if (n > skip)
      b.served = service_library_among(frames + skip, n - skip);
  });
  return b;
}

void add_blame(Death_Text& t, const Death_Blame& b)
{
  if (b.at != 0 && b.at != b.served)
    t.add("in ").add(b.at->path).add(b.at->loaded ? "" : " (unloaded since)");
  if (b.served != 0) {
    t.add(b.at == b.served ? "in " : b.touched ? (b.at != 0 ? ", touching " : "touching ")
          : b.at != 0 ? ", called from " : b.interrupted ? "in no library, called from " : "from ");
    t.add(b.served->path).add(b.served->loaded ? "" : " (unloaded since)");
    t.add(", which serves ").add(b.served->services);
  } else {
    t.add(b.at != 0 ? ", " : "").add("with no service's code on the stack");
  }
}

void prepare_last_words()
{
  std::set_terminate(handle_terminate);
  adopt_alt_stack(new_alt_stack());
  alt_stack_keyed = ::pthread_key_create(&alt_stack_key, release_alt_stack) == 0;
  void* frames[2];
  (void)::backtrace(frames, 2);
}

void watch_for_service_exit()
{
  ::on_exit(on_exit_without_main, 0);
}

void main_returns()
{
  main_exited = true;
}

void* new_alt_stack()
{
  void* const base = ::mmap(0, ALT_STACK_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  return base == MAP_FAILED ? 0 : base;
}

void adopt_alt_stack(void* base)
{
  if (base == 0)
    return;
  stack_t st;
  ::memset(&st, 0, sizeof st);
  st.ss_sp = base;
  st.ss_size = ALT_STACK_SIZE;
  if (alt_stack != 0 || ::sigaltstack(&st, 0) != 0) {
    drop_alt_stack(base);
    return;
  }
  alt_stack = base;
  // Without the key (the main thread's, or none could be made) the stack stays to the end.
  if (alt_stack_keyed)
    (void)::pthread_setspecific(alt_stack_key, base);
}

void drop_alt_stack(void* base)
{
  if (base != 0)
    (void)::munmap(base, ALT_STACK_SIZE);
}

void note_control_socket(const char* path, dev_t dev, ino_t ino)
{
  socket_held = false;
  ::strncpy(socket_path, path, sizeof socket_path - 1);
  socket_dev = dev;
  socket_ino = ino;
  socket_held = true;
}

void forget_control_socket()
{
  socket_held = false;
}

void die_of_fatal_signal(int signo, siginfo_t* info, void* context)
{
  if (guard_jump != 0)
    siglongjmp(*guard_jump, 1);
  if (hand_fault_to_service(signo, info, context))
    return;
  if (first_death()) {
    Death_Text t;
    add_signal(t, signo);
    if (info != 0 && info->si_code > 0 &&
        (signo == SIGSEGV || signo == SIGBUS || signo == SIGILL || signo == SIGFPE))
      t.add(" at address ").add_hex(reinterpret_cast<uintptr_t>(info->si_addr));
    t.add(": ");
    bool const addressed = info != 0 && info->si_code > 0 &&
                           (signo == SIGSEGV || signo == SIGBUS || signo == SIGILL || signo == SIGFPE);
    Death_Blame const b = blame_thread(context, 2, addressed ? info->si_addr : 0);
    add_blame(t, b);
    say(LOG_ALERT_, t);
    keep_death(b, t);
    remove_files(LOG_ALERT_);
    Death_Text head;
    say(LOG_ALERT_, head.add("The back trace:"));
    (void)guarded([] {
      void* frames[64];
      int const n = ::backtrace(frames, 64);
      // A frame a line: each gets its priority prefix under the journal.
      for (int i = 0; i < n; ++i) {
        write_record_to_stderr(journal_log_installed() ? "<1>" : "", '1');
        ::backtrace_symbols_fd(frames + i, 1, 2);
      }
    });
  }
  end_by(signo);
}

void die_of_unhandled_signal(int signo)
{
  if (first_death()) {
    Death_Text t;
    add_signal(t, signo);
    t.add(", which the host does not handle: ending by it");
    say(LOG_ERR_, t);
    remove_files(LOG_ERR_);
  }
  end_by(signo);
}

void die_of_stop_deadline(int seconds, int status, const void* context, const char* loop)
{
  if (!first_death())
    ::_exit(status);
  Death_Text t;
  t.add("The stop did not complete within ").add(static_cast<long>(seconds));
  t.add(" s of its request: exiting with status ").add(static_cast<long>(status));
  t.add(", without finalising the services that are left:");
  size_t const listed = t.size();
  (void)guarded([&t, listed] {
    for_each_service([&t, listed](const ACE_Service_Type* s) {
      if (s->type() != 0 && s->active() && !s->fini_called())
        t.add(t.size() == listed ? " " : ", ").add(s->name());
    });
  });
  if (t.size() == listed)
    t.add(" none");
  t.add(";");
  add_thread(t);
  t.add(", ");
  Death_Blame const b = blame_thread(context, 2);
  add_blame(t, b);
  // The loop's stall, unless it is this thread's, just said.
  Death_Text me;
  me.add("(thread ").add(static_cast<long>(::syscall(SYS_gettid))).add(")");
  if (loop != 0 && *loop != 0 && ::strstr(loop, me.c_str()) == 0)
    t.add("; the loop: ").add(loop);
  say(LOG_ERR_, t);
  keep_death(b, t);
  remove_files(LOG_ERR_);
  ::_exit(status);
}

void handle_terminate()
{
  if (first_death()) {
    Death_Text t;
    try {
      throw;  // with nothing pending this re-enters the handler, which then aborts silently
    } catch (const std::exception& e) {
      t.add("Unhandled exception is caught, ").add(e.what()).add(";");
    } catch (...) {
      t.add("Unknown/unhandled exception is caught;");
    }
    add_thread(t);
    t.add(", ");
    Death_Blame const b = blame_thread(0, 1);
    add_blame(t, b);
    say(LOG_EMERG_, t);
    keep_death(b, t);
    remove_files(LOG_EMERG_);
  }
  // The abort is this record's own end: the fatal-signal handler must not speak again.
  end_by(SIGABRT);
}
