#include "core/logging.hpp"

#include "support/fd_capture.hpp"
#include "support/scoped_env.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

namespace logging = kolvex::core::logging;
using kolvex::testing::FdCapture;

namespace {

// Sets KOLVEX_DEBUG (or unsets it for nullptr) for the scope.
class DebugSwitch {
public:
  explicit DebugSwitch(const char* value)
  {
    if (value == nullptr) {
      m_env.unset("KOLVEX_DEBUG");
    } else {
      m_env.set("KOLVEX_DEBUG", value);
    }
  }

private:
  kolvex::testing::ScopedEnv m_env;
};

} // namespace

TEST(DebugSwitch, OnOnlyForTheFourWordsTrimmedAndCaseFolded)
{
  for (const char* on : {"1", "true", "yes", "on", " On ", "\tTRUE\n", "Yes"}) {
    DebugSwitch set(on);
    EXPECT_TRUE(logging::debug_enabled()) << '"' << on << '"';
  }
  for (const char* off : {"", "0", "false", "no", "off", "2", "enable", "o n", "yes please"}) {
    DebugSwitch set(off);
    EXPECT_FALSE(logging::debug_enabled()) << '"' << off << '"';
  }
  DebugSwitch unset(nullptr);
  EXPECT_FALSE(logging::debug_enabled());
}

TEST(Logger, WarningsAlwaysGoToStderrAndNothingToStdout)
{
  DebugSwitch off("0");
  const logging::Logger log("kolvex.relaycore.log");
  FdCapture out(1);
  FdCapture err(2);
  log.warning("Could not archive attestation: disk full");
  log.debug("not shown");
  log.debug_exception("not shown either", std::runtime_error("x"));
  EXPECT_EQ(err.text(),
            "kolvex.relaycore.log: warning: Could not archive attestation: disk full\n");
  EXPECT_EQ(out.text(), "");
}

TEST(Logger, DebugLinesAndTracesOnlyWhenSwitchedOn)
{
  DebugSwitch on("yes");
  const logging::Logger log("kolvex.test");
  FdCapture out(1);
  FdCapture err(2);
  log.debug("step done");
  log.debug_exception("upload failed (best-effort)", std::invalid_argument("bad chunk"));
  const std::string text = err.text();
  EXPECT_EQ(text.rfind("kolvex.test: debug: step done\n", 0), 0U) << text;
  EXPECT_NE(text.find("kolvex.test: debug: upload failed (best-effort)\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("\n#0 "), std::string::npos) << text;
  EXPECT_NE(text.find("invalid_argument: bad chunk\n"), std::string::npos) << text;
  EXPECT_EQ(out.text(), "");
}
