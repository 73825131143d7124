#include "services/credentials.hpp"

#include "services/relaycore/capture/capture_support.hpp"

#include <gtest/gtest.h>

namespace kolvex::services::credentials {
namespace {

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

TEST(MaskedKey, ShowsAtMostTheLastFourCharacters)
{
  EXPECT_EQ(masked_key("sk-abcdef123456"), "…3456");
  EXPECT_EQ(masked_key("abcd"), "…");
  EXPECT_EQ(masked_key(""), "…");
}

} // namespace
} // namespace kolvex::services::credentials
