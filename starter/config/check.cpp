// The configuration check: the files the Service Configurator is to read, their directives
// (grammar.h), and the libraries and factories the "dynamic" ones name.
#include "starter/config/check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include <ace/DLL.h>

#include "starter/config/libraries.h"

namespace {

/// The name ACE's loader looks up for the factory @a symbol.
std::string factory_symbol(const Conf_Dynamic& d)
{
#if defined(ACE_HAS_VERSIONED_NAMESPACE) && ACE_HAS_VERSIONED_NAMESPACE == 1
#define STARTER_STR_I(X) #X
#define STARTER_STR(X) STARTER_STR_I(X)
  if (d.function && d.symbol.compare(0, 6, "_make_") == 0)
    return "_make_" STARTER_STR(ACE_VERSIONED_NAMESPACE_NAME) "_" + d.symbol.substr(6);
#endif
  return d.symbol;
}

/// Loads the library of @a d through ACE's loader, into @a loaded, and looks up its factory.
void check_library(const Conf_Dynamic& d, const std::string& where, Held_Libraries& loaded,
                   std::vector<Conf_Problem>& problems)
{
  ACE_DLL& dll = loaded.add();
  if (dll.open(d.path.c_str(), ACE_DEFAULT_SHLIB_MODE, true) == -1) {
    // The loader tells one reason per name it tried, a line each.
    std::string why = dll.error() != 0 ? dll.error() : "not found";
    while (!why.empty() && why.back() == '\n')
      why.pop_back();
    for (size_t nl; (nl = why.find('\n')) != std::string::npos;)
      why.replace(nl, 1, "; ");
    problems.push_back(Conf_Problem{where, d.line, "service " + d.name + ": cannot load library '" +
                                                       d.path + "': " + why});
    return;
  }
  std::string const symbol = factory_symbol(d);
  if (dll.symbol(symbol.c_str()) == 0)
    problems.push_back(Conf_Problem{where, d.line, "service " + d.name + ": library '" + d.path +
                                                       "' has no symbol '" + symbol + "'"});
}

/// check_directives() with the libraries kept in @a loaded; none are loaded when it is null.
void check_text(const std::string& text, const std::string& where, Held_Libraries* loaded,
                std::vector<Conf_Problem>& problems, std::vector<Conf_Entry>* entries = nullptr)
{
  std::vector<Conf_Dynamic> const dynamics = read_directives(text, where, problems, entries);
  if (loaded != 0)
    for (const Conf_Dynamic& d : dynamics)
      check_library(d, where, *loaded, problems);
}

}  // namespace

std::string format_problem(const Conf_Problem& p)
{
  if (p.line == 0)
    return p.where + ": " + p.message;
  return p.where + ":" + std::to_string(p.line) + ": " + p.message;
}

void check_directives(const std::string& text, const std::string& where, bool load,
                      std::vector<Conf_Problem>& problems)
{
  Held_Libraries loaded;
  check_text(text, where, load ? &loaded : 0, problems);
}

/// Opens @a path without blocking on a FIFO; -1 with @a why when it is no readable regular file.
/// Sets @a size, when not null, to the file's size as it opened.
static int open_conf_file(const std::string& path, std::string& why, size_t* size = nullptr)
{
  int const fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    why = std::strerror(errno);
    return -1;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    why = "not a regular file";
    ::close(fd);
    return -1;
  }
  if (size != 0)
    *size = static_cast<size_t>(st.st_size);
  return fd;
}

/// check_conf_file() with the libraries kept in @a loaded, as check_text(); the text goes into
/// @a texts, when not null, if the file was read whole.
static void check_file(const std::string& path, Held_Libraries* loaded,
                       std::vector<Conf_Problem>& problems, Conf_Texts* texts = nullptr,
                       std::vector<Conf_Entry>* entries = nullptr)
{
  std::string why;
  size_t size = 0;
  int const fd = open_conf_file(path, why, &size);
  if (fd < 0) {
    problems.push_back(Conf_Problem{path, 0, "cannot be read: " + why});
    return;
  }
  // One read takes the whole file as it opened, and one byte more to see that it ended: a
  // regular file reads short only at its end.
  std::string text;
  bool whole = true;
  for (size_t want = size + 1;; want = 8192) {
    size_t const at = text.size();
    text.resize(at + want);
    ssize_t const got = ::read(fd, &text[at], want);
    text.resize(at + (got > 0 ? static_cast<size_t>(got) : 0));
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0) {
      problems.push_back(Conf_Problem{path, 0, std::string("cannot be read: ") + std::strerror(errno)});
      whole = false;
    }
    if (got < 0 || static_cast<size_t>(got) < want)
      break;
  }
  ::close(fd);
  check_text(text, path, loaded, problems, entries);
  if (texts != 0 && whole)
    (*texts)[path] = std::move(text);
}

void check_conf_file(const std::string& path, bool load, std::vector<Conf_Problem>& problems)
{
  Held_Libraries loaded;
  check_file(path, load ? &loaded : 0, problems);
}

void check_files_and_directives(const std::vector<std::string>& files,
                                const std::vector<std::string>& directives,
                                std::vector<Conf_Problem>& problems, Conf_Texts* texts,
                                Held_Libraries* held, std::vector<Conf_Entry>* entries)
{
  Held_Libraries own;
  Held_Libraries& loaded = held != 0 ? *held : own;
  for (const std::string& f : files)
    check_file(f, &loaded, problems, texts, entries);
  for (const std::string& s : directives)
    check_text(s, "-S '" + s + "'", &loaded, problems);
}
