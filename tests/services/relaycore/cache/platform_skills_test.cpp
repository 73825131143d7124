// Platform skills: the npx install (run against stand-in npx scripts on PATH; the
// real npx is never run here) and the distribution of skills to the adapters.
#include "services/relaycore/cache/platform_skills.hpp"

#include "core/fs.hpp"
#include "hooks/agent_guidance.hpp"
#include "support/fake_adapter.hpp"
#include "support/repo.hpp"
#include "support/scoped_env.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace cache = kolvex::services::relaycore::cache;
using kolvex::core::List;
using kolvex::core::Map;
using kolvex::core::Value;
using kolvex::testing::FakeAdapter;
using kolvex::testing::ScopedEnv;
using kolvex::testing::TempDir;
namespace stdfs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// A directory holding an executable `npx` with `body`, put first on PATH.
class FakeNpx {
public:
  explicit FakeNpx(const std::string& body)
  {
    const stdfs::path script = m_bin.write("npx", "#!/bin/sh\n" + body);
    ::chmod(script.c_str(), 0755);
    m_env.unset("KOLVEX_SKIP_PLATFORM_SKILLS");
    m_env.set("PATH", m_bin.path().string() + ":/usr/bin:/bin");
    m_env.set("NPX_RECORD", m_bin.path().string());
    m_env.set("XDG_CACHE_HOME", (m_bin.path() / "cache").string());
  }
  ScopedEnv& env() { return m_env; }
  // What the stand-in left in $NPX_RECORD (it runs in a scratch directory).
  [[nodiscard]] std::string recorded(const std::string& name) const { return m_bin.read(name); }
  [[nodiscard]] bool ran() const { return stdfs::exists(m_bin.path() / ".npx-args"); }
  void forget() const { stdfs::remove(m_bin.path() / ".npx-args"); }

private:
  TempDir m_bin;
  ScopedEnv m_env;
};

// What the stand-in records about how it was run: its arguments, where its stdin
// comes from, whether it leads its own process group and where it ran; then it
// installs one platform skill, as `skills add` does, where it runs.
const std::string k_recorder = R"(
printf '%s\n' "$@" > "$NPX_RECORD/.npx-args"
readlink /proc/self/fd/0 > "$NPX_RECORD/.npx-stdin"
pwd -P > "$NPX_RECORD/.npx-cwd"
pgid=$(cut -d' ' -f5 /proc/$$/stat)
[ "$pgid" = "$$" ] && echo own-group > "$NPX_RECORD/.npx-group"
mkdir -p .agents/skills/review/notes .claude/skills
printf -- '---\nname: review\n---\nnpx\n' > .agents/skills/review/SKILL.md
echo extra > .agents/skills/review/notes/extra.md
ln -s ../../.agents/skills/review .claude/skills/review
echo '{"skills": {"review": {"source": "kolvex/engineering"}}}' > skills-lock.json
)";

bool alive(pid_t pid)
{
  // A zombie has exited: only its entry waits for a parent to reap it.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) {
    return false;
  }
  const std::size_t close = line.rfind(')');
  return close != std::string::npos && line.substr(close + 2, 1) != "Z";
}

// An adapter whose npx coverage the test decides, and whose skill writing fails
// when `fails`.
FakeAdapter skill_adapter(std::string name, bool covered, bool fails = false)
{
  FakeAdapter adapter(std::move(name));
  adapter.npx_covered = covered;
  adapter.write_fails = fails;
  return adapter;
}

Value skill(const std::string& slug, const std::string& content, std::optional<std::string> source)
{
  Map map{{"slug", slug}, {"content", content}};
  if (source) {
    map.set("source", *source);
  }
  return map;
}

void install_platform(const TempDir& repo, const std::vector<std::string>& slugs)
{
  std::string entries;
  for (const auto& slug : slugs) {
    entries +=
        (entries.empty() ? "\"" : ", \"") + slug + "\": {\"source\": \"kolvex/engineering\"}";
    repo.write(".agents/skills/" + slug + "/SKILL.md", "---\nname: " + slug + "\n---\nnpx\n");
  }
  repo.write("skills-lock.json", "{\"skills\": {" + entries + "}}");
}

} // namespace

TEST(InstallPlatformSkills, RunsTheCommandDetachedWithStdinFromTheNullDevice)
{
  TempDir repo;
  FakeNpx npx(k_recorder + "exit 0\n");
  EXPECT_TRUE(cache::install_platform_skills(repo.path()));
  EXPECT_EQ(npx.recorded(".npx-args"), "-y\nskills\nadd\nkolvex/engineering\n-y\n");
  EXPECT_EQ(npx.recorded(".npx-stdin"), "/dev/null\n");
  EXPECT_EQ(npx.recorded(".npx-group"), "own-group\n");
  EXPECT_EQ(cache::_SKILLS_INSTALL_CMD,
            (std::vector<std::string>{"npx", "-y", "skills", "add", "kolvex/engineering", "-y"}));
  EXPECT_EQ(cache::k_install_timeout, 120s);
}

