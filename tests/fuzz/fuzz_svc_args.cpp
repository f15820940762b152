// Fuzz target: the Service Configurator's argument assembly. The input is read as a list of
// command-line words (option letters, host options, "$" references, quotes, long and raw
// words) over a small conf directory made at start-up. Never a crash; the vector ends in a
// null pointer; "--check" prints exactly the vector the run gets; and while no raw word is in
// play, the vector is the one worked out here: every directory expanded in byte order of its
// paths, the host's options, "-b" and "-p" never handed on, a reference too long to substitute
// left as written.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <ace/Log_Msg.h>

#include "starter/config/assemble.h"
#include "starter/check_command.h"
#include "starter/command_line.h"

namespace {

#define FUZZ_CHECK(cond) ((cond) ? (void)0 : std::abort())

typedef std::vector<std::string> Words;

/// The conf directory and a file outside it, made once per process and removed at exit.
struct Conf_Tree
{
  std::string root, dir, file;
  Words files;  ///< the regular "*.conf" files of dir, as "dir/name", in byte order
};

int remove_entry(const char* path, const struct stat*, int, FTW*) { return ::remove(path); }

void touch(const std::string& path) { ::close(::open(path.c_str(), O_CREAT | O_WRONLY, 0644)); }

const Conf_Tree& tree()
{
  static Conf_Tree* t = [] {
    Conf_Tree* c = new Conf_Tree;
    char tmpl[] = "/tmp/fuzz_svc_args.XXXXXX";
    FUZZ_CHECK(::mkdtemp(tmpl) != nullptr);
    // Readable by all: "--check" reads as the identity the words ask for, the run would too.
    ::chmod(tmpl, 0755);
    c->root = tmpl;
    c->dir = c->root + "/conf.d";
    c->file = c->root + "/one.conf";
    ::mkdir(c->dir.c_str(), 0755);
    touch(c->file);
    // Names that are no shell words, byte order unlike locale order, and entries to skip.
    for (const char* n : {"b.conf", "a.conf", "A.conf", "a b.conf", "'q\".conf", "\\x.conf",
                          "$HOME.conf", ".conf", "\xc3\xa9.conf", "z.txt", "x.conf.bak"})
      touch(c->dir + "/" + n);
    ::mkfifo((c->dir + "/fifo.conf").c_str(), 0644);
    ::mkdir((c->dir + "/sub.conf").c_str(), 0755);
    ::symlink("a.conf", (c->dir + "/link.conf").c_str());
    ::symlink("nowhere", (c->dir + "/dangling.conf").c_str());
    // What the directory must expand to, found independently of the code under test.
    DIR* d = ::opendir(c->dir.c_str());
    for (dirent* e; (e = ::readdir(d)) != nullptr;) {
      std::string const name = e->d_name, path = c->dir + "/" + name;
      struct stat st;
      if (name.size() >= 5 && name.compare(name.size() - 5, 5, ".conf") == 0 &&
          ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        c->files.push_back(path);
    }
    ::closedir(d);
    std::sort(c->files.begin(), c->files.end());
    ::setenv("FUZZ_DIR", c->dir.c_str(), 1);
    ::setenv("FUZZ_FILE", c->file.c_str(), 1);
    ::setenv("FUZZ_WORD", "plain", 1);
    // The records of the code under test would drown the fuzzer's own output.
    if (::getenv("FUZZ_SHOW_CHECK") == nullptr)
      ACE_Log_Msg::instance()->priority_mask(0, ACE_Log_Msg::PROCESS);
    std::atexit([] { ::nftw(tree().root.c_str(), remove_entry, 8, FTW_DEPTH | FTW_PHYS); });
    return c;
  }();
  return *t;
}

/// Reads the fuzz input a byte at a time; past its end every byte is 0.
struct Input
{
  const uint8_t* p;
  size_t left;
  uint8_t byte() { return left > 0 ? (--left, *p++) : 0; }
  /// A word of up to @a max bytes drawn from @a alphabet (all bytes but NUL when null).
  std::string word(size_t max, const char* alphabet)
  {
    size_t const n = std::min<size_t>(byte() % (max + 1), left);
    std::string w;
    for (size_t i = 0; i < n; ++i) {
      uint8_t const b = byte();
      if (alphabet == nullptr)
        w += static_cast<char>(b != 0 ? b : '$');
      else
        w += alphabet[b % std::char_traits<char>::length(alphabet)];
    }
    return w;
  }
};

const char PLAIN[] = "abcxyz019_.:/";

/// Reads one token into @a argv and what the vector must get for it into @a want. Returns
/// false when the token is raw, whose outcome is not worked out here.
bool token(Input& in, Words& argv, Words& want)
{
  const Conf_Tree& t = tree();
  auto expand = [&](const std::string& prefix) {
    for (const std::string& f : t.files) {
      want.push_back("-f");
      want.push_back(prefix + f.substr(t.dir.size()));
    }
  };
  uint8_t const sel = in.byte();
  switch (sel % 10) {
    case 0: {
      std::string const flag = std::string("-") + "dny"[in.byte() % 3];
      argv.push_back(flag);
      want.push_back(flag);
      return true;
    }
    case 1:
      argv.push_back("-b");
      return true;
    case 2: {  // an option with a value: separate, joined, or a reference
      char const letter = "kpsS"[in.byte() % 4];
      std::string const flag = std::string("-") + letter;
      uint8_t const how = in.byte();
      std::string value = how % 3 == 2 ? "plain" : in.word(how % 2 ? 8 : 255, PLAIN) + "v";
      if (how % 3 == 0) {
        argv.push_back(flag + value);
      } else {
        argv.push_back(flag);
        argv.push_back(how % 3 == 2 ? "$FUZZ_WORD" : value);
      }
      if (letter != 'p') {  // the host writes the pid file itself
        want.push_back(flag);
        want.push_back(value);
      }
      return true;
    }
    case 3: {  // a directory: as written, with a trailing slash, joined, or a reference
      uint8_t const how = in.byte() % 4;
      if (how == 0) {
        argv.insert(argv.end(), {"-f", t.dir});
        expand(t.dir);
      } else if (how == 1) {
        argv.insert(argv.end(), {"-f", t.dir + "/"});
        expand(t.dir + "/");
      } else if (how == 2) {
        argv.push_back("-f" + t.dir);
        expand(t.dir);
      } else {
        argv.insert(argv.end(), {"-f", "$FUZZ_DIR"});
        expand(t.dir);
      }
      return true;
    }
    case 4: {  // a file, a reference to one, or a path that is not there
      uint8_t const how = in.byte() % 3;
      std::string const path = how == 2 ? t.root + "/" + in.word(16, PLAIN) + "none" : t.file;
      argv.insert(argv.end(), {"-f", how == 1 ? "$FUZZ_FILE" : path});
      want.insert(want.end(), {"-f", path});
      return true;
    }
    case 5: {  // the host's options with a value, as two words or with "="
      static const char* const names[] = {"--reactor", "--threads", "--user", "--group",
                                          "--primary-group", "--thread-pool"};
      std::string const name = names[in.byte() % 6];
      std::string const value = in.word(8, PLAIN) + "v";
      if (in.byte() % 2)
        argv.push_back(name + "=" + value);
      else
        argv.insert(argv.end(), {name, value});
      return true;
    }
    case 6: {
      static const char* const flags[] = {"--background", "--check", "--strict", "--help",
                                          "--version"};
      argv.push_back(flags[in.byte() % 5]);
      return true;
    }
    case 7:  // a stray word
      argv.push_back(in.word(16, PLAIN) + "w");
      return true;
    case 8: {  // a long word, or a reference too long to substitute, behind an option
      size_t const n = 4000 + in.byte() * 2;
      std::string const word = in.byte() % 2 == 0 ? std::string(n, 'L') : "$" + std::string(n, 'N');
      argv.insert(argv.end(), {"-S", word});
      want.insert(want.end(), {"-S", word});
      return true;
    }
    default:  // a raw word: any bytes, quotes and "$" included
      argv.push_back(in.word(64, nullptr));
      return false;
  }
}

/// The vector the run hands the Service Configurator for @a argv.
Words assemble(Words argv)
{
  std::vector<char*> v;
  for (std::string& w : argv)
    v.push_back(&w[0]);
  v.push_back(nullptr);
  // Relative paths are taken against the directory the host started in, as the run does.
  static std::string const cwd = [] {
    char buf[4096];
    return std::string(::getcwd(buf, sizeof buf) != nullptr ? buf : "");
  }();
  Command_Line const line = parse_command_line(static_cast<int>(argv.size()), v.data());
  return assemble_service_config(line.program, true, line.conf_words, cwd.c_str()).vector;
}

/// What "--check" prints on standard output for @a argv; its problems and records go nowhere.
std::string check_output(Words argv)
{
  std::vector<char*> v;
  for (std::string& w : argv)
    v.push_back(&w[0]);
  v.push_back(nullptr);
  static int const out = ::memfd_create("check-out", 0);
  static int const err = ::getenv("FUZZ_SHOW_CHECK") ? -1 : ::open("/dev/null", O_WRONLY);
  ::ftruncate(out, 0);
  ::lseek(out, 0, SEEK_SET);
  std::fflush(stdout);
  int const saved_out = ::dup(1), saved_err = ::dup(2);
  ::dup2(out, 1);
  if (err != -1)
    ::dup2(err, 2);
  pid_t const self = ::getpid();
  int const status = check_service_config(parse_command_line(static_cast<int>(argv.size()), v.data()));
  std::fflush(stdout);
  // A check that takes on another identity returns in its child too, which must end there
  // rather than go on fuzzing beside its parent.
  if (::getpid() != self)
    ::_exit(status);
  ::dup2(saved_out, 1);
  ::dup2(saved_err, 2);
  ::close(saved_out);
  ::close(saved_err);
  std::string text(static_cast<size_t>(::lseek(out, 0, SEEK_CUR)), '\0');
  FUZZ_CHECK(::pread(out, &text[0], text.size(), 0) == static_cast<ssize_t>(text.size()));
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  Input in{data, size};
  Words argv{"starter"}, want{"starter"};
  bool modelled = true;
  for (int i = 0; i < 24 && in.left > 0; ++i)
    modelled = token(in, argv, want) && modelled;

  Words const got = assemble(argv);
  if (modelled)
    FUZZ_CHECK(got == want);
  std::string printed;
  for (const std::string& w : got)
    printed += w + "\n";
  // The vector, then at most the pid file the host would write.
  std::string const checked = check_output(argv);
  if (checked.compare(0, printed.size(), printed) != 0 ||
      (checked.size() != printed.size() && checked.compare(printed.size(), 10, "pid file: ") != 0)) {
    std::fprintf(stderr, "the run's vector:\n%s--check printed:\n%s", printed.c_str(), checked.c_str());
    std::abort();
  }
  return 0;
}
