#include "hooks/scripts.hpp"

#include "core/yaml.hpp"
#include "frontend/attestation_fields.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

namespace {

using kolvex::core::Value;
using ::testing::IsEmpty;
namespace shared = kolvex::services::shared;

// Fills every <PLACEHOLDER> of the template with a value of the right form.
std::string filled(const std::string& text)
{
  std::string out;
  std::size_t pos = 0;
  while (true) {
    const auto open = text.find('<', pos);
    const auto close = open == std::string::npos ? open : text.find('>', open);
    if (close == std::string::npos) {
      return out + text.substr(pos);
    }
    const auto name = text.substr(open + 1, close - open - 1);
    out += text.substr(pos, open - pos);
    out += name == "STAGED_DIFF_HASH" ? std::string(64, 'c') : "filled-in-" + name;
    pos = close + 1;
  }
}

TEST(ExampleAttestation, FilledInItPassesValidationSilently)
{
  const auto text = kolvex::hooks::scripts::example_attestation();
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');

  const Value document = kolvex::core::yaml::load(filled(text));
  ASSERT_TRUE(document.is_map());
  const auto [errors, warnings] = shared::validate_attestation_fields(document);
  EXPECT_THAT(errors, IsEmpty());
  EXPECT_THAT(warnings, IsEmpty());
}

TEST(ExampleAttestation, UnfilledItIsCaughtByValidation)
{
  const Value document = kolvex::core::yaml::load(kolvex::hooks::scripts::example_attestation());
  const auto [errors, warnings] = shared::validate_attestation_fields(document);
  EXPECT_THAT(errors, testing::Contains(testing::HasSubstr("staged_diff_hash:")));
}

TEST(ExampleAttestation, ShowsEveryFieldInWrittenOrder)
{
  const Value document =
      kolvex::core::yaml::load(filled(kolvex::hooks::scripts::example_attestation()));
  std::vector<std::string> keys;
  for (const auto& [key, value] : document.as_map()) {
    keys.push_back(key);
  }
  EXPECT_THAT(keys,
              testing::ElementsAre("staged_diff_hash",
                                   "timestamp",
                                   "agent_model",
                                   "agent",
                                   "agent_provider",
                                   "agent_id",
                                   "provenance",
                                   "task_type",
                                   "rules",
                                   "changes",
                                   "summary"));
  const auto text = kolvex::hooks::scripts::example_attestation();
  for (const auto primitive : shared::V2_PRIMITIVES) {
    EXPECT_NE(text.find(primitive), std::string::npos) << primitive;
  }
  for (const auto type : shared::VALID_PROVENANCE_TYPES) {
    EXPECT_NE(text.find(type), std::string::npos) << type;
  }
  for (const auto type : shared::VALID_TASK_TYPES) {
    EXPECT_NE(text.find(type), std::string::npos) << type;
  }
}

} // namespace
