/**
 * @file journal_stream.h
 *
 * Whether a descriptor is the journal's stream, which reads a leading "<N>" on each line as its
 * priority: systemd names the stream's device and inode in JOURNAL_STREAM. Shared by the host
 * and the control client, which link nothing else in common.
 */
#ifndef STARTER_JOURNAL_STREAM_H
#define STARTER_JOURNAL_STREAM_H

#include <sys/stat.h>

#include <climits>

/// Reads the decimal at @a p into @a v, up to the first byte that is no digit, which it returns;
/// null when there is no digit or the value does not fit.
inline const char* read_journal_stream_number(const char* p, unsigned long long& v)
{
  const char* const begin = p;
  for (v = 0; *p >= '0' && *p <= '9'; ++p) {
    unsigned const d = static_cast<unsigned>(*p - '0');
    if (v > (ULLONG_MAX - d) / 10)
      return nullptr;
    v = v * 10 + d;
  }
  return p == begin ? nullptr : p;
}

/// Whether @a value, JOURNAL_STREAM's "DEVICE:INODE" (decimal; null when it is not set), names
/// the file open on @a fd.
inline bool is_journal_stream(const char* value, int fd)
{
  unsigned long long dev = 0;
  unsigned long long ino = 0;
  const char* p = value != nullptr ? read_journal_stream_number(value, dev) : nullptr;
  p = p != nullptr && *p == ':' ? read_journal_stream_number(p + 1, ino) : nullptr;
  struct stat st;
  return p != nullptr && *p == 0 && ::fstat(fd, &st) == 0 &&
         static_cast<unsigned long long>(st.st_dev) == dev &&
         static_cast<unsigned long long>(st.st_ino) == ino;
}

#endif /* STARTER_JOURNAL_STREAM_H */
