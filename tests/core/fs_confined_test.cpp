// core::fs on confined locations: what a repository that ships links or special
// files under .kolvex/ can make of kolvex's reads and writes (nothing outside it).
#include "core/fs.hpp"

#include "core/logging.hpp"
#include "support/fd_capture.hpp"
#include "support/repo.hpp"
#include "support/scoped_env.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>

namespace fs = kolvex::core::fs;
namespace stdfs = std::filesystem;
using kolvex::testing::TempDir;

namespace {

// Every operation of the layer, each aimed at `at`.
const std::vector<std::pair<std::string, std::function<void(const fs::Confined&)>>>& operations()
{
  static const std::vector<std::pair<std::string, std::function<void(const fs::Confined&)>>> ops{
      {"read_bytes", [](const fs::Confined& at) { (void)fs::read_bytes(at); }},
      {"read_text", [](const fs::Confined& at) { (void)fs::read_text(at); }},
      {"append_line", [](const fs::Confined& at) { fs::append_line(at, "{\"x\": 1}"); }},
      {"atomic_replace", [](const fs::Confined& at) { fs::atomic_replace(at, "replaced\n"); }},
      {"open_regular",
       [](const fs::Confined& at) { (void)fs::open_regular(at, O_RDWR | O_CREAT); }},
      {"stat_regular", [](const fs::Confined& at) { (void)fs::stat_regular(at); }},
      {"remove_file", [](const fs::Confined& at) { (void)fs::remove_file(at); }},
      {"rename_file", [](const fs::Confined& at) { fs::rename_file(at, at.parent() / "moved"); }},
      {"create_directories", [](const fs::Confined& at) { fs::create_directories(at / "sub"); }},
      {"list_regular_files", [](const fs::Confined& at) { (void)fs::list_regular_files(at); }},
      {"list_directories", [](const fs::Confined& at) { (void)fs::list_directories(at); }},
      {"remove_tree", [](const fs::Confined& at) { (void)fs::remove_tree(at); }},
      {"remove_empty_directory",
       [](const fs::Confined& at) { (void)fs::remove_empty_directory(at); }},
      {"replace_if_changed", [](const fs::Confined& at) { fs::replace_if_changed(at, "new\n"); }},
  };
  return ops;
}

// The bytes of every file under `dir`, by path: what "untouched" is checked against.
std::map<std::string, std::string> snapshot(const stdfs::path& dir)
{
  std::map<std::string, std::string> files;
  for (const auto& entry : stdfs::recursive_directory_iterator(dir)) {
    if (entry.is_symlink()) {
      files[entry.path().string()] = "-> " + stdfs::read_symlink(entry.path()).string();
    } else if (entry.is_regular_file()) {
      files[entry.path().string()] = fs::read_bytes(entry.path());
    } else {
      files[entry.path().string()] = "(other)";
    }
  }
  return files;
}

} // namespace

// A link anywhere from the root down (a directory on the way, or the entry itself)
// is refused by every operation, and what it points at is left byte for byte.
TEST(Confined, EveryOperationRefusesALinkAnywhereOnTheWay)
{
  struct Layout {
    const char* name;
    std::function<void(const TempDir& repo, const stdfs::path& outside)> make;
    fs::Confined (*target)(const stdfs::path& root);
  };
  const auto log_at = [](const stdfs::path& root) {
    return fs::Confined{root, ".kolvex/.platform/log.jsonl"};
  };
  const std::vector<Layout> layouts{
      {"the top directory",
       [](const TempDir& repo, const stdfs::path& outside) {
         stdfs::create_directory_symlink(outside, repo.path() / ".kolvex");
       },
       log_at},
      {"a middle directory",
       [](const TempDir& repo, const stdfs::path& outside) {
         stdfs::create_directories(repo.path() / ".kolvex");
         stdfs::create_directory_symlink(outside, repo.path() / ".kolvex/.platform");
       },
       log_at},
      {"the file itself",
       [](const TempDir& repo, const stdfs::path& outside) {
         stdfs::create_directories(repo.path() / ".kolvex/.platform");
         stdfs::create_symlink(outside / "log.jsonl", repo.path() / ".kolvex/.platform/log.jsonl");
       },
       log_at},
      {"a dangling link as the file",
       [](const TempDir& repo, const stdfs::path& outside) {
         stdfs::create_directories(repo.path() / ".kolvex/.platform");
         stdfs::create_symlink(outside / "absent", repo.path() / ".kolvex/.platform/log.jsonl");
       },
       log_at},
  };
  for (const auto& layout : layouts) {
    for (const auto& [op_name, op] : operations()) {
      if (op_name == "create_directories" || op_name.starts_with("list_")) {
        continue; // these take a directory; covered below
      }
      TempDir repo;
      TempDir outside;
      outside.write("log.jsonl", "precious\n");
      outside.write(".platform/log.jsonl", "precious too\n");
      layout.make(repo, outside.path());
      const auto before = snapshot(outside.path());
      try {
        op(layout.target(repo.path()));
        ADD_FAILURE() << op_name << " went through " << layout.name;
      } catch (const fs::UnsafePathError& e) {
        EXPECT_NE(std::string(e.what()).find(repo.path().string()), std::string::npos) << e.what();
      } catch (const std::exception& e) {
        ADD_FAILURE() << op_name << " through " << layout.name << ": " << e.what();
      }
      EXPECT_EQ(snapshot(outside.path()), before) << op_name << " through " << layout.name;
    }
  }

  // Directory operations through a linked directory.
  for (const auto& [op_name, op] : operations()) {
    if (op_name != "create_directories" && !op_name.starts_with("list_") &&
        op_name != "remove_tree") {
      continue;
    }
    TempDir repo;
    TempDir outside;
    outside.write("specs/a.md", "x\n");
    stdfs::create_directories(repo.path() / ".kolvex/.platform");
    stdfs::create_directory_symlink(outside.path() / "specs",
                                    repo.path() / ".kolvex/.platform/specs");
    const auto before = snapshot(outside.path());
    EXPECT_THROW(op(fs::Confined{repo.path(), ".kolvex/.platform/specs"}), fs::UnsafePathError)
        << op_name;
    EXPECT_EQ(snapshot(outside.path()), before) << op_name;
  }
}

