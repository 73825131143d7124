#include "agents/registry.hpp"

#include "support/agent_env.hpp"
#include "support/fake_adapter.hpp"

#include <gtest/gtest.h>

using kolvex::agents::detect_active_agent;
using kolvex::agents::get_adapter_by_name;
using kolvex::agents::iter_adapters;
using kolvex::agents::normalize_agent_name;
using kolvex::agents::ScopedAdapters;
using namespace kolvex::testing;

namespace {

std::vector<std::string> names()
{
  std::vector<std::string> out;
  for (const auto* adapter : iter_adapters()) {
    out.push_back(adapter->name());
  }
  return out;
}

} // namespace

TEST(Registry, FixedOrderAndLookupByAnyAlias)
{
  AgentEnv env;
  EXPECT_EQ(names(),
            (std::vector<std::string>{
                "claude-code", "codex", "gemini-cli", "cursor", "windsurf", "aider"}));
  EXPECT_EQ(get_adapter_by_name("Claude Code")->name(), "claude-code");
  EXPECT_EQ(get_adapter_by_name(" gemini ")->name(), "gemini-cli");
  EXPECT_EQ(get_adapter_by_name("cursor-agent")->name(), "cursor");
  EXPECT_EQ(get_adapter_by_name("unknown-bot"), nullptr);
  EXPECT_EQ(get_adapter_by_name(""), nullptr);
}

TEST(Registry, NormalizeAgentName)
{
  EXPECT_EQ(normalize_agent_name("claude"), "claude-code");
  EXPECT_EQ(normalize_agent_name("claude_code"), "claude-code");
  EXPECT_EQ(normalize_agent_name("  Claude Code\t"), "claude-code");
  EXPECT_EQ(normalize_agent_name("CLAUDE-CODE"), "claude-code");
  EXPECT_EQ(normalize_agent_name("Gemini"), "gemini-cli");
  EXPECT_EQ(normalize_agent_name("gemini_cli"), "gemini-cli");
  EXPECT_EQ(normalize_agent_name("Cursor-Agent"), "cursor");
  EXPECT_EQ(normalize_agent_name("Codex"), "codex");
  // Unknown names are only trimmed and lower-cased: no other rewriting.
  EXPECT_EQ(normalize_agent_name("  My_Agent v2 "), "my_agent v2");
  EXPECT_EQ(normalize_agent_name(""), "");
}

TEST(Registry, DetectionFollowsMarkersInRegistryOrder)
{
  AgentEnv env;
  EXPECT_EQ(detect_active_agent(), nullptr);
  env.env().set("CURSOR_TRACE_ID", "abc"); // in every Cursor terminal: proves nothing
  EXPECT_EQ(detect_active_agent(), nullptr);
  env.env().set("CURSOR_EXTENSION_HOST_ROLE", "agent-exec");
  EXPECT_EQ(detect_active_agent()->name(), "cursor");
  env.env().unset("CURSOR_EXTENSION_HOST_ROLE");
  env.env().set("CURSOR_AGENT", "1");
  EXPECT_EQ(detect_active_agent()->name(), "cursor");
  env.env().set("GEMINI_CLI", "1");
  EXPECT_EQ(detect_active_agent()->name(), "gemini-cli"); // bare markers: registry order
  env.env().set("CODEX_THREAD_ID", "t");
  EXPECT_EQ(detect_active_agent()->name(), "codex");
  // CLAUDECODE=1 comes first in the registry, but a marker naming its session wins.
  env.env().set("CLAUDECODE", "1");
  EXPECT_EQ(detect_active_agent()->name(), "codex");
  env.env().set("CLAUDE_CODE_SESSION_ID", "s");
  EXPECT_EQ(detect_active_agent()->name(), "claude-code");
  env.env().unset("CODEX_THREAD_ID");
  env.env().unset("CLAUDE_CODE_SESSION_ID");
  EXPECT_EQ(detect_active_agent()->name(), "claude-code");
}

TEST(Registry, ScopedAdaptersReplaceTheSetAndRestoreIt)
{
  AgentEnv env;
  FakeAdapter idle("idle", std::nullopt, false);
  FakeAdapter busy("busy", std::nullopt, true);
  {
    ScopedAdapters outer({&idle});
    EXPECT_EQ(names(), std::vector<std::string>{"idle"});
    EXPECT_EQ(detect_active_agent(), nullptr);
    {
      ScopedAdapters inner({&idle, &busy});
      EXPECT_EQ(detect_active_agent(), &busy);
      EXPECT_EQ(get_adapter_by_name("BUSY"), &busy);
    }
    EXPECT_EQ(names(), std::vector<std::string>{"idle"});
  }
  EXPECT_EQ(names().size(), 6U);
}

TEST(Registry, SessionlessAdaptersAnswerEmptyAndLeaveSkillsToTheRuleWriters)
{
  AgentEnv env;
  kolvex::testing::TempDir repo;
  for (const char* name : {"cursor", "windsurf", "aider"}) {
    const auto* adapter = get_adapter_by_name(name);
    ASSERT_NE(adapter, nullptr);
    EXPECT_FALSE(adapter->provider().has_value());
    EXPECT_FALSE(adapter->get_session_id("/r").has_value());
    EXPECT_FALSE(adapter->get_telemetry_for_session("/r", std::string("s")).has_value());
    EXPECT_TRUE(adapter
                    ->sessions_mentioning(
                        repo.path(), {"a1b2c3d4e5f60718293a4b5c6d7e8f9012345678"}, std::nullopt, {})
                    .empty());
    EXPECT_FALSE(adapter->npx_covers_skills(repo.path()));
    adapter->write_skills(repo.path(), {kolvex::core::Map{{"slug", "a"}, {"content", "x"}}});
    EXPECT_TRUE(std::filesystem::is_empty(repo.path())) << name << " wrote skills itself";
  }
  EXPECT_EQ(get_adapter_by_name("codex")->provider(), std::optional<std::string>("openai"));
  EXPECT_EQ(get_adapter_by_name("gemini-cli")->provider(), std::optional<std::string>("google"));
}