TEST(InstallPlatformSkills, FalseWhenSkippedMissingOrFailing)
{
  TempDir repo;
  {
    FakeNpx npx(k_recorder + "exit 0\n");
    npx.env().set("KOLVEX_SKIP_PLATFORM_SKILLS", "1");
    EXPECT_FALSE(cache::install_platform_skills(repo.path()));
    EXPECT_FALSE(npx.ran()) << "no process may start";
  }
  {
    ScopedEnv env;
    TempDir empty_bin;
    env.set("PATH", empty_bin.path().string());
    EXPECT_FALSE(cache::install_platform_skills(repo.path()));
  }
  {
    FakeNpx npx("echo failing >&2\nexit 1\n");
    EXPECT_FALSE(cache::install_platform_skills(repo.path()));
  }
  {
    FakeNpx npx("exit 0\n");
    EXPECT_FALSE(cache::install_platform_skills(repo.path() / "no-such-dir"));
  }
}

// A hanging installer and the child it started are both killed at the limit.
TEST(InstallPlatformSkills, AHangingInstallLosesItsWholeProcessGroup)
{
  TempDir repo;
  FakeNpx npx("sleep 300 &\necho $! > \"$NPX_RECORD/.npx-child\"\nwait\n");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(cache::install_platform_skills(repo.path(), 1s));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 60s);
  const pid_t child = std::stoi(npx.recorded(".npx-child"));
  for (int i = 0; i < 200 && alive(child); ++i) {
    std::this_thread::sleep_for(10ms); // SIGKILL is delivered asynchronously
  }
  EXPECT_FALSE(alive(child)) << "the installer's child survived";
}

// npx runs in an empty scratch directory, not in the repository, and what it
// installed there lands where the repository's agents read it: the skill's whole
// folder and the lock manifest, merged with the project's own entries.  A
// successful npx that installed nothing is no install.
TEST(InstallPlatformSkills, RunsOutsideTheRepositoryAndCarriesTheSkillsIn)
{
  TempDir repo;
  repo.write("skills-lock.json",
             "{\"version\": 1, \"skills\": {\"mine\": {\"source\": \"me/x\"}}}");
  FakeNpx npx(k_recorder + "exit 0\n");
  ASSERT_TRUE(cache::install_platform_skills(repo.path()));
  std::string ran_in = npx.recorded(".npx-cwd");
  ran_in.pop_back();
  EXPECT_NE(ran_in, repo.path().string());
  EXPECT_FALSE(stdfs::exists(ran_in)) << "the scratch directory is removed";
  EXPECT_EQ(repo.read(".agents/skills/review/SKILL.md"), "---\nname: review\n---\nnpx\n");
  EXPECT_EQ(repo.read(".agents/skills/review/notes/extra.md"), "extra\n");
  EXPECT_EQ(kolvex::hooks::agent_guidance::installed_platform_slugs(repo.path()),
            std::vector<std::string>{"review"});
  EXPECT_NE(repo.read("skills-lock.json").find("\"mine\""), std::string::npos);
  EXPECT_NE(repo.read("skills-lock.json").find("\"version\": 1"), std::string::npos);

  FakeNpx empty("exit 0\n");
  TempDir other;
  EXPECT_FALSE(cache::install_platform_skills(other.path()));
}

