// The harness descriptors: a descriptor missing a fact does not build, and the
// facts of all of them together are consistent.
#include "agents/harness.hpp"

#include "agents/registry.hpp"

#include <gtest/gtest.h>

#include <set>

using kolvex::agents::EnvMarker;
using kolvex::agents::Harness;
using kolvex::agents::InstallProbe;
using kolvex::agents::InstructionFile;

namespace {

constexpr std::string_view k_some[] = {"x"};

template <class H>
concept builds_with_a_name_only = requires
{
  H{.name = "x"};
};

template <class H>
concept builds_with_every_fact = requires
{
  H{.name = "x",
    .provider = std::nullopt,
    .aliases = k_some,
    .repo_markers = k_some,
    .instruction_file = InstructionFile{.path = "", .locate = nullptr},
    .tool_server = std::nullopt,
    .install = InstallProbe{.home_env = nullptr, .home_dir = "", .program = ""},
    .skills = std::nullopt,
    .env_markers = std::span<const EnvMarker>()};
};

static_assert(!builds_with_a_name_only<Harness>, "a descriptor must state every fact");
static_assert(builds_with_every_fact<Harness>);

} // namespace

TEST(Harness, NamesAndAliasesLeadBackToOneHarnessEach)
{
  std::set<std::string> seen;
  const auto all = kolvex::agents::harnesses();
  ASSERT_EQ(all.size(), kolvex::agents::iter_adapters().size());
  for (std::size_t i = 0; i < all.size(); ++i) {
    const Harness& harness = *all[i];
    const std::string name(*harness.name);
    EXPECT_EQ(kolvex::agents::iter_adapters()[i]->name(), name) << "registry order";
    EXPECT_TRUE(seen.insert(name).second) << name << " twice";
    EXPECT_EQ(kolvex::agents::normalize_agent_name(name), name);
    for (const std::string_view alias : *harness.aliases) {
      EXPECT_TRUE(seen.insert(std::string(alias)).second) << alias << " names two harnesses";
      EXPECT_EQ(kolvex::agents::find_harness(alias), &harness) << alias;
    }
    for (const EnvMarker& marker : *harness.env_markers) {
      // A marker that carries the session id cannot also require a fixed value.
      EXPECT_TRUE(!marker.names_session || marker.value.empty()) << marker.name;
    }
  }
  EXPECT_EQ(kolvex::agents::find_harness("unknown-bot"), nullptr);
}
