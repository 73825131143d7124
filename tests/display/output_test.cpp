#include "display/output.hpp"

#include "support/scoped_env.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

namespace output = kolvex::display::output;
using output::Level;
using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(Output, PlainMessagesAreTheTextExactly)
{
  for (auto level : {Level::error, Level::warning, Level::success, Level::info}) {
    EXPECT_EQ(output::format_message(level, "  Run 'git commit' \u2014 now", false),
              "  Run 'git commit' \u2014 now");
  }
}

TEST(Output, StyledMessagesKeepTheTextAndResetTheColour)
{
  const auto line = output::format_message(Level::error, "Missing required flags: --model", true);
  EXPECT_THAT(line, StartsWith("\x1b["));
  EXPECT_THAT(line, HasSubstr("Missing required flags: --model"));
  EXPECT_THAT(line, testing::EndsWith("\x1b[0m"));
  EXPECT_NE(output::format_message(Level::error, "x", true),
            output::format_message(Level::success, "x", true));
}

TEST(Output, ColourOnlyOnATerminalWithoutNoColorOrADumbTerminal)
{
  kolvex::testing::ScopedEnv env;
  env.unset("NO_COLOR").set("TERM", "xterm-256color");
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  EXPECT_FALSE(output::colour_enabled(pipe_fds[1]));
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);

  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0) {
    GTEST_SKIP() << "no pseudo-terminals here";
  }
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  EXPECT_TRUE(output::colour_enabled(terminal));
  env.set("NO_COLOR", "1");
  EXPECT_FALSE(output::colour_enabled(terminal));
  // An empty NO_COLOR is no request (no-color.org).
  env.set("NO_COLOR", "");
  EXPECT_TRUE(output::colour_enabled(terminal));
  env.set("TERM", "dumb");
  EXPECT_FALSE(output::colour_enabled(terminal));
  env.unset("TERM");
  EXPECT_TRUE(output::colour_enabled(terminal));
  ::close(terminal);
  ::close(master);
}

TEST(Output, StreamsAreSplitByLevel)
{
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  output::error("e1");
  output::success("s1");
  output::warning("w1");
  output::info("i1");
  output::console().print("[not markup] as is");
  const auto out = testing::internal::GetCapturedStdout();
  const auto err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(out, "s1\ni1\n[not markup] as is\n");
  EXPECT_EQ(err, "e1\nw1\n");
}

} // namespace
