// The journal's priorities on ACE's own standard-error output.
//
// ACE prints a record to standard error through ACE_Log_Record::print (record, FILE*), both
// for its own logging (while the STDERR flag is set) and where a logging service passes on a
// record it received. That one function is the only place that still knows the record's
// priority, so the host defines it (the executable's definition takes precedence over the
// library's) and, for standard error under the journal, prints the record with "<N>" before
// each line; everything else goes to ACE's own definition. The flags are left alone: services
// decide by them whether to print at all (ACE's logging handler passes records on only while
// STDERR is set).
//
// ACE prints under its logging lock, from any thread and from the fatal-signal handler too, so
// this path allocates nothing: it formats into stack buffers and writes with write(2).
#include "starter/journal_log.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <ace/Log_Category.h>
#include <ace/Log_Msg.h>
#include <ace/Log_Record.h>

#include "scrt/environ.h"
#include "starter/journal_stream.h"

namespace {

/// ACE's own ACE_Log_Record::print (FILE*), called with the record as its first argument.
typedef int (*print_t)(ACE_Log_Record*, const ACE_TCHAR*, u_long, FILE*);

/// Set once by install_journal_log(), before any thread but the main one runs.
bool journal_on = false;

/// The library's definition, looked up at the first print.
print_t ace_print()
{
  static print_t const next = reinterpret_cast<print_t>(
      ::dlsym(RTLD_NEXT, "_ZN14ACE_Log_Record5printEPKcmP8_IO_FILE"));
  return next;
}

/// The syslog priority the journal reads for ACE priority @a p.
char journal_priority(unsigned long p)
{
  switch (p) {
    case LM_EMERGENCY: return '0';
    case LM_ALERT: return '1';
    case LM_CRITICAL: return '2';
    case LM_ERROR: return '3';
    case LM_WARNING: return '4';
    case LM_NOTICE: return '5';
    case LM_DEBUG:
    case LM_TRACE: return '7';
    default: return '6';  // info, start-up, shutdown
  }
}

/// Writes all of @a n bytes of @a p to standard error, as far as it takes them.
void write_all(const char* p, size_t n)
{
  while (n > 0) {
    ssize_t const w = ::write(STDERR_FILENO, p, n);
    if (w < 0 && errno == EINTR)
      continue;
    if (w <= 0)
      return;
    p += w;
    n -= static_cast<size_t>(w);
  }
}

/// Whether the line at @a p (of @a n bytes) already starts with a priority, "<digit>".
bool has_priority(const char* p, size_t n)
{
  return n >= 3 && p[0] == '<' && p[1] >= '0' && p[1] <= '7' && p[2] == '>';
}

/// Writes @a text to standard error with "<@a priority>" before each line that has none.
void write_prefixed(const char* text, char priority)
{
  char const prefix[3] = {'<', priority, '>'};
  char out[4096];
  size_t used = 0;
  size_t const len = std::strlen(text);
  bool line_start = true;
  for (size_t i = 0; i < len; ++i) {
    if (line_start && !has_priority(text + i, len - i)) {
      if (used + sizeof prefix > sizeof out) {
        write_all(out, used);
        used = 0;
      }
      std::memcpy(out + used, prefix, sizeof prefix);
      used += sizeof prefix;
    }
    if (used == sizeof out) {
      write_all(out, used);
      used = 0;
    }
    out[used++] = text[i];
    line_start = text[i] == '\n';
  }
  write_all(out, used);
}

}  // namespace

int ACE_Log_Record::print(const ACE_TCHAR host_name[], u_long verbose_flag, FILE* fp)
{
  if (!journal_on || fp != stderr || fp == 0) {
    if (print_t const next = ace_print())
      return next(this, host_name, verbose_flag, fp);
  }
  ACE_Log_Priority const p = static_cast<ACE_Log_Priority>(this->type());
  ACE_Log_Category_TSS* const c = this->category();
  if (c != 0 ? c->log_priority_enabled(p) == 0 : ACE_LOG_MSG->log_priority_enabled(p) == 0)
    return 0;
  char text[MAXVERBOSELOGMSGLEN];
  text[0] = 0;
  if (this->format_msg(host_name, verbose_flag, text, sizeof text) != 0)
    return -1;
  if (fp == 0)
    return 0;
  if (journal_on && fp == stderr) {
    write_prefixed(text, journal_priority(p));
    return 0;
  }
  // Only when the library's own definition cannot be found.
  return std::fputs(text, fp) < 0 || std::fflush(fp) != 0 ? -1 : 0;
}

bool install_journal_log()
{
  if (!journal_on && is_journal_stream(get_env_r("JOURNAL_STREAM").c_str(), STDERR_FILENO)) {
    (void)ace_print();
    journal_on = true;
  }
  return journal_on;
}
