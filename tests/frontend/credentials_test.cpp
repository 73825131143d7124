#include "frontend/credentials.hpp"

#include "support/fd_capture.hpp"
#include "support/records.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace kolvex::services::credentials {
namespace {

namespace stdfs = std::filesystem;

class CredentialsTest : public ::testing::Test {
protected:
  void SetUp() override
  {
    testing::isolate_environment(env, home);
    env.unset("KOLVEX_API_KEY");
    env.unset("KOLVEX_API_URL");
  }
  kolvex::testing::ScopedEnv env;
  testing::TempDir home;
};

TEST_F(CredentialsTest, TheFileTheEnvironmentAndTheDefault)
{
  EXPECT_EQ(credentials_path(), home.path() / ".config" / "kolvex" / "credentials.yaml");
  Credentials none = load_credentials();
  EXPECT_EQ(none.api_key, "");
  EXPECT_EQ(none.api_url, DEFAULT_API_URL);
  EXPECT_EQ(none.url_source, "default");

  save_credentials("sk-file-key-1234", "https://file.example/");
  const Credentials stored = load_credentials();
  EXPECT_EQ(stored.api_key, "sk-file-key-1234");
  EXPECT_EQ(stored.api_url, "https://file.example"); // no trailing slash
  EXPECT_EQ(stored.key_source, credentials_path().string());

  env.set("KOLVEX_API_KEY", "  sk-env-key-5678 \n");
  env.set("KOLVEX_API_URL", "http://127.0.0.1:9");
  const Credentials from_env = load_credentials();
  EXPECT_EQ(from_env.api_key, "sk-env-key-5678");
  EXPECT_EQ(from_env.key_source, "KOLVEX_API_KEY");
  EXPECT_EQ(from_env.api_url, "http://127.0.0.1:9");

  // A relative XDG_CONFIG_HOME is ignored, as the base-directory rules say.
  env.set("XDG_CONFIG_HOME", "relative/dir");
  EXPECT_EQ(credentials_path(), home.path() / ".config" / "kolvex" / "credentials.yaml");
  EXPECT_TRUE(remove_credentials());
  EXPECT_FALSE(remove_credentials());
}

TEST_F(CredentialsTest, AFileThatIsNotCredentialsIsIgnoredWithoutQuotingIt)
{
  home.write(".config/kolvex/credentials.yaml", "api_key: [sk-secret-inside\n");
  const Credentials broken = load_credentials();
  EXPECT_EQ(broken.api_key, "");
  EXPECT_NE(broken.problem.find("could not be read"), std::string::npos);
  EXPECT_EQ(broken.problem.find("sk-secret"), std::string::npos);
  home.write(".config/kolvex/credentials.yaml", "- sk-secret-list\n");
  EXPECT_NE(load_credentials().problem.find("not a map"), std::string::npos);
}

// As ssh judges its own files: a file or folder that another user owns or can
// write is not used, and no key goes into such a folder; one others can only read
// is used, with a warning.
TEST_F(CredentialsTest, FilesSomeoneElseControlsAreRefusedWithTheRemedy)
{
  const struct {
    const char* name;
    mode_t dir_mode;
    mode_t file_mode;
    uid_t owner;        // of the file; 0: the test's own
    const char* remedy; // in `problem`; nullptr: used
  } cases[] = {
      {"private", 0700, 0600, 0, nullptr},
      {"readable by others", 0755, 0644, 0, nullptr},
      {"file writable by group", 0700, 0620, 0, "chmod go-w"},
      {"file writable by others", 0700, 0602, 0, "chmod go-w"},
      {"folder writable by others", 0777, 0600, 0, "the folder"},
      {"owned by another user", 0700, 0600, 65534, "owned by another user"},
  };
  const auto dir = home.path() / ".config" / "kolvex";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.owner != 0 && ::getuid() != 0) {
      continue; // only root can give a file away
    }
    home.write(".config/kolvex/credentials.yaml",
               "api_key: sk-planted\napi_url: https://evil.example\n");
    ASSERT_EQ(::chmod(dir.c_str(), c.dir_mode), 0);
    ASSERT_EQ(::chmod(credentials_path().c_str(), c.file_mode), 0);
    if (c.owner != 0) {
      ASSERT_EQ(::chown(credentials_path().c_str(), c.owner, c.owner), 0);
    }
    kolvex::testing::FdCapture err(2);
    const Credentials found = load_credentials();
    const bool warned_readable = err.text().find("chmod 600") != std::string::npos;
    EXPECT_EQ(warned_readable, c.remedy == nullptr && (c.file_mode & 044) != 0) << err.text();
    if (c.remedy == nullptr) {
      EXPECT_EQ(found.api_key, "sk-planted");
      EXPECT_EQ(found.problem, "");
    } else {
      EXPECT_EQ(found.api_key, "");
      EXPECT_EQ(found.api_url, DEFAULT_API_URL);
      EXPECT_NE(found.problem.find(c.remedy), std::string::npos) << found.problem;
    }
    stdfs::remove(credentials_path());
  }

  ASSERT_EQ(::chmod(dir.c_str(), 0777), 0);
  EXPECT_THROW(save_credentials("sk-mine", "https://api.example"), UnsafeCredentialsError);
  EXPECT_FALSE(stdfs::exists(credentials_path()));
}

TEST(MaskedKey, ShowsAtMostTheLastFourCharacters)
{
  EXPECT_EQ(masked_key("sk-abcdef123456"), "…3456");
  EXPECT_EQ(masked_key("abcd"), "…");
  EXPECT_EQ(masked_key(""), "…");
}

} // namespace
} // namespace kolvex::services::credentials
