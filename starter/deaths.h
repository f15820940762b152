/**
 * @file deaths.h
 *
 * The deaths file in the state directory ("--state-dir"): one line per service blamed for a
 * death of the host, and one per service set aside for it, kept across restarts. The dying
 * host appends to it from signal context: what it writes about each service is prepared while
 * the services open, the file is held open for appending, and a death costs one write(2) per
 * service blamed, without allocating or locking. A line is
 *
 *   KIND TAB EPOCH TAB SERVICE TAB LIBRARY TAB STAMP TAB DIRECTIVE TAB TEXT
 *
 * KIND "death" or "quarantine"; LIBRARY the file the service was loaded from and STAMP that
 * file's device:inode:size:mtime when it was loaded ("-" each for a static service);
 * DIRECTIVE a hash of the service's directive; TEXT the cause of a death, or the deaths a
 * quarantine counted. A line that does not read so (one cut short by a full disk) is skipped.
 * Failures return false with errno; nothing here logs.
 */
#ifndef STARTER_DEATHS_H
#define STARTER_DEATHS_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "starter/config/libraries.h"

/// What the dying host can say about one service it may blame: prepared while it opens.
struct Blame_Site
{
  std::string service;
  std::string library;     ///< the file it was loaded from; empty for a static service
  Library_Stamp stamp;     ///< that file when it was loaded
  bool stamped = false;
  uint64_t directive = 0;  ///< directive_hash() of the directive that opened it
};

/// One line of the deaths file.
struct Death_Record
{
  enum Kind { DEATH, QUARANTINE };
  Kind kind = DEATH;
  time_t at = 0;
  Blame_Site site;
  std::string text;  ///< a death's cause; a quarantine's count of deaths
};

/// The deaths file's size past which the dying host writes no more (the start-up compacts it).
static const off_t DEATHS_FILE_LIMIT = 8 << 20;

/// The hash of a directive's normal form (Conf_Entry::normal) the file keeps.
uint64_t directive_hash(const std::string& normal);

/// @a r as one line of the file, without its newline; tabs and line ends in its fields become
/// blanks.
std::string format_death_record(const Death_Record& r);

/// Reads one line (without its newline) into @a r; false when it is not a record.
bool parse_death_record(const std::string& line, Death_Record& r);

/**
 * Opens (creating it, mode 0640) the deaths file in the directory @a dir, which is made when
 * missing, and holds it open for appending. False, with errno, when it cannot be.
 */
bool open_deaths_file(const std::string& dir);

/// The path of the deaths file opened; empty when none is.
const std::string& deaths_file();

/// Reads every record of the deaths file into @a out. False, with errno, when it cannot be read.
bool read_deaths_file(std::vector<Death_Record>& out);

/// Puts @a records in place of the deaths file's content (written whole beside it and renamed
/// into place), and appends to the new file from then on. False, with errno, when it is not.
bool rewrite_deaths_file(const std::vector<Death_Record>& records);

/// Prepares what note_death() writes for each of @a sites, in place of what was prepared
/// before. From one thread at a time.
void prepare_blame(const std::vector<Blame_Site>& sites);

/// Prepares what note_death() writes for the service @a site while it is being opened (null:
/// none is), so that a death in its init, before it is among the prepared services, is its.
/// Nothing without a deaths file. From one thread at a time.
void prepare_opening(const Blame_Site* site);

/**
 * Async-signal-safe, for the dying paths: appends a death at the time of the call, caused by
 * @a cause (one line of text), to each service opened from the library file @a library (null
 * or empty for none) and to each service named in @a services (names separated by ", ";
 * null for none), once each; when that blames no service, to the service being opened, if
 * any (prepare_opening()). A name nothing was prepared for is written without library or
 * directive. Only the first call in the process writes: one death is counted once. Returns
 * the number of records written; 0 when no deaths file is open or the file has reached
 * DEATHS_FILE_LIMIT.
 */
size_t note_death(const char* library, const char* services, const char* cause);

#endif /* STARTER_DEATHS_H */