// A FIFO (and a link to a device) is refused at once: no read or append may block
// on it or run forever.  The child is killed by an alarm if anything does block.
TEST(Confined, SpecialFilesAreRefusedWithoutBlocking)
{
  TempDir repo;
  stdfs::create_directories(repo.path() / ".kolvex/.platform");
  ASSERT_EQ(::mkfifo((repo.path() / ".kolvex/.platform/log.jsonl").c_str(), 0644), 0);
  ASSERT_EQ(::mkfifo((repo.path() / ".kolvex/.platform/specs").c_str(), 0644), 0);
  stdfs::create_symlink("/dev/zero", repo.path() / ".kolvex/.platform/zero");
  const fs::Confined fifo{repo.path(), ".kolvex/.platform/log.jsonl"};
  const fs::Confined fifo_dir{repo.path(), ".kolvex/.platform/specs/a.md"};
  const fs::Confined zero{repo.path(), ".kolvex/.platform/zero"};

  const pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(20);
    int refused = 0;
    for (const auto& at : {fifo, fifo_dir, zero}) {
      for (const auto& [op_name, op] : operations()) {
        try {
          op(at);
        } catch (const fs::UnsafePathError&) {
          ++refused;
        } catch (const std::exception&) {
        }
      }
    }
    // Plain paths refuse the FIFO too (only links are theirs to follow).
    try {
      (void)fs::read_bytes(repo.path() / ".kolvex/.platform/zero");
    } catch (const fs::UnsafePathError&) {
      ++refused;
    }
    try {
      fs::append_line(fifo.full(), "x");
    } catch (const fs::UnsafePathError&) {
      ++refused;
    }
    ::_exit(refused);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "blocked or crashed (signal " << WTERMSIG(status) << ")";
  // Every operation on all three, and the two plain ones.
  EXPECT_EQ(WEXITSTATUS(status), 3 * static_cast<int>(operations().size()) + 2);
  EXPECT_TRUE(stdfs::is_fifo(fifo.full()));
}

TEST(Confined, ClimbingOutOfTheRootIsRefused)
{
  TempDir repo;
  TempDir outside;
  outside.write("x", "kept\n");
  const fs::Confined up{repo.path(), stdfs::path("..") / outside.path().filename() / "x"};
  EXPECT_THROW(fs::atomic_replace(up, "y"), fs::UnsafePathError);
  EXPECT_THROW(fs::atomic_replace(fs::Confined{repo.path(), outside.path() / "x"}, "y"),
               fs::UnsafePathError);
  EXPECT_EQ(outside.read("x"), "kept\n");
}

