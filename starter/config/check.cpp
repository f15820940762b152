// The configuration check: the files the Service Configurator is to read, their directives
// (grammar.h), and the libraries and factories the "dynamic" ones name.
#include "starter/config/check.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#include <ace/DLL.h>
#include <ace/Service_Repository.h>
#include <ace/Service_Types.h>

#include "scrt/inline_util.h"
#include "starter/config/conf_files.h"
#include "starter/config/libraries.h"

#include "starter/config/library_symbols.h"

namespace {

/// Libraries the check loaded, held until the whole check ends (a library may need symbols
/// that one loaded before it brings, as when the Configurator loads them in turn), or, with a
/// holder given, until the holder lets them go.
class Loaded
{
public:
  explicit Loaded(Held_Libraries* held = nullptr) : held_(held != nullptr ? held : &own_) {}
  ACE_DLL& add() { return held_->add(); }
  /// The directive checked last in the text being checked, when its library and factory were
  /// found sound: services of one library follow one another, and it answers for the next.
  const Conf_Dynamic* last_found_ = nullptr;

private:
  Held_Libraries own_;
  Held_Libraries* held_;
};

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

/// The problem in ACE's loader's report @a why when it is a symbol the library leaves
/// unresolved ("FILE: undefined symbol: NAME"), else empty.
std::string unresolved_symbol(const Conf_Dynamic& d, const std::string& why)
{
  static const char marker[] = ": undefined symbol: ";
  size_t const at = why.find(marker);
  if (at == std::string::npos)
    return std::string();
  size_t const file = why.rfind("; ", at) == std::string::npos ? 0 : why.rfind("; ", at) + 2;
  size_t const name = at + sizeof marker - 1;
  std::string const symbol = why.substr(name, why.find_first_of(",;", name) - name);
  std::string const readable = demangled(symbol);
  return "service " + d.name + ": library '" + d.path + "' (" + why.substr(file, at - file) +
         ") leaves symbol '" + symbol + "'" + (readable != symbol ? " (" + readable + ")" : "") +
         " unresolved: link it with the library that defines it";
}

/// The ELF type of the symbol at @a address (STT_FUNC, STT_OBJECT...), or -1 when the loader
/// cannot tell.
int symbol_type(void* address)
{
  Dl_info info;
  void* entry = 0;
  if (dladdr1(address, &info, &entry, RTLD_DL_SYMENT) == 0 || entry == 0)
    return -1;
  // The symbol type is the low nibble of st_info, for 32- and 64-bit objects alike.
  return static_cast<const ElfW(Sym)*>(entry)->st_info & 0xf;
}

/// Loads the library of @a d through ACE's loader, into @a loaded, and looks up its factory:
/// a function for "symbol()", the service object itself otherwise. Each symbol the library
/// needs is bound at once, so one that nothing defines is found here.
void check_library(const Conf_Dynamic& d, const std::string& where, Loaded& loaded,
                   std::vector<Conf_Problem>& problems)
{
  const Conf_Dynamic* const last = loaded.last_found_;
  loaded.last_found_ = nullptr;
  if (last != nullptr && last->function == d.function && last->symbol == d.symbol &&
      last->path == d.path) {
    loaded.last_found_ = &d;
    return;
  }
  ACE_DLL& dll = loaded.add();
  int const lazy = ACE_DEFAULT_SHLIB_MODE;
  if (dll.open(d.path.c_str(), (lazy & ~RTLD_LAZY) | RTLD_NOW, true) == -1) {
    // The loader tells one reason per name it tried, a line each.
    std::string why = dll.error() != 0 ? dll.error() : "not found";
    while (!why.empty() && why.back() == '\n')
      why.pop_back();
    for (size_t nl; (nl = why.find('\n')) != std::string::npos;)
      why.replace(nl, 1, "; ");
    std::string const unresolved = unresolved_symbol(d, why);
    problems.push_back(Conf_Problem{where, d.line, !unresolved.empty() ? unresolved :
        "service " + d.name + ": cannot load library '" + d.path + "': " + why});
    return;
  }
  std::string const symbol = factory_symbol(d);
  void* const address = dll.symbol(symbol.c_str());
  if (address == 0) {
    std::string const mangled = mangled_function_named(dll.get_handle(), d.symbol);
    problems.push_back(Conf_Problem{where, d.line, "service " + d.name + ": library '" + d.path +
        "' has no symbol '" + symbol + "'" + (mangled.empty() ? std::string() :
        ", only the C++ function '" + mangled + "': declare it extern \"C\"")});
    return;
  }
  // The Configurator calls a factory and takes an object's address for the service: the
  // other kind of symbol crashes it.
  int const type = symbol_type(address);
  bool const function = type == STT_FUNC || type == STT_GNU_IFUNC;
  if (type < 0 || type == STT_NOTYPE || function == d.function) {
    loaded.last_found_ = &d;
    return;
  }
  problems.push_back(Conf_Problem{where, d.line, "service " + d.name + ": '" + symbol + "' in '" +
                                  d.path + (d.function ? "' is no function: the Service "
                                  "Configurator would call it and crash" : "' is a function, "
                                  "not an object: the Service Configurator would take its code "
                                  "for the service and crash; write '" + symbol + "()'"), CONF_UNSAFE});
}

/// @a text with each library named by a relative path ("lib/x.so", "./x.so") in @a dynamics
/// made absolute against @a base_dir, as a word, or quoted with a quote its line does not hold
/// after it. Empty when nothing changes; a path that cannot be written so is a problem.
std::string absolute_libraries(const std::string& text, const std::vector<Conf_Dynamic>& dynamics,
                               const std::string& base_dir, const std::string& where,
                               std::vector<Conf_Problem>& problems)
{
  std::string out;
  size_t copied = 0;
  for (const Conf_Dynamic& d : dynamics) {
    if (d.path.empty() || d.path[0] == '/' || d.path.find('/') == std::string::npos)
      continue;
    std::string const path = base_dir + (base_dir.back() == '/' ? "" : "/") + d.path;
    std::string token;
    size_t const eol = text.find('\n', d.path_end);
    std::string const rest = text.substr(d.path_end, eol == std::string::npos ? eol : eol - d.path_end);
    bool printable = true;
    for (char c : path)
      printable = printable && c >= ' ' && c <= '~';
    if (path.find_first_of(" \t\r\n\f\v:*(){}#\"'") == std::string::npos && printable)
      token = path;
    else if (printable && path.find('"') == std::string::npos && rest.find('"') == std::string::npos)
      token = '"' + path + '"';
    else if (printable && path.find('\'') == std::string::npos && rest.find('\'') == std::string::npos)
      token = '\'' + path + '\'';
    else {
      problems.push_back(Conf_Problem{where, d.line, "service " + d.name + ": the library '" +
                                      d.path + "' cannot be named against the starting directory "
                                      "'" + base_dir + "' in this line"});
      continue;
    }
    out.append(text, copied, d.path_begin - copied);
    out += token;
    copied = d.path_end;
  }
  if (copied == 0)
    return std::string();
  out.append(text, copied, std::string::npos);
  return out;
}

/// The kind of the service @a name that runs in this process.
Conf_Kind running_kind(const std::string& name)
{
  const ACE_Service_Type* t = 0;
  if (ACE_Service_Repository::instance()->find(name.c_str(), &t, false) < 0 || t == 0 ||
      t->type() == 0)
    return CONF_NONE;
  switch (t->type()->service_type()) {
    case ACE_Service_Type::MODULE: return CONF_MODULE;
    case ACE_Service_Type::STREAM: return CONF_STREAM;
    default: return CONF_SERVICE;
  }
}

bool running_module(const std::string& stream, const std::string& module)
{
  const ACE_Service_Type* t = 0;
  if (ACE_Service_Repository::instance()->find(stream.c_str(), &t, false) < 0 || t == 0)
    return false;
  const ACE_Stream_Type* const s = dynamic_cast<const ACE_Stream_Type*>(t->type());
  return s != 0 && s->find(module.c_str()) != 0;
}

/// What a whole check shares: the libraries it loaded, what is in place, the starting directory.
struct Check_State
{
  Conf_Dir dir;
  Loaded* loaded = nullptr;
  Conf_Known known;
  std::string base_dir;
  std::vector<Conf_Entry>* entries = nullptr;  ///< the files' directives, when wanted
  std::vector<Conf_Service>* services = nullptr;  ///< the services they name, when wanted
};

/// Whether @a text may name a library by a relative path: a word holds a "/" but does not
/// start with one, or a "/" stands in quoted text that may be a library (quoted text runs to
/// the last quote of its line, blanks and all). Most texts name none, and need no second read.
bool may_name_relative_path(const std::string& text)
{
  static const char word_ends[] = " \t\r\n\f\v:*(){}\"'";
  for (size_t at = text.find('/'); at != std::string::npos; at = text.find('/', at + 1)) {
    size_t const start = text.find_last_of(word_ends, at);
    if (start == std::string::npos ? text[0] != '/' : text[start + 1] != '/')
      return true;
    size_t const line = text.rfind('\n', at) == std::string::npos ? 0 : text.rfind('\n', at) + 1;
    size_t const quote = text.find_first_of("\"'", line);
    if (quote < at) {
      // A library's quoted text follows the "*", perhaps after blanks and comments.
      size_t const before = text.find_last_not_of(" \t\r\n\f\v", quote == 0 ? 0 : quote - 1);
      if (quote > 0 && before != std::string::npos) {
        size_t const its_line = text.rfind('\n', before);
        if (text[before] == '*' ||
            text.find('#', its_line == std::string::npos ? 0 : its_line) < before)
          return true;
      }
    }
    at = text.find_first_of(word_ends, at);  // the rest of the word starts with "/" too
    if (at == std::string::npos)
      break;
  }
  return false;
}

/// check_directives() within @a state; the libraries are loaded when state.loaded is set.
/// Returns the text to apply: @a text, its relative libraries made absolute.
std::string check_text(const std::string& text, const std::string& where, Check_State& state,
                       std::vector<Conf_Problem>& problems,
                       std::vector<Conf_Entry>* entries = nullptr,
                       std::vector<Conf_Service>* services = nullptr)
{
  // The libraries' places first, on their own: the text is then read, once, as it is applied.
  std::string rewritten;
  if (!state.base_dir.empty() && may_name_relative_path(text)) {
    std::vector<Conf_Problem> ignored;
    rewritten = absolute_libraries(text, read_directives(text, where, ignored), state.base_dir,
                                   where, problems);
  }
  std::vector<Conf_Dynamic> const dynamics =
      read_directives(rewritten.empty() ? text : rewritten, where, problems, &state.known, entries,
                      services);
  if (state.loaded != 0) {
    for (const Conf_Dynamic& d : dynamics)
      check_library(d, where, *state.loaded, problems);
    state.loaded->last_found_ = nullptr;  // it points into dynamics
  }
  return rewritten.empty() ? text : rewritten;
}

}  // namespace

