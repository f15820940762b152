/**
 * @file conf_files.h
 *
 * Reading the configuration files a check goes through: each opened without blocking (a FIFO
 * or a device is refused, not read), read up to the size limit, its directive lines kept
 * (grammar.h: Directive_Text). What a read found is returned, never logged here. On a machine
 * with more than one processor a long list of files is read ahead by a second thread while
 * the first checks them, in order; what each read finds is the same either way.
 */
#ifndef STARTER_CONF_FILES_H
#define STARTER_CONF_FILES_H

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

/// The largest configuration file the check reads; a larger one is refused unread.
static const size_t CONF_MAX_FILE_SIZE = 16 * 1024 * 1024;

/// What reading one configuration file found.
struct Conf_Read
{
  std::string text;     ///< the directive lines read (Directive_Text), whole or in part
  int open_error = 0;   ///< errno of a failed open, -1 for no regular file; nothing read
  int read_error = 0;   ///< errno of a read that failed after @a text
  bool too_large = false;  ///< more than CONF_MAX_FILE_SIZE: @a text is not to be used
};

/**
 * The directory of the files a check opens, held once a second file of it comes: the files
 * of one directory (a conf directory's) are then opened by name against it, and the kernel
 * walks one component of each path, not all of them. A file alone costs nothing more. Not
 * shared between threads.
 */
class Conf_Dir
{
public:
  Conf_Dir() = default;
  Conf_Dir(const Conf_Dir&) = delete;
  Conf_Dir& operator=(const Conf_Dir&) = delete;
  ~Conf_Dir() { forget(); }

  /// open(2) of @a path with @a flags, by its last component when its directory is held.
  int open(const std::string& path, int flags);

private:
  void forget();
  std::string dir_;
  int fd_ = -1;
  bool failed_ = false;  ///< the directory could not be held: paths are opened whole
};

/// Reads the configuration file @a path (through @a dir) into @a out, which starts empty.
void read_conf_file(Conf_Dir& dir, const std::string& path, Conf_Read& out);

/**
 * @class Conf_Read_Ahead
 *
 * @brief The reads of a list of files, taken in order, some made ahead by a second thread.
 *
 * The thread is started only for a list long enough to pay for it, and only where the process
 * may run on more than one processor; otherwise, or when it cannot be started, each file is
 * read as it is taken. The thread takes no signal sent to the process (its own faults only)
 * and is joined by the destructor.
 */
class Conf_Read_Ahead
{
public:
  /// Starts reading @a files (kept by reference: unchanged while this lives).
  explicit Conf_Read_Ahead(const std::vector<std::string>& files);
  ~Conf_Read_Ahead();
  Conf_Read_Ahead(const Conf_Read_Ahead&) = delete;
  Conf_Read_Ahead& operator=(const Conf_Read_Ahead&) = delete;

  /// The read of file @a i, read through @a dir if no thread has; each @a i taken once, in
  /// ascending order. Valid until the next call.
  Conf_Read& take(size_t i, Conf_Dir& dir);

  /// Whether a second thread reads ahead.
  bool reading_ahead() const { return started_; }

  /// The shortest list a second thread is started for.
  static const size_t MIN_FILES = 64;

private:
  struct Slot
  {
    Conf_Read read;
    std::atomic<bool> done{false};
  };
  static void* run(void* self);
  /// Reads the next file nobody has claimed; false when none is left.
  bool read_next(Conf_Dir& dir);

  const std::vector<std::string>& files_;
  std::unique_ptr<Slot[]> slots_;
  std::atomic<size_t> next_{0};      ///< the next file to claim
  std::atomic<bool> waiting_{false};  ///< the taker sleeps until a slot is done
  std::mutex lock_;
  std::condition_variable done_;
  pthread_t thread_;
  bool started_ = false;
  Conf_Read own_;  ///< the read taken when no thread reads ahead
};

#endif /* STARTER_CONF_FILES_H */