// What a well-formed tree gets: directories made, files written, listed, renamed
// and removed, and the operating system's own errors where nothing is unsafe.
TEST(Confined, WorksOnRealFilesAndReportsOrdinaryErrors)
{
  TempDir repo;
  const fs::Confined dir{repo.path(), ".kolvex/.platform/attestations"};
  fs::create_directories(dir);
  EXPECT_TRUE(stdfs::is_directory(dir.full()));

  fs::atomic_replace(dir / "a.yaml", "a: 1\n");
  fs::atomic_replace(dir / "shared.txt", "for all\n", 0644);
  struct stat st {};
  ASSERT_EQ(::stat((dir / "a.yaml").full().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600U);
  ASSERT_EQ(::stat((dir / "shared.txt").full().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644U);
  EXPECT_EQ(fs::read_text(dir / "a.yaml"), "a: 1\n");

  stdfs::create_symlink("a.yaml", dir.full() / "link.yaml");
  ASSERT_EQ(::mkfifo((dir.full() / "pipe").c_str(), 0644), 0);
  auto names = fs::list_regular_files(dir);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.yaml", "shared.txt"}));
  EXPECT_TRUE(fs::list_regular_files(dir / "absent").empty());

  fs::rename_file(dir / "a.yaml", fs::Confined{repo.path(), ".kolvex/b.yaml"});
  EXPECT_EQ(repo.read(".kolvex/b.yaml"), "a: 1\n");
  EXPECT_FALSE(fs::regular_file_exists(dir / "a.yaml"));
  EXPECT_TRUE(fs::remove_file(fs::Confined{repo.path(), ".kolvex/b.yaml"}));
  EXPECT_FALSE(fs::remove_file(fs::Confined{repo.path(), ".kolvex/b.yaml"}));
  EXPECT_FALSE(fs::remove_file(fs::Confined{repo.path(), "no/such/dir/file"}));

  try {
    (void)fs::read_bytes(dir / "absent");
    FAIL() << "expected system_error";
  } catch (const fs::UnsafePathError&) {
    FAIL() << "a missing file is not unsafe";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
  }
  EXPECT_FALSE(fs::stat_regular(fs::Confined{repo.path(), "none/of/this"}));
  repo.write("plain", "a file where a directory belongs\n");
  EXPECT_FALSE(fs::stat_regular(fs::Confined{repo.path(), "plain/x"}));
  try {
    fs::create_directories(fs::Confined{repo.path(), "plain/x"});
    FAIL() << "expected system_error";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::errc::not_a_directory);
  }
  EXPECT_THROW((void)fs::read_bytes(fs::Confined{repo.path(), ".kolvex"}), std::system_error);

  repo.write("big", std::string(100, 'x'));
  EXPECT_EQ(fs::read_bytes(fs::Confined{repo.path(), "big"}, 100).size(), 100U);
  try {
    (void)fs::read_bytes(fs::Confined{repo.path(), "big"}, 99);
    FAIL() << "expected EFBIG";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::errc::file_too_large);
  }
}

// The root itself is the caller's: a link in it is followed (a home directory may
// well live behind one), and a missing root is made when directories are asked for.
TEST(Confined, TheRootItselfMayBeALink)
{
  TempDir dir;
  stdfs::create_directories(dir.path() / "real");
  stdfs::create_directory_symlink(dir.path() / "real", dir.path() / "alias");
  const fs::Confined log{dir.path() / "alias", ".kolvex/.platform/log.jsonl"};
  fs::create_directories(log.parent());
  fs::append_line(log, "{}");
  EXPECT_EQ(dir.read("real/.kolvex/.platform/log.jsonl"), "{}\n");

  fs::create_directories(fs::Confined{dir.path() / "new" / "root", "sub"});
  EXPECT_TRUE(stdfs::is_directory(dir.path() / "new/root/sub"));
}

TEST(ConfineAt, AnchorsAboveTheLastAnchorComponent)
{
  const auto check = [](const char* full, const char* root, const char* rel) {
    const fs::Confined at = fs::confine_at(full, ".kolvex");
    EXPECT_EQ(at.root, stdfs::path(root)) << full;
    EXPECT_EQ(at.rel, stdfs::path(rel)) << full;
    EXPECT_EQ(at.full(), stdfs::path(full).lexically_normal()) << full;
  };
  check("/r/.kolvex/.platform/log.jsonl", "/r", ".kolvex/.platform/log.jsonl");
  check("/home/.kolvex/r/.kolvex/x", "/home/.kolvex/r", ".kolvex/x");
  check("/r/./.kolvex//.platform/../a", "/r", ".kolvex/a");
  check("/tmp/t/log.jsonl", "/tmp/t", "log.jsonl");
  check("log.jsonl", "", "log.jsonl");
}

// A refusal is a warning naming the path, once per path; on a hook path only a
// debug line.
TEST(Confined, RefusalWarnsOncePerPathAndOnlyInDebugOnAHookPath)
{
  TempDir repo;
  stdfs::create_directory_symlink("/", repo.path() / "hooked");
  stdfs::create_directory_symlink("/", repo.path() / "loud");
  kolvex::testing::ScopedEnv env;
  env.unset("KOLVEX_DEBUG");
  {
    kolvex::testing::FdCapture err(2);
    kolvex::core::logging::set_hook_path(true);
    EXPECT_THROW((void)fs::read_bytes(fs::Confined{repo.path(), "hooked/etc/passwd"}),
                 fs::UnsafePathError);
    kolvex::core::logging::set_hook_path(false);
    EXPECT_EQ(err.text(), "");
  }
  kolvex::testing::FdCapture err(2);
  for (int i = 0; i < 3; ++i) {
    EXPECT_THROW((void)fs::read_bytes(fs::Confined{repo.path(), "loud/etc/passwd"}),
                 fs::UnsafePathError);
  }
  const std::string text = err.text();
  const std::string shown = (repo.path() / "loud").string() + ": a symbolic link";
  EXPECT_NE(text.find("warning: refusing " + shown), std::string::npos) << text;
  EXPECT_EQ(text.find(shown), text.rfind(shown)) << "warned more than once:\n" << text;
}
