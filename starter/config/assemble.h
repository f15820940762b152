/**
 * @file assemble.h
 *
 * Builds the Service Configurator's argument vector out of the host's command line: keeps the
 * Configurator's own options in command-line order, drops everything else (the host's long
 * options among them, and "-b" and "-p", which the host carries out itself), and expands each
 * "-f" that names a directory into one "-f" per regular "*.conf" file in it, in byte order of
 * the paths. A relative "-f" path is taken against the base directory the caller gives, so
 * that a host which has since changed directory reads what the operator named.
 *
 * Words from the command line go through ACE's argument vector one at a time, so environment
 * references and quoting work as the Configurator's users expect. File names found in a
 * directory are not shell words: they reach the vector byte for byte, whatever they hold
 * (blanks, quotes, backslashes, a leading "$"). A "-f" word that names a directory only after
 * its environment reference is replaced is expanded as well, so ACE is never handed a
 * directory as a configuration file; one that quoting and substitution turn into no element or
 * several is handed on as written, so it can never swallow the option after it. The only
 * record logged here is the one for a word whose reference is too long to substitute.
 */
#ifndef STARTER_OPEN_SERVICE_CONFIG_H
#define STARTER_OPEN_SERVICE_CONFIG_H

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <ace/ACE.h>
#include <ace/ARGV.h>
#include <ace/Dirent.h>
#include <ace/Get_Opt.h>

#include "scrt/env_expansion.h"
#include "scrt/inline_util.h"
#include "scrt/log_macros.h"
#include "scrt/string_sprintf.h"

/**
 * Scans @a argc / @a argv (only read; @a argv[0] is the program path when @a skip_first_arg,
 * else the literal "dummy" heads the new vector), builds the Service Configurator's argument
 * vector and returns what @a open_service(argc, argv) returns for it. The vector lives only
 * for that call. Relative "-f" paths are taken against @a base_dir when it is not null or empty.
 */
template <class F>
bool open_service_config(int argc, char** argv, bool skip_first_arg, F open_service,
                         const char* base_dir = nullptr);

/// The Service Configurator's short options, as ACE_Get_Opt reads them: the one statement of
/// which options it has and which take an argument.
static const char SVC_CONF_OPTIONS[] = "bdf:k:nyp:s:S:";

/// One of the Service Configurator's options on the command line, with its argument (empty
/// for an option that takes none).
struct Conf_Word
{
  char option;
  std::string argument;
};

/// The Service Configurator's options in @a argc / @a argv (only read; argv[0] is skipped
/// when @a skip_first_arg), in command-line order; every other word is passed over.
inline std::vector<Conf_Word> service_config_words(int argc, char** argv, bool skip_first_arg);

/// The arguments the Service Configurator's short option @a option has in @a argv (argv[0]
/// being the program path), in command-line order, read exactly as open_service_config()
/// reads them; an empty string for each occurrence of an option without argument.
inline std::vector<std::string> find_service_config_option(int argc, char** argv, int option);

/// A "-f" word of the command line and the path it names (path_of_word()).
struct Named_File
{
  std::string word;
  std::string path;     ///< made absolute against the base directory
  size_t elements = 0;  ///< the elements quoting and substitution make of @a word
  bool fits = true;     ///< whether @a word could take substitution
  bool walked = false;  ///< whether @a path was read as a conf directory
  size_t conf_files = 0;  ///< when walked, the regular "*.conf" files found there
  /// When walked, each other "*.conf" entry passed over, as its path and why, in the order
  /// the directory gave them.
  std::vector<std::pair<std::string, const char*> > skipped;
};

/// The Service Configurator's vector, and the "-f" words it was made from.
struct Assembled_Config
{
  std::vector<std::string> vector;
  std::vector<Named_File> named;
};

/**
 * The vector for @a words (service_config_words()) headed by @a program (through ACE's vector
 * when @a program_is_word, else as it is); relative "-f" paths are taken against @a base_dir
 * when it is not null or empty. Each "-f" word is substituted here, once.
 */
inline Assembled_Config assemble_service_config(const std::string& program, bool program_is_word,
                                                const std::vector<Conf_Word>& words,
                                                const char* base_dir);

/// A null-terminated pointer vector over @a v, valid while @a v is unchanged.
inline std::vector<char*> pointer_vector(std::vector<std::string>& v);

