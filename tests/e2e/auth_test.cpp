// `kolvex auth` end to end: the built binary against the local API server.  The key
// must never show: every captured output and the debug lines are searched for it.
#include "core/fs.hpp"
#include "support/e2e.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

using kolvex::testing::DevServer;
using kolvex::testing::run_kolvex;
namespace stdfs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

class AuthE2E : public kolvex::testing::E2E {
protected:
  AuthE2E() : E2E({.kolvex_on_path = false, .path = "", .env = {{"KOLVEX_DEBUG", "1"}}}) {}
  void TearDown() override
  {
    for (const auto& text : captured) {
      EXPECT_THAT(text, Not(HasSubstr(server.api_key())));
      EXPECT_THAT(text, Not(HasSubstr(k_wrong_key)));
    }
  }

  // Runs kolvex and keeps both outputs for the final search.
  kolvex::core::process::Result kolvex(const std::vector<std::string>& args,
                                       std::optional<std::string> input = std::nullopt)
  {
    auto result = run_kolvex(args, home.path(), std::move(input));
    captured.push_back(result.out);
    captured.push_back(result.err);
    return result;
  }

  [[nodiscard]] stdfs::path credentials() const
  {
    return home.path() / ".config" / "kolvex" / "credentials.yaml";
  }

  static constexpr const char* k_wrong_key = "sk-wrong-key-abcdefghijklmnop";
  DevServer& server = devserver();
  std::vector<std::string> captured;
};

TEST_F(AuthE2E, LoginChecksTheKeyStoresItOwnerOnlyAndStatusShowsItsTail)
{
  const std::string tail = server.api_key().substr(server.api_key().size() - 4);
  const auto login =
      kolvex({"auth", "login", "--api-url", server.url() + "/"}, server.api_key() + "\n");
  ASSERT_EQ(login.exit_code, 0) << login.err;
  EXPECT_THAT(login.out,
              HasSubstr("Signed in as dev@localhost at " + server.url() + " (key …" + tail));

  struct ::stat st {};
  ASSERT_EQ(::stat(credentials().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const std::string stored = kolvex::core::fs::read_text(credentials());
  EXPECT_EQ(stored, "api_key: " + server.api_key() + "\napi_url: " + server.url() + "\n");

  const auto status = kolvex({"auth", "status"});
  EXPECT_EQ(status.exit_code, 0) << status.err;
  EXPECT_THAT(status.out,
              HasSubstr("API URL: " + server.url() + " (from " + credentials().string()));
  EXPECT_THAT(status.out, HasSubstr("API key: …" + tail + " (from " + credentials().string()));

  // The environment wins over the file.
  env.set("KOLVEX_API_KEY", k_wrong_key);
  const auto overridden = kolvex({"auth", "status"});
  EXPECT_EQ(overridden.exit_code, 1);
  EXPECT_THAT(overridden.out, HasSubstr("API key: …mnop (from KOLVEX_API_KEY)"));
  EXPECT_THAT(overridden.err, HasSubstr("rejected this API key"));
  env.unset("KOLVEX_API_KEY");

  const auto logout = kolvex({"auth", "logout"});
  EXPECT_EQ(logout.exit_code, 0);
  EXPECT_FALSE(stdfs::exists(credentials()));
  const auto after = kolvex({"auth", "status"});
  EXPECT_EQ(after.exit_code, 1);
  EXPECT_THAT(after.err, HasSubstr("Not signed in"));
  EXPECT_THAT(after.out, HasSubstr("(from default)"));
}

TEST_F(AuthE2E, ARejectedKeyOrAnUnreachableServerStoresNothing)
{
  const auto rejected =
      kolvex({"auth", "login", "--api-url", server.url()}, std::string(k_wrong_key) + "\n");
  EXPECT_EQ(rejected.exit_code, 1);
  EXPECT_THAT(rejected.err, HasSubstr("rejected this API key"));
  EXPECT_FALSE(stdfs::exists(credentials()));

  const auto empty = kolvex({"auth", "login", "--api-url", server.url()}, "\n");
  EXPECT_EQ(empty.exit_code, 1);
  EXPECT_THAT(empty.err, HasSubstr("No API key given"));

  const std::string url = server.url();
  ASSERT_EQ(server.stop(), 0);
  const auto down = kolvex({"auth", "login", "--api-url", url}, server.api_key() + "\n");
  EXPECT_EQ(down.exit_code, 1);
  EXPECT_THAT(down.err, HasSubstr("Could not reach kolvex at " + url));
  EXPECT_FALSE(stdfs::exists(credentials()));
}

TEST_F(AuthE2E, AKeyOnTheCommandLineWorksButWarnsAboutHistory)
{
  const auto login =
      kolvex({"auth", "login", "--api-url", server.url(), "--api-key", server.api_key()});
  EXPECT_EQ(login.exit_code, 0) << login.err;
  EXPECT_THAT(login.err, HasSubstr("shell history"));
  EXPECT_TRUE(stdfs::exists(credentials()));
  // Argument echoes are the one place the key was given by the user; still, no
  // output repeats it (checked in TearDown).
}

} // namespace