std::string format_problem(const Conf_Problem& p)
{
  std::string const what = (p.kind == CONF_UNREADABLE ? "cannot be read: " : "") + p.message;
  if (p.line == 0)
    return p.where + ": " + what;
  return p.where + ":" + std::to_string(p.line) + ": " + what;
}

std::vector<std::string> problem_messages(const std::vector<Conf_Problem>& problems)
{
  std::vector<std::string> messages;
  messages.reserve(problems.size());
  for (const Conf_Problem& p : problems)
    messages.push_back(format_problem(p));
  return messages;
}

void check_directives(const std::string& text, const std::string& where, bool load,
                      std::vector<Conf_Problem>& problems)
{
  Loaded loaded;
  Check_State state;
  state.loaded = load ? &loaded : 0;
  check_text(text, where, state, problems);
}

/// check_conf_file() on the read @a r of @a path, within @a state; the text to apply goes
/// into @a texts, when not null, if the file was read whole.
static void check_file(const std::string& path, Conf_Read& r, Check_State& state,
                       std::vector<Conf_Problem>& problems, Conf_Texts* texts = nullptr)
{
  if (r.open_error != 0) {
    problems.push_back(Conf_Problem{path, 0, r.open_error < 0 ? "not a regular file"
                                    : std::strerror(r.open_error), CONF_UNREADABLE});
    return;
  }
  if (r.read_error != 0)
    problems.push_back(Conf_Problem{path, 0, std::strerror(r.read_error), CONF_UNREADABLE});
  if (r.too_large) {
    problems.push_back(Conf_Problem{path, 0, "larger than " +
                                    std::to_string(CONF_MAX_FILE_SIZE >> 20) + " MiB: not read",
                                    CONF_UNSAFE});
    return;
  }
  // A file of comments and blank lines is kept as its line ends alone: nothing to read (most
  // files of a large conf directory).
  std::string applied = r.text.find_first_not_of('\n') == std::string::npos ? std::move(r.text) :
      check_text(r.text, path, state, problems, state.entries, state.services);
  if (texts != 0 && r.read_error == 0)
    (*texts)[path] = std::move(applied);
}

void check_conf_file(const std::string& path, bool load, std::vector<Conf_Problem>& problems)
{
  Loaded loaded;
  Check_State state;
  state.loaded = load ? &loaded : 0;
  Conf_Read r;
  read_conf_file(state.dir, path, r);
  check_file(path, r, state, problems);
}

void check_files_and_directives(const std::vector<std::string>& files,
                                const std::vector<std::string>& directives,
                                std::vector<Conf_Problem>& problems, Conf_Texts* texts,
                                const std::string& base_dir, Held_Libraries* held,
                                std::vector<Conf_Entry>* entries,
                                std::vector<Conf_Service>* services)
{
  Loaded loaded(held);
  Check_State state;
  state.loaded = &loaded;
  state.entries = entries;
  state.services = services;
  state.base_dir = base_dir;
  state.known.running = running_kind;
  state.known.running_module = running_module;
  Conf_Read_Ahead reads(files);
  for (size_t i = 0; i < files.size(); ++i)
    check_file(files[i], reads.take(i, state.dir), state, problems, texts);
  for (const std::string& s : directives)
    check_text(s, "-S '" + s + "'", state, problems);
}