/// Whether every element ACE's argument vector makes of the command-line word @a word can go
/// through ACE's environment substitution; logs nothing.
inline bool fits_substitution(const char* word);

/**
 * The path that the command-line word @a word names: its one element after quoting and
 * environment substitution, or, when that gives no element or several, @a word as written.
 * A relative result is taken against @a base_dir when it is not null or empty. @a elements,
 * when not null, receives the count of elements. A reference too long to substitute is left as
 * written, and logged (LM_ERROR) when @a log.
 */
inline std::string path_of_word(const char* word, const char* base_dir,
                                size_t* elements = nullptr, bool log = true);

/// @a path when it is absolute or empty or @a base_dir is null or empty, else @a base_dir, '/'
/// and @a path.
inline std::string absolute_path(const std::string& path, const char* base_dir);

// End of the public part; the machinery follows.

namespace starter_detail {

/// How a collected word reaches the final vector.
enum Svc_Word_Kind {
  SVC_FLAG,      ///< an option flag of the host's own spelling: as it is
  SVC_WORD,      ///< a command-line word: through ACE's vector, references replaced
  SVC_CONF_ARG,  ///< the path of a "-f" that is no directory as written, substituted
  SVC_PATH       ///< a file found in a configuration directory: byte for byte
};

struct Svc_Word
{
  std::string text;
  Svc_Word_Kind kind;
  size_t named = 0;  ///< for SVC_CONF_ARG, the place of the "-f" word it came from
};

/// Why entry @a e of the directory whose path ends in @a prefix ("dir/") is passed over, or
/// null when it names a regular file, or a link to one. The entry's own type answers without
/// a system call; only a link, a file system that leaves the type unknown, or an entry passed
/// over costs a stat.
inline const char* why_not_regular(const std::string& prefix, const ACE_DIRENT* e)
{
#if defined(_DIRENT_HAVE_D_TYPE)
  if (e->d_type == DT_REG)
    return nullptr;
#endif
  struct stat st;
  if (::stat((prefix + e->d_name).c_str(), &st) != 0)
    return errno == ENOENT ? "a dangling link" : errno == ELOOP ? "a link loop"
                                                                : std::strerror(errno);
  return S_ISREG(st.st_mode) ? nullptr : S_ISDIR(st.st_mode) ? "a directory"
      : S_ISFIFO(st.st_mode) ? "a FIFO" : "not a regular file";
}

/// Sorts @a order, pairs of (a name's first eight bytes as a big-endian number, its place in
/// @a names), into byte order of the names: a radix sort by the numbers, one pass for each
/// byte that is not the same in all of them (the names of a conf directory share most of
/// theirs), then the few runs of equal numbers by the names themselves.
inline void sort_names(std::vector<std::pair<uint64_t, size_t> >& order,
                       const std::vector<std::string>& names)
{
  std::vector<std::pair<uint64_t, size_t> > other(order.size());
  std::vector<size_t> counts(8 * 256);
  for (const auto& o : order)
    for (int b = 0; b < 8; ++b)
      ++counts[b * 256 + (o.first >> (8 * b) & 0xff)];
  for (int b = 0; b < 8; ++b) {
    size_t* const c = &counts[b * 256];
    if (c[order.empty() ? 0 : order[0].first >> (8 * b) & 0xff] == order.size())
      continue;
    size_t at = 0;
    for (int v = 0; v < 256; ++v)
      at += std::exchange(c[v], at);
    for (const auto& o : order)
      other[c[o.first >> (8 * b) & 0xff]++] = o;
    order.swap(other);
  }
  for (size_t i = 0, j; i < order.size(); i = j) {
    for (j = i + 1; j < order.size() && order[j].first == order[i].first; ++j) {
    }
    if (j - i > 1)
      std::sort(order.begin() + static_cast<std::ptrdiff_t>(i),
                order.begin() + static_cast<std::ptrdiff_t>(j),
                [&names](const std::pair<uint64_t, size_t>& a,
                         const std::pair<uint64_t, size_t>& b) {
                  return names[a.second] < names[b.second];
                });
  }
}

/// Adds to @a files the regular "*.conf" files of directory @a dir, in byte order of their
/// paths, and notes in @a walked, when not null, what was found and passed over. Returns
/// false, adding nothing, when @a dir cannot be opened as a directory.
inline bool collect_conf_files(const char* dir, std::vector<std::string>& files,
                               Named_File* walked = nullptr)
{
  ACE_Dirent d;
  if (d.open(dir) == -1)
    return false;
  std::string const prefix = std::string(dir) + '/';
  // The names share the prefix, so they sort as the paths do. The first eight bytes of a name,
  // as one big-endian number, settle most comparisons without reading the strings; the sort
  // moves that number and the name's place, not the name (10,000 names: a fifth of the cost).
  std::vector<std::string> names;
  std::vector<std::pair<uint64_t, size_t> > order;
  for (ACE_DIRENT* e = d.read(); e != 0; e = d.read())
    if (!ACE::isdotdir(e->d_name) && is_file_extension(e->d_name, "conf")) {
      if (const char* why = why_not_regular(prefix, e)) {
        if (walked != nullptr)
          walked->skipped.emplace_back(prefix + e->d_name, why);
        continue;
      }
      uint64_t key = 0;
      const char* c = e->d_name;
      for (int i = 0; i < 8; ++i, c += *c != 0 ? 1 : 0)
        key = key << 8 | static_cast<unsigned char>(*c);
      order.emplace_back(key, names.size());
      names.emplace_back(e->d_name);
    }
  sort_names(order, names);
  files.reserve(files.size() + names.size());
  for (const auto& o : order) {
    std::string path;
    path.reserve(prefix.size() + names[o.second].size());
    files.push_back(std::move(path.append(prefix).append(names[o.second])));
  }
  if (walked != nullptr) {
    walked->walked = true;
    walked->conf_files = names.size();
  }
  return true;
}

/// Appends the elements that ACE's vector makes of the one command-line word @a word,
/// references replaced when @a substitute.
inline void append_elements(const char* word, bool substitute, std::vector<std::string>& out)
{
  ACE_ARGV args(substitute);
  if (args.add(word, true) == -1)
    return;
  int const n = args.argc();
  char** const v = args.argv();
  for (int i = 0; v != 0 && i < n && v[i] != 0; ++i)
    out.push_back(v[i]);
}

/// Appends the elements that ACE's vector makes of the one command-line word @a word. ACE
/// substitutes each element on its own, so each is measured on its own; when one does not fit,
/// the word's elements are appended as written, with one record when @a log.
inline void append_substituted(const char* word, std::vector<std::string>& out, bool log = true)
{
  if (fits_substitution(word)) {
    append_elements(word, true, out);
    return;
  }
  if (log) {
    SCRT_LOG(0, (LM_ERROR, "Left '%.64C...' unsubstituted: its environment reference is longer "
                           "than %d characters\n", word, ACE_DEFAULT_ARGV_BUFSIZ - 1));
  }
  append_elements(word, false, out);
}

}  // namespace starter_detail

