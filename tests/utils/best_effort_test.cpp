#include "utils/best_effort.hpp"

#include "support/fd_capture.hpp"
#include "support/scoped_env.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <system_error>

using kolvex::testing::FdCapture;
using kolvex::testing::ScopedEnv;
using kolvex::utils::Audible;
using kolvex::utils::best_effort;

TEST(BestEffort, ReportsWhetherTheBodyCompleted)
{
  ScopedEnv env;
  env.unset("KOLVEX_DEBUG");
  FdCapture err(2);
  int runs = 0;
  EXPECT_TRUE(best_effort("refresh", Audible::yes, [&] { ++runs; }));
  EXPECT_FALSE(best_effort("refresh", Audible::no, [&] {
    ++runs;
    throw std::runtime_error("boom");
  }));
  EXPECT_EQ(runs, 2);
  EXPECT_EQ(err.text(), ""); // silent: not audible and debugging off
}

TEST(BestEffort, AudibleFailureWarnsWithTheClassNameOnly)
{
  ScopedEnv env;
  env.unset("KOLVEX_DEBUG");
  FdCapture out(1);
  FdCapture err(2);
  EXPECT_FALSE(best_effort("attestation upload", Audible::yes, [] {
    throw std::system_error(std::make_error_code(std::errc::timed_out), "https://secret/path");
  }));
  EXPECT_EQ(err.text(),
            "kolvex.utils.best_effort: warning: attestation upload failed: system_error\n");
  EXPECT_EQ(out.text(), "");
}

TEST(BestEffort, DebugLogCarriesLabelAndTrace)
{
  ScopedEnv env;
  env.set("KOLVEX_DEBUG", "1");
  FdCapture err(2);
  EXPECT_FALSE(best_effort(
      "Ledger segment archival", Audible::no, [] { throw std::runtime_error("rename failed"); }));
  const std::string text = err.text();
  EXPECT_NE(text.find("debug: Ledger segment archival failed (best-effort)\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("#0 "), std::string::npos) << text;
  EXPECT_NE(text.find("runtime_error: rename failed"), std::string::npos) << text;
}

TEST(BestEffort, ForeignExceptionsPassThrough)
{
  EXPECT_THROW(best_effort("x", Audible::no, [] { throw 42; }), int);
}
