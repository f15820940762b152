// The journal's log backend: ACE's own record text, with "<N>" before each of its lines.
//
// ACE calls the backend under its logging lock, from any thread and from the fatal-signal
// handler too, so the backend allocates nothing: it formats into stack buffers and writes
// with write(2).
#include "starter/journal_log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include <ace/Log_Msg.h>
#include <ace/Log_Msg_Backend.h>
#include <ace/Log_Record.h>

#include "scrt/environ.h"
#include "scrt/natoi.h"

namespace {

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

class Journal_Backend : public ACE_Log_Msg_Backend
{
public:
  int open(const ACE_TCHAR*) override { return 0; }
  int reset() override { return 0; }
  int close() override { return 0; }

  ssize_t log(ACE_Log_Record& record) override
  {
    ACE_Log_Msg* const msg = ACE_Log_Msg::instance();
    char text[ACE_Log_Record::MAXVERBOSELOGMSGLEN];
    text[0] = 0;
    if (record.format_msg(msg->local_host(), msg->flags(), text, sizeof text) != 0)
      return -1;
    char const prefix[3] = {'<', journal_priority(record.type()), '>'};
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
    return static_cast<ssize_t>(len);
  }
};

/// Lives for the whole process: ACE may log until its very end.
Journal_Backend* journal_backend = 0;

/// Whether JOURNAL_STREAM ("DEVICE:INODE", decimal) names standard error.
bool stderr_is_journal()
{
  std::string const stream = get_env_r("JOURNAL_STREAM");
  const char* colon = 0;
  unsigned long long const dev = natoi<unsigned long long>(stream.c_str(), nullptr, &colon);
  if (stream.empty() || errno != 0 || colon == 0 || *colon != ':')
    return false;
  const char* end = 0;
  unsigned long long const ino = natoi<unsigned long long>(colon + 1, nullptr, &end);
  if (errno != 0 || end == 0 || *end != 0)
    return false;
  struct stat st;
  return ::fstat(STDERR_FILENO, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == dev &&
         static_cast<unsigned long long>(st.st_ino) == ino;
}

}  // namespace

bool install_journal_log()
{
  if (journal_backend != 0 || !stderr_is_journal())
    return journal_backend != 0;
  journal_backend = new (std::nothrow) Journal_Backend;
  if (journal_backend == 0)
    return false;
  ACE_Log_Msg::msg_backend(journal_backend);
  reassert_journal_log();
  return true;
}

void reassert_journal_log()
{
  if (journal_backend == 0)
    return;
  ACE_Log_Msg* const msg = ACE_Log_Msg::instance();
  msg->set_flags(ACE_Log_Msg::CUSTOM);
  msg->clr_flags(ACE_Log_Msg::STDERR);
}
