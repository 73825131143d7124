// A cloned repository that ships symbolic links (and a FIFO) under .kolvex/ and as
// .kolvexlog, run through everything that fires without the user asking: the
// session-start hook, the post-commit record and `git commit` with the hook.
// Nothing outside the repository may change, nothing may hang, and the hooks stay
// silent.
#include "hooks/installer.hpp"
#include "support/e2e.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

using kolvex::testing::TempDir;
using kolvex::testing::TempRepo;
namespace stdfs = std::filesystem;

const std::string k_log = ".kolvex/.platform/log.jsonl";

// Generous: a hang is what is being caught, and the machine may be busy.
constexpr auto k_time_limit = std::chrono::seconds(30);

kolvex::core::process::Result bounded(const std::vector<std::string>& argv,
                                      const stdfs::path& cwd,
                                      std::optional<std::string> input = std::nullopt)
{
  kolvex::core::process::Options options;
  options.cwd = cwd;
  options.input = std::move(input);
  options.timeout = k_time_limit;
  options.session = kolvex::core::process::Session::new_group;
  return kolvex::core::process::run(argv, options);
}

// Every entry under `dir` with its bytes (or what it is): "untouched" is equality.
std::map<std::string, std::string> snapshot(const stdfs::path& dir)
{
  std::map<std::string, std::string> entries;
  for (const auto& entry : stdfs::recursive_directory_iterator(dir)) {
    std::string& seen = entries[entry.path().string()];
    if (entry.is_symlink()) {
      seen = "link";
    } else if (entry.is_regular_file()) {
      seen = kolvex::core::fs::read_bytes(entry.path());
    } else {
      seen = entry.is_directory() ? "dir" : "special";
    }
  }
  return entries;
}

// One way a repository can try to turn kolvex against its user.
struct Variant {
  const char* name;
  // The trap's place in the repository.
  std::string trap;
  // Ships the trap in `origin` (committed, links included), using `outside`.
  std::function<void(const TempRepo& origin, const stdfs::path& outside)> ship;
  // What the clone gets after cloning (what git cannot ship), if anything.
  std::function<void(const stdfs::path& clone)> after_clone = {};
  // Whether `kolvex status`, which reads the log, runs into the trap.
  bool status_meets_it = true;
};

void link(const stdfs::path& target, const TempRepo& origin, const stdfs::path& rel)
{
  stdfs::create_directories((origin.path() / rel).parent_path());
  stdfs::create_symlink(target, origin.path() / rel);
}

// A real configuration, so that kolvex takes the repository as set up.
void configured(const TempRepo& origin)
{
  origin.write(".kolvex/.platform/config.yaml", "agents: []\n");
}

const std::vector<Variant>& variants()
{
  static const std::vector<Variant> all{
      {"log.jsonl -> a file outside",
       k_log,
       [](const TempRepo& origin, const stdfs::path& outside) {
         configured(origin);
         link(outside / "profile", origin, k_log);
       }},
      {".kolvex -> a directory outside",
       ".kolvex",
       [](const TempRepo& origin, const stdfs::path& outside) {
         link(outside, origin, ".kolvex"); // holding .platform/config.yaml and a log
       }},
      {".kolvex/.platform -> a directory outside",
       ".kolvex/.platform",
       [](const TempRepo& origin, const stdfs::path& outside) {
         origin.write(".kolvex/config.yaml", "agents: []\n"); // the legacy configuration
         link(outside / "kolvex/.platform", origin, ".kolvex/.platform");
       }},
      {"attestations/ -> a directory outside",
       ".kolvex/.platform/attestations",
       [](const TempRepo& origin, const stdfs::path& outside) {
         configured(origin);
         link(outside / "attestations", origin, ".kolvex/.platform/attestations");
       },
       {},
       false},
      {".kolvexlog -> a file outside",
       ".kolvexlog",
       [](const TempRepo& origin, const stdfs::path& outside) {
         configured(origin);
         link(outside / "profile", origin, ".kolvexlog");
       },
       // The legacy log is merged when a pending attestation is filed.
       [](const stdfs::path& clone) {
         std::ofstream(clone / ".kolvex/.commit-attestation.yaml") << "---\nsummary: s\n---\n";
       },
       false},
      {"log.jsonl -> /dev/zero",
       k_log,
       [](const TempRepo& origin, const stdfs::path&) {
         configured(origin);
         link("/dev/zero", origin, k_log);
       }},
      {"log.jsonl -> a FIFO outside",
       k_log,
       [](const TempRepo& origin, const stdfs::path& outside) {
         configured(origin);
         link(outside / "fifo", origin, k_log);
       }},
      {"log.jsonl is a FIFO",
       k_log,
       [](const TempRepo& origin, const stdfs::path&) { configured(origin); },
       [](const stdfs::path& clone) { ASSERT_EQ(::mkfifo((clone / k_log).c_str(), 0644), 0); }},
  };
  return all;
}