inline std::vector<Conf_Word> service_config_words(int argc, char** argv, bool skip_first_arg)
{
  std::vector<Conf_Word> words;
  ACE_Get_Opt opt(argc, argv, SVC_CONF_OPTIONS, skip_first_arg ? 1 : 0, 0,
                  ACE_Get_Opt::RETURN_IN_ORDER, 0);
  for (int c; (c = opt()) != -1;)
    if (c > 1 && c != '?' && c != ':')
      words.push_back(Conf_Word{static_cast<char>(c), opt.opt_arg() != 0 ? opt.opt_arg() : ""});
  return words;
}

inline std::vector<std::string> find_service_config_option(int argc, char** argv, int option)
{
  std::vector<std::string> found;
  for (const Conf_Word& w : service_config_words(argc, argv, true))
    if (w.option == option)
      found.push_back(w.argument);
  return found;
}

inline std::vector<char*> pointer_vector(std::vector<std::string>& v)
{
  std::vector<char*> p;
  p.reserve(v.size() + 1);
  for (std::string& s : v)
    p.push_back(&s[0]);
  p.push_back(0);
  return p;
}

inline bool fits_substitution(const char* word)
{
  std::vector<std::string> elements;
  starter_detail::append_elements(word, false, elements);
  for (const std::string& e : elements)
    if (!fits_env_expansion(e.c_str()))
      return false;
  return true;
}