namespace {

// The installer as sync meets it: each run appends a line to $NPX_RECORD/.npx-runs.
const std::string k_counted = "echo run >> \"$NPX_RECORD/.npx-runs\"\n";

std::size_t runs(const FakeNpx& npx)
{
  const std::string text = npx.recorded(".npx-runs");
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

std::int64_t now_epoch()
{
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

struct InstallCase {
  const char* name;
  std::string body;
  const char* outcome; // the start of the second line
};

class EnsureInstall : public ::testing::TestWithParam<InstallCase> {};

} // namespace

// Sync says that it runs the installer and how that went, one line each.  A failed
// install is not run again on the next sync, only once the wanted platform set
// changes or six hours have passed; a successful one is not run again at all.
TEST_P(EnsureInstall, AnnouncedOnceAndAFailureIsNotRetriedOnEverySync)
{
  const InstallCase& row = GetParam();
  TempDir repo;
  FakeNpx npx(k_counted + row.body);
  const std::vector<std::string> wanted{"review"};
  const auto lines = cache::ensure_platform_skills(repo.handle(), wanted, 1s);
  ASSERT_EQ(lines.size(), 2U);
  EXPECT_EQ(lines[0], "Installing platform skills: npx -y skills add kolvex/engineering -y");
  EXPECT_EQ(lines[1].rfind(row.outcome, 0), 0U) << lines[1];
  EXPECT_EQ(runs(npx), 1U);

  EXPECT_TRUE(cache::ensure_platform_skills(repo.handle(), wanted, 1s).empty());
  EXPECT_TRUE(cache::ensure_platform_skills(repo.handle(), std::nullopt, 1s).empty());
  EXPECT_EQ(runs(npx), 1U) << "retried at once";
  const stdfs::path record = repo.path() / ".kolvex/.platform/platform-skills-install.json";
  if (std::string(row.outcome) == "Platform skills installed") {
    EXPECT_FALSE(stdfs::exists(record));
    return;
  }
  ASSERT_TRUE(stdfs::exists(record));

  EXPECT_EQ(cache::ensure_platform_skills(repo.handle(), {{"tidy", "review"}}, 1s).size(), 2U);
  EXPECT_EQ(runs(npx), 2U) << "a new wanted set is tried at once";

  repo.write(".kolvex/.platform/platform-skills-install.json",
             R"({"version": 1, "failed_at": )" + std::to_string(now_epoch() - 6 * 3600 - 5) +
                 R"(, "wanted": ["review", "tidy"]})");
  EXPECT_EQ(cache::ensure_platform_skills(repo.handle(), {{"review", "tidy"}}, 1s).size(), 2U);
  EXPECT_EQ(runs(npx), 3U) << "six hours later it is tried again";
}

INSTANTIATE_TEST_SUITE_P(
    Installer,
    EnsureInstall,
    ::testing::Values(
        InstallCase{"fails", "exit 1\n", "Platform skills not installed: npx exited with status 1"},
        InstallCase{"hangs", "sleep 30\n", "Platform skills not installed: npx did not finish"},
        InstallCase{"installs_nothing", "exit 0\n", "Platform skills not installed: npx finished"},
        InstallCase{"succeeds", k_recorder + "exit 0\n", "Platform skills installed"}),
    [](const auto& info) { return std::string(info.param.name); });

// A record that cannot tell when the install failed, or dates the failure in the
// future (a clock set back), does not hold the install back.
TEST(EnsurePlatformSkills, ARecordThatCannotBeTrustedDoesNotHoldTheInstallBack)
{
  const std::string fresh = std::to_string(now_epoch() - 60);
  for (const auto& [record, retried] : std::vector<std::pair<std::string, bool>>{
           {R"({"failed_at": )" + fresh + R"(, "wanted": ["review"]})", false},
           {R"({"failed_at": )" + std::to_string(now_epoch() + 36000) +
                R"(, "wanted": ["review"]})",
            true},
           {R"({"failed_at": ")" + fresh + R"(", "wanted": ["review"]})", true},
           {R"({"failed_at": )" + fresh + R"(, "wanted": "review"})", true},
           {"not json", true},
           {"", true}}) {
    TempDir repo;
    FakeNpx npx(k_counted + "exit 1\n");
    repo.write(".kolvex/.platform/platform-skills-install.json", record);
    (void)cache::ensure_platform_skills(repo.handle(), {{"review"}}, 1s);
    EXPECT_EQ(runs(npx), retried ? 1U : 0U) << record;
  }
}

// Presence is the lock manifest's word, not the contents of .agents/skills.
TEST(EnsurePlatformSkills, InstallsOnlyWhenTheLockManifestListsNone)
{
  TempDir repo;
  FakeNpx npx(k_recorder + "exit 0\n");
  repo.write(".agents/skills/custom/SKILL.md", "codex wrote this\n");
  cache::ensure_platform_skills(repo.handle());
  EXPECT_TRUE(npx.ran());

  npx.forget();
  install_platform(repo, {"review"});
  stdfs::remove_all(repo.path() / ".agents/skills");
  cache::ensure_platform_skills(repo.handle());
  EXPECT_FALSE(npx.ran());
}

TEST(DistributeSkills, WithoutNpxTheServersPlatformSkillsAreTheFallback)
{
  TempDir repo;
  FakeAdapter uncovered = skill_adapter("claude-code", false);
  const List skills{skill("review", "custom review", "project"),
                    skill("review", "platform review", "platform"),
                    skill("tidy", "platform tidy", "platform"),
                    skill("notes", "no source", std::nullopt)};
  cache::_distribute_skills(repo.path(), skills, {&uncovered});
  ASSERT_TRUE(uncovered.written);
  EXPECT_EQ(
      *uncovered.written,
      (std::vector<std::string>{"review/custom review", "notes/no source", "tidy/platform tidy"}));
}

TEST(DistributeSkills, NpxSetReplacesTheServersAndCoveredAgentsGetOnlyCustom)
{
  TempDir repo;
  install_platform(repo, {"a", "b"});
  FakeAdapter covered = skill_adapter("claude-code", true);
  FakeAdapter uncovered = skill_adapter("gemini-cli", false);
  const List skills{skill("mine", "custom", "system"), skill("z", "server platform", "platform")};
  cache::_distribute_skills(repo.path(), skills, {&covered, &uncovered});
  EXPECT_EQ(*covered.written, std::vector<std::string>{"mine/custom"});
  EXPECT_EQ(*uncovered.written, (std::vector<std::string>{"mine/custom", "a/npx\n", "b/npx\n"}));
}

TEST(DistributeSkills, OneAdaptersFailureDoesNotStopTheNext)
{
  TempDir repo;
  FakeAdapter failing = skill_adapter("codex", false, true);
  FakeAdapter next = skill_adapter("claude-code", false);
  cache::_distribute_skills(repo.path(), {skill("a", "x", "project")}, {&failing, &next});
  EXPECT_EQ(*next.written, std::vector<std::string>{"a/x"});
}
