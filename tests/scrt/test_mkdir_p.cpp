// Recursive directory creation and the longest existing directory prefix, on real directories:
// which directories get made and reported in which order, the spellings of a path that must
// make the same tree, what stops the walk, permission errors without root, and several threads
// making one tree at once.
#include "scrt/mkdir_p.h"
#include "scrt/mkdir_p_t.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <ace/OS_NS_stdlib.h>

#include "support/temp_dir.h"
#include "unprivileged.h"

namespace {

/// Records the callback's calls; answers false at the call numbered @a stop_at (1-based).
struct Recorder
{
  std::vector<std::string> calls;
  size_t stop_at = 0;

  std::function<bool(const char*)> cb()
  {
    return [this](const char* p) {
      calls.push_back(p);
      return calls.size() != stop_at;
    };
  }
};

/// Makes the current directory @a dir for the life of the object.
class Cwd_Guard
{
public:
  explicit Cwd_Guard(const std::string& dir)
  {
    char* const old = ::getcwd(nullptr, 0);
    old_ = old != nullptr ? old : "/";
    ::free(old);
    EXPECT_EQ(0, ::chdir(dir.c_str()));
  }
  ~Cwd_Guard() { EXPECT_EQ(0, ::chdir(old_.c_str())); }
  Cwd_Guard(const Cwd_Guard&) = delete;
  Cwd_Guard& operator=(const Cwd_Guard&) = delete;

private:
  std::string old_;
};

class MkdirP : public ::testing::Test
{
protected:
  Temp_Dir dir_;
  Recorder rec_;
  std::string at(const std::string& rel) const { return dir_.path() + rel; }
};

TEST_F(MkdirP, NullOrEmptyPathIsEinval)
{
  for (const char* path : {static_cast<const char*>(nullptr), ""}) {
    errno = 0;
    EXPECT_EQ(-1, mkdir_p(path, 0755, rec_.cb()));
    EXPECT_EQ(EINVAL, errno);
  }
  for (const wchar_t* path : {static_cast<const wchar_t*>(nullptr), L""}) {
    errno = 0;
    EXPECT_EQ(-1, mkdir_p(path, 0755, [](const wchar_t*) { return true; }));
    EXPECT_EQ(EINVAL, errno);
  }
  EXPECT_TRUE(rec_.calls.empty());
}

TEST_F(MkdirP, MakesEachMissingDirectoryInOrderAndReportsIt)
{
  Cwd_Guard cwd(dir_.path());
  EXPECT_EQ(0, mkdir_p("a/b/c", 0750, rec_.cb()));
  EXPECT_EQ((std::vector<std::string>{"a", "a/b", "a/b/c"}), rec_.calls);
  struct stat st;
  ASSERT_EQ(0, ::stat("a/b/c", &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  mode_t const mask = ::umask(022);
  ::umask(mask);
  EXPECT_EQ(0750 & ~mask, st.st_mode & 07777);
}

TEST_F(MkdirP, CallbackFalseEndsTheWalkWithSuccess)
{
  rec_.stop_at = 1;
  EXPECT_EQ(0, mkdir_p(at("/a/b/c").c_str(), 0755, rec_.cb()));
  EXPECT_EQ(std::vector<std::string>{at("/a")}, rec_.calls);
  EXPECT_TRUE(is_dir(at("/a")));
  EXPECT_FALSE(exists(at("/a/b")));
}

TEST_F(MkdirP, ExistingPathsAndTheRootReportNothing)
{
  dir_.mkdir("a");
  dir_.mkdir("a/b");
  for (std::string path : {at("/a/b"), at("/a/b/"), std::string("/"), std::string("///")}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(0, mkdir_p(path.c_str(), 0755, rec_.cb()));
  }
  EXPECT_EQ(0, mkdir_p(at("/a").c_str(), 0755, nullptr)) << "an empty callback is allowed";
  EXPECT_TRUE(rec_.calls.empty());
}

// Spellings with extra separators make the same directories as the plain path; the callback
// sees each prefix as it is spelt in the input.
struct Spelling_Row
{
  const char* path;  // below the temporary directory
  std::vector<const char*> calls;
};

TEST_F(MkdirP, ExtraSeparatorsMakeTheSameTree)
{
  const Spelling_Row rows[] = {
      {"/t1/", {"/t1"}},
      {"/t2//u", {"/t2", "/t2//u"}},
      {"//t3///u///", {"//t3", "//t3///u"}},
  };
  for (const Spelling_Row& row : rows) {
    SCOPED_TRACE(row.path);
    Recorder rec;
    EXPECT_EQ(0, mkdir_p(at(row.path).c_str(), 0755, rec.cb()));
    std::vector<std::string> want;
    for (const char* c : row.calls)
      want.push_back(at(c));
    EXPECT_EQ(want, rec.calls);
  }
  EXPECT_TRUE(is_dir(at("/t1")));
  EXPECT_TRUE(is_dir(at("/t2/u")));
  EXPECT_TRUE(is_dir(at("/t3/u")));
}

TEST_F(MkdirP, NonDirectoryInThePathIsEnotdirAndKeepsWhatWasMade)
{
  dir_.write("f", "");
  errno = 0;
  EXPECT_EQ(-1, mkdir_p(at("/f").c_str(), 0755, rec_.cb()));
  EXPECT_EQ(ENOTDIR, errno);
  errno = 0;
  EXPECT_EQ(-1, mkdir_p(at("/n/../f/x").c_str(), 0755, rec_.cb()));
  EXPECT_EQ(ENOTDIR, errno);
  EXPECT_EQ(std::vector<std::string>{at("/n")}, rec_.calls);
  EXPECT_TRUE(is_dir(at("/n"))) << "nothing is rolled back";
}

TEST_F(MkdirP, SymbolicLinksAreFollowed)
{
  dir_.mkdir("real");
  ASSERT_EQ(0, ::symlink(at("/real").c_str(), at("/link").c_str()));
  EXPECT_EQ(0, mkdir_p(at("/link/x").c_str(), 0755, rec_.cb()));
  EXPECT_EQ(std::vector<std::string>{at("/link/x")}, rec_.calls);
  EXPECT_TRUE(is_dir(at("/real/x")));

  // A link to nothing cannot be made into a directory: no success for an unusable path.
  ASSERT_EQ(0, ::symlink(at("/nowhere").c_str(), at("/dangling").c_str()));
  for (const char* rel : {"/dangling", "/dangling/x"}) {
    SCOPED_TRACE(rel);
    errno = 0;
    EXPECT_EQ(-1, mkdir_p(at(rel).c_str(), 0755, rec_.cb()));
    EXPECT_EQ(ENOTDIR, errno);
  }
  EXPECT_FALSE(exists(at("/nowhere")));
}

TEST_F(MkdirP, WidePathsMakeTheSameTree)
{
  std::wstring const base(dir_.path().begin(), dir_.path().end());
  std::vector<std::wstring> calls;
  EXPECT_EQ(0, mkdir_p((base + L"/w//v/").c_str(), 0755, [&](const wchar_t* p) {
              calls.push_back(p);
              return true;
            }));
  EXPECT_EQ((std::vector<std::wstring>{base + L"/w", base + L"/w//v"}), calls);
  EXPECT_TRUE(is_dir(at("/w/v")));

  dir_.write("f", "");
  errno = 0;
  EXPECT_EQ(-1, mkdir_p((base + L"/f/x").c_str(), 0755, nullptr));
  EXPECT_EQ(ENOTDIR, errno);
}

TEST_F(MkdirP, TheTemplateSplitsAtTheSeparatorItIsGiven)
{
  Cwd_Guard cwd(dir_.path());
  EXPECT_EQ(0, mkdir_p_t<char>("p:q", 0755, ':', rec_.cb()));
  EXPECT_EQ((std::vector<std::string>{"p", "p:q"}), rec_.calls);
  EXPECT_TRUE(is_dir("p:q")) << "with ':' as the separator, 'p:q' names a second directory";
}

TEST_F(MkdirP, ConcurrentCreationReportsEachDirectoryOnce)
{
  const int threads = 4;
  const int rounds = 25;
  const char* const tree = "/a/b/c/d/e/f/g/h";
  for (int round = 0; round < rounds; ++round) {
    std::string const top = at("/r" + std::to_string(round));
    std::string const path = top + tree;
    std::mutex lock;
    std::map<std::string, int> reported;
    std::atomic<int> waiting{threads};
    std::vector<int> results(threads, 1);
    std::vector<int> errors(threads, 0);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
      pool.emplace_back([&, t] {
        // Start together, so that the walks really overlap.
        --waiting;
        while (waiting.load() > 0)
          std::this_thread::yield();
        results[t] = mkdir_p(path.c_str(), 0755, [&](const char* p) {
          std::lock_guard<std::mutex> g(lock);
          ++reported[p];
          return true;
        });
        errors[t] = errno;
      });
    for (std::thread& t : pool)
      t.join();

    SCOPED_TRACE("round " + std::to_string(round));
    for (int t = 0; t < threads; ++t)
      EXPECT_EQ(0, results[t]) << "thread " << t << ", errno " << errors[t];
    std::map<std::string, int> want;
    std::string prefix = top;
    want[prefix] = 1;
    for (const char* c = tree; *c != 0; ++c)
      if (*c != '/')
        want[prefix += std::string("/") + *c] = 1;
    EXPECT_EQ(want, reported);
    if (HasFailure())
      break;
  }
}

// ---- longest_exist_dirname

struct Existing_Row
{
  std::string path;
  bool found;
  std::string result;
  int error;  // errno after the call
  std::string status_of;
};

TEST_F(MkdirP, LongestExistingPrefix)
{
  dir_.mkdir("a");
  dir_.mkdir("a/b");
  dir_.write("f", "");
  std::string const missing_top = "/scrt-test-missing-" + std::to_string(::getpid());
  ASSERT_FALSE(exists(missing_top));
  std::string const a = at("/a"), ab = at("/a/b");

  const Existing_Row rows[] = {
      {at("/a/x/y"), true, a, 0, a},
      {at("/a/b/"), true, at("/a/b/"), 0, ab},
      {at("/a//b//x"), true, at("/a//b"), 0, ab},
      {at("/a/b"), true, ab, 0, ab},
      {missing_top + "/y", true, "/", 0, "/"},
      {"/", true, "/", 0, "/"},
      {missing_top.substr(1) + "/y", false, "", ENOENT, ""},
      {"", false, "", ENOENT, ""},
      {at("/f/x"), false, "", ENOTDIR, ""},
      {at("/f"), false, "", ENOTDIR, ""},
  };
  for (const Existing_Row& row : rows) {
    SCOPED_TRACE("'" + row.path + "'");
    ACE_stat st = {};
    errno = EBADF;
    std::unique_ptr<char, decltype(&::free)> got(longest_exist_dirname(row.path.c_str(), &st),
                                                 &::free);
    EXPECT_EQ(row.error, errno);
    if (!row.found) {
      EXPECT_EQ(nullptr, got.get());
      continue;
    }
    ASSERT_NE(nullptr, got.get());
    EXPECT_EQ(row.result, got.get());
    struct stat want;
    ASSERT_EQ(0, ::stat(row.status_of.c_str(), &want));
    EXPECT_EQ(want.st_ino, st.st_ino);
    EXPECT_EQ(want.st_dev, st.st_dev);
  }
}

TEST_F(MkdirP, LongestExistingPrefixNeedsItsArguments)
{
  ACE_stat st;
  errno = 0;
  EXPECT_EQ(nullptr, longest_exist_dirname("/", nullptr));
  EXPECT_EQ(EINVAL, errno);
  errno = 0;
  EXPECT_EQ(nullptr, longest_exist_dirname(nullptr, &st));
  EXPECT_EQ(EINVAL, errno);
}

// ---- Permission errors, which root does not get: checked in a child without root.

/// In a child: exits with 0 when creation under the read-only @a ro and the search of the
/// unsearchable @a closed fail with EACCES, and nothing is made.
void permission_checks(const std::string& ro, const std::string& closed)
{
  if (!drop_root())
    ::_exit(2);
  int bad = 0;
  bool called = false;
  errno = 0;
  if (mkdir_p((ro + "/x/y").c_str(), 0755, [&](const char*) { return called = true; }) != -1 ||
      errno != EACCES)
    bad |= 4, std::fprintf(stderr, "mkdir_p: errno %d\n", errno);
  if (called || exists(ro + "/x"))
    bad |= 8, std::fprintf(stderr, "mkdir_p made something\n");
  ACE_stat st;
  errno = 0;
  char* const found = longest_exist_dirname((closed + "/x").c_str(), &st);
  if (found != nullptr || errno != EACCES)
    bad |= 16, std::fprintf(stderr, "longest_exist_dirname: errno %d\n", errno);
  ACE_OS::free(found);
  ::_exit(bad);
}

TEST_F(MkdirP, PermissionErrorsWithoutRoot)
{
  if (!can_drop_root())
    GTEST_SKIP() << "cannot run a child without root's privileges here";
  ASSERT_EQ(0, ::chmod(dir_.path().c_str(), 0755));
  std::string const ro = dir_.mkdir("ro");
  std::string const closed = dir_.mkdir("closed");
  dir_.mkdir("closed/inner");
  ASSERT_EQ(0, ::chmod(ro.c_str(), 0555));
  ASSERT_EQ(0, ::chmod(closed.c_str(), 0));
  EXPECT_EXIT(permission_checks(ro, closed + "/inner"), ::testing::ExitedWithCode(0), "");
}

}  // namespace