class HostileRepoE2E : public kolvex::testing::E2E {
protected:
  // What a link out of the repository would reach: a profile, a .kolvex tree with
  // a configuration and a log, an archive, and a FIFO.
  void fill_outside() const
  {
    outside.write("profile", "export PATH=$HOME/bin:$PATH\n");
    outside.write(".platform/config.yaml", "agents: []\n");
    outside.write(".platform/log.jsonl", "");
    outside.write("kolvex/.platform/config.yaml", "agents: []\n");
    outside.write("kolvex/.platform/log.jsonl", "");
    outside.write("attestations/keep.yaml", "kept: true\n");
    ASSERT_EQ(::mkfifo((outside.path() / "fifo").c_str(), 0644), 0);
  }

  TempDir outside;
};

} // namespace

TEST_F(HostileRepoE2E, NothingOutsideChangesAndNothingHangs)
{
  fill_outside();
  for (const Variant& variant : variants()) {
    SCOPED_TRACE(variant.name);
    TempRepo origin;
    origin.write("README", "hello\n");
    variant.ship(origin, outside.path());
    origin.git({"add", "-f", "-A"});
    origin.git({"commit", "-q", "-m", "ship it"});

    TempDir work;
    const auto cloned =
        bounded({"git", "clone", "-q", origin.path().string(), "clone"}, work.path());
    ASSERT_EQ(cloned.exit_code, 0) << cloned.err;
    const stdfs::path clone = work.path() / "clone";
    bounded({"git", "config", "user.name", "Dev"}, clone);
    bounded({"git", "config", "user.email", "dev@example.com"}, clone);
    kolvex::hooks::installer::install_hook(clone, kolvex::hooks::installer::POST_COMMIT);
    if (variant.after_clone) {
      variant.after_clone(clone);
    } else {
      ASSERT_TRUE(stdfs::is_symlink(clone / variant.trap)) << "git did not ship the link";
    }
    const auto before = snapshot(outside.path());

    const auto started = bounded({KOLVEX_BIN, "session-start", "--agent", "claude-code"},
                                 clone,
                                 R"({"cwd": ")" + clone.string() + R"("})");
    EXPECT_FALSE(started.timed_out);
    EXPECT_EQ(started.exit_code, 0);
    EXPECT_EQ(started.err, "") << "a hook path reports refusals only in debug";

    std::ofstream(clone / "change.txt") << "change\n";
    ASSERT_EQ(bounded({"git", "add", "change.txt"}, clone).exit_code, 0);
    const auto committed = bounded({"git", "commit", "-q", "-m", "change"}, clone);
    EXPECT_FALSE(committed.timed_out);
    EXPECT_EQ(committed.exit_code, 0) << committed.err;

    const auto recorded = bounded({KOLVEX_BIN, "sync", "--record-commit"}, clone);
    EXPECT_FALSE(recorded.timed_out);
    EXPECT_EQ(recorded.exit_code, 0);
    EXPECT_EQ(recorded.out + recorded.err, "");

    // A command names what it refused.
    const auto status = bounded({KOLVEX_BIN, "status"}, clone);
    EXPECT_FALSE(status.timed_out);
    if (variant.status_meets_it) {
      EXPECT_NE(status.err.find("refusing " + (clone / variant.trap).string()), std::string::npos)
          << status.err;
    }

    EXPECT_EQ(snapshot(outside.path()), before);
    if (variant.trap == k_log) {
      // A log that refuses the line gets no archive that would claim the commit.
      const auto archives = clone / ".kolvex/.platform/attestations";
      EXPECT_TRUE(!stdfs::exists(archives) || stdfs::is_empty(archives));
    }
    EXPECT_TRUE(stdfs::is_fifo(outside.path() / "fifo"));
  }
}