inline std::string absolute_path(const std::string& path, const char* base_dir)
{
  if (path.empty() || path[0] == '/' || base_dir == 0 || *base_dir == 0)
    return path;
  std::string joined(base_dir);
  if (joined.back() != '/')
    joined += '/';
  return joined + path;
}

inline std::string path_of_word(const char* word, const char* base_dir, size_t* elements,
                                bool log)
{
  std::vector<std::string> e;
  starter_detail::append_substituted(word, e, log);
  if (elements != 0)
    *elements = e.size();
  return absolute_path(e.size() == 1 ? e[0] : std::string(word), base_dir);
}

inline Assembled_Config assemble_service_config(const std::string& program, bool program_is_word,
                                                const std::vector<Conf_Word>& conf_words,
                                                const char* base_dir)
{
  using namespace starter_detail;

  Assembled_Config a;
  std::vector<Svc_Word> words;
  words.push_back(Svc_Word{program, program_is_word ? SVC_WORD : SVC_FLAG});
  for (const Conf_Word& w : conf_words) {
    switch (w.option) {
      case 'b':
        // The host daemonizes for "-b" itself, once, before its reactor and identity switch
        // exist. Handed on, it would make ACE daemonize again inside open and close every
        // descriptor, the reactor's own included.
      case 'p':
        // The host writes (and removes) the pid file itself, safe against a planted link.
        break;
      case 'd':
      case 'n':
      case 'y':
        words.push_back(Svc_Word{std::string("-") + w.option, SVC_FLAG});
        break;
      case 'k':
      case 's':
      case 'S':
        words.push_back(Svc_Word{std::string("-") + w.option, SVC_FLAG});
        words.push_back(Svc_Word{w.argument, SVC_WORD});
        break;
      case 'f': {
        // The one substitution of a "-f" word; a directory as written needs none, and says
        // nothing of a reference too long.
        std::vector<std::string> files;
        Named_File n;
        std::string const as_written = absolute_path(w.argument, base_dir);
        bool const dir = collect_conf_files(as_written.c_str(), files, &n);
        n.word = w.argument;
        n.fits = fits_substitution(w.argument.c_str());
        n.path = path_of_word(w.argument.c_str(), base_dir, &n.elements, !dir);
        // The walk stands for the directory the vector names only when that is its path.
        if (dir && n.path != as_written) {
          n.walked = false;
          n.conf_files = 0;
          n.skipped.clear();
        }
        if (!dir)
          words.push_back(Svc_Word{n.path, SVC_CONF_ARG, a.named.size()});
        a.named.push_back(std::move(n));
        if (words.capacity() < words.size() + 2 * files.size())
          words.reserve(std::max(2 * words.capacity(), words.size() + 2 * files.size()));
        for (std::string& f : files) {
          words.push_back(Svc_Word{"-f", SVC_FLAG});
          words.push_back(Svc_Word{std::move(f), SVC_PATH});
        }
        break;
      }
      default:
        break;
    }
  }

  std::vector<std::string>& out = a.vector;
  out.reserve(words.size());
  for (Svc_Word& w : words) {
    switch (w.kind) {
      case SVC_FLAG:
      case SVC_PATH:
        out.push_back(std::move(w.text));
        break;
      case SVC_WORD:
        append_substituted(w.text.c_str(), out);
        break;
      case SVC_CONF_ARG: {
        std::string path = w.text;
        std::vector<std::string> files;
        if (collect_conf_files(path.c_str(), files, &a.named[w.named])) {
          for (std::string& f : files) {
            out.push_back("-f");
            out.push_back(std::move(f));
          }
        } else {
          out.push_back("-f");
          out.push_back(std::move(path));
        }
        break;
      }
    }
  }
  return a;
}

template <class F>
bool open_service_config(int argc, char** argv, bool skip_first_arg, F open_service,
                         const char* base_dir)
{
  std::vector<std::string> out =
      assemble_service_config(skip_first_arg ? argv[0] : "dummy", skip_first_arg,
                              service_config_words(argc, argv, skip_first_arg), base_dir)
          .vector;
  std::vector<char*> v = pointer_vector(out);
  return open_service(static_cast<int>(out.size()), v.data());
}

#endif /* STARTER_OPEN_SERVICE_CONFIG_H */
