// libcurl stays out of every process that makes no network call: it is not linked
// into kolvex, and a command that reaches no server does not load it.
#include "support/e2e.hpp"

#include <gtest/gtest.h>

#include <filesystem>

namespace kolvex::testing {
namespace {

class NetworkLibrary : public kolvex::testing::E2E {};

TEST_F(NetworkLibrary, KolvexIsNotLinkedWithLibcurl)
{
  TempDir dir;
  const auto kolvex = run({"ldd", KOLVEX_BIN}, dir.path());
  ASSERT_EQ(kolvex.exit_code, 0) << kolvex.err;
  EXPECT_NE(kolvex.out.find("librelaycore.so"), std::string::npos) << kolvex.out;
  EXPECT_EQ(kolvex.out.find("libcurl"), std::string::npos) << kolvex.out;
  // The library the loader opens is where it looks: beside librelaycore.so.
  const auto http =
      std::filesystem::path(KOLVEX_BIN).parent_path() / "../lib/kolvex/libkolvex_http.so";
  const auto client = run({"ldd", http.string()}, dir.path());
  ASSERT_EQ(client.exit_code, 0) << client.err;
  EXPECT_NE(client.out.find("libcurl"), std::string::npos) << client.out;
}

TEST_F(NetworkLibrary, ACommandWithoutANetworkCallNeverLoadsIt)
{
  repo.commit_file("a.txt", "a\n", "first");
  ASSERT_EQ(run_kolvex({"setup"}, repo.path()).exit_code, 0);
  testing::ScopedEnv env;
  env.set("LD_DEBUG", "libs");
  const auto status = run_kolvex({"status", "--json"}, repo.path());
  const auto hook = run_kolvex({"sync", "--record-commit"}, repo.path());
  env.unset("LD_DEBUG");
  ASSERT_EQ(status.exit_code, 0) << status.err;
  EXPECT_NE(status.err.find("librelaycore.so"), std::string::npos); // LD_DEBUG is heard
  EXPECT_EQ(status.err.find("libcurl"), std::string::npos);
  EXPECT_EQ(status.err.find("libkolvex_http"), std::string::npos);
  EXPECT_EQ(hook.err.find("libcurl"), std::string::npos);
}

} // namespace
} // namespace kolvex::testing
