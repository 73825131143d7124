#include "services/change_specs.hpp"

#include "core/yaml.hpp"

#include <gtest/gtest.h>

namespace kolvex::services::shared {
namespace {

std::vector<std::string> slugs_of(const std::string& yaml)
{
  const core::Value parsed = core::yaml::load(yaml);
  return extract_change_spec_slugs(parsed.is_map() ? parsed.as_map() : core::Map{});
}

using Slugs = std::vector<std::string>;

TEST(ChangeSpecSlugs, TakeTheLastPathComponentOfEverySafeRef)
{
  EXPECT_EQ(slugs_of("provenance: {type: spec, ref: changes/add-login.md}"), Slugs{"add-login"});
  EXPECT_EQ(slugs_of("provenance: {type: spec, ref: add-login.yaml}"), Slugs{"add-login"});
  EXPECT_EQ(slugs_of("provenance: {type: spec, ref: a/b/c/v2.fix}"), Slugs{"v2.fix"});
  EXPECT_EQ(slugs_of("provenance: {type: spec, ref: changes/add-login/}"), Slugs{"add-login"});
  EXPECT_EQ(slugs_of("provenance: {type: spec, ref: notes.md.yaml}"), Slugs{"notes.md"});
  EXPECT_EQ(
      slugs_of("provenance:\n  type: spec\n  ref: [changes/one.md, ../Bad Name.md, two, 3]\n"),
      (Slugs{"one", "two"}));
}

TEST(ChangeSpecSlugs, AnythingElseGivesNone)
{
  for (const std::string yaml : {
           "{}",
           "provenance: spec",
           "provenance: {type: issue, ref: changes/add-login.md}",
           "provenance: {type: Spec, ref: changes/add-login.md}",
           "provenance: {type: spec}",
           "provenance: {type: spec, ref: null}",
           "provenance: {type: spec, ref: {path: x.md}}",
           "provenance: {type: spec, ref: ../../etc/Passwd}",
           "provenance: {type: spec, ref: changes/.md}",
           "provenance: {type: spec, ref: changes/.hidden.md}",
       }) {
    EXPECT_TRUE(slugs_of(yaml).empty()) << yaml;
  }
}

} // namespace
} // namespace kolvex::services::shared
