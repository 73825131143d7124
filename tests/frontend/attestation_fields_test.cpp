#include "frontend/attestation_fields.hpp"

#include "core/value.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

namespace {

using kolvex::core::List;
using kolvex::core::Map;
using kolvex::core::Value;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
namespace shared = kolvex::services::shared;

// ---- validate_attestation_fields --------------------------------------------------

Map good_attestation()
{
  return Map{
      {"staged_diff_hash", std::string(64, 'a')},
      {"timestamp", "2026-01-15T10:30:00Z"},
      {"agent_model", "claude-opus-4-6"},
      {"agent", "claude-code"},
      {"provenance", Map{{"type", "ticket"}, {"ref", "AUTH-1"}}},
      {"task_type", "feature"},
      {"rules", Map{{"checked", true}, {"applicable", List{"no-secrets"}}}},
      {"changes",
       Map{{"architecture",
            Map{{"elements",
                 List{Map{{"name", "web-api"},
                          {"change", "modified"},
                          {"description", "rate limits"},
                          {"fact_changes",
                           Map{{"add", List{"limit 10/min"}},
                               {"update", List{}},
                               {"remove", List{}}}}}}}}}}},
      {"summary", "Added rate limiting"},
  };
}

struct Report {
  std::vector<std::string> errors;
  std::vector<std::string> warnings;
};

Report validate(const Map& attestation)
{
  auto [errors, warnings] = shared::validate_attestation_fields(Value(attestation));
  return {errors, warnings};
}

Report validate_with(std::string_view key, Value value)
{
  auto attestation = good_attestation();
  attestation.set(key, std::move(value));
  return validate(attestation);
}

TEST(AttestationFields, AGoodAttestationHasNothingToSay)
{
  const auto report = validate(good_attestation());
  EXPECT_THAT(report.errors, IsEmpty());
  EXPECT_THAT(report.warnings, IsEmpty());

  // Optional fields may all be left out.
  Map minimal{{"staged_diff_hash", std::string(64, '0')},
              {"timestamp", "2026-01-15T10:30:00+02:00"},
              {"agent_model", "m"},
              {"summary", "s"}};
  EXPECT_THAT(validate(minimal).errors, IsEmpty());
  EXPECT_THAT(validate(minimal).warnings, IsEmpty());
}

TEST(AttestationFields, HashMustBeSixtyFourLowerCaseHexDigits)
{
  EXPECT_THAT(validate_with("staged_diff_hash", std::string(64, 'A')).errors,
              ElementsAre(HasSubstr("staged_diff_hash: must be 64 lower-case hexadecimal")));
  EXPECT_EQ(validate_with("staged_diff_hash", std::string(63, 'a')).errors.size(), 1U);
  EXPECT_EQ(validate_with("staged_diff_hash", 12).errors.size(), 1U);
  auto attestation = good_attestation();
  attestation.erase("staged_diff_hash");
  EXPECT_THAT(validate(attestation).errors, ElementsAre(HasSubstr("staged_diff_hash: missing")));
}

TEST(AttestationFields, ModelAndSummary)
{
  const auto empty_model = validate_with("agent_model", "");
  EXPECT_THAT(empty_model.errors, IsEmpty());
  EXPECT_THAT(empty_model.warnings, ElementsAre(HasSubstr("agent_model: empty")));

  EXPECT_THAT(validate_with("summary", "").errors, ElementsAre(HasSubstr("summary: empty")));
  EXPECT_THAT(validate_with("summary", "   ").errors, ElementsAre(HasSubstr("summary: empty")));
  EXPECT_THAT(validate_with("summary", "first\nsecond").errors,
              ElementsAre(HasSubstr("summary: must be one line")));
  EXPECT_THAT(validate_with("summary", Value()).errors,
              ElementsAre("summary: must be text, got: None"));
  EXPECT_THAT(validate_with("summary", std::string(201, 'x')).warnings,
              ElementsAre(HasSubstr("summary: 201 bytes long")));
}

TEST(AttestationFields, TimestampIsAdviceOnly)
{
  const auto report = validate_with("timestamp", "yesterday");
  EXPECT_THAT(report.errors, IsEmpty());
  EXPECT_THAT(report.warnings, ElementsAre(HasSubstr("timestamp: 'yesterday' is not an ISO 8601")));
}

TEST(AttestationFields, Provenance)
{
  EXPECT_THAT(validate_with("provenance", Map{{"type", "spec"}}).errors,
              ElementsAre(HasSubstr("provenance.ref: required when provenance.type is 'spec'")));
  EXPECT_THAT(validate_with("provenance", Map{{"type", "ticket"}, {"ref", ""}}).errors,
              ElementsAre(HasSubstr("provenance.ref: required")));
  EXPECT_THAT(validate_with("provenance", Map{{"type", "ad-hoc"}}).errors, IsEmpty());
  EXPECT_THAT(validate_with("provenance", Map{{"type", "bug-fix"}, {"ref", 7}}).errors,
              ElementsAre("provenance.ref: must be text, got: 7"));
  EXPECT_THAT(validate_with("provenance", Map{{"type", "story"}}).errors,
              ElementsAre("provenance.type: must be one of ['spec', 'ticket', 'bug-fix', "
                          "'ad-hoc'], got: 'story'"));
  EXPECT_THAT(validate_with("provenance", List{}).errors,
              ElementsAre(HasSubstr("provenance: must be a mapping")));
}

TEST(AttestationFields, TaskType)
{
  EXPECT_THAT(validate_with("task_type", "chore").errors, IsEmpty());
  EXPECT_THAT(validate_with("task_type", "Feature").errors,
              ElementsAre(HasSubstr("task_type: must be one of ['feature', 'bug-fix'")));
}

TEST(AttestationFields, Rules)
{
  EXPECT_THAT(validate_with("rules", true).errors,
              ElementsAre(HasSubstr("rules: must be a mapping")));
  EXPECT_THAT(validate_with("rules", Map{{"applicable", List{}}}).errors,
              ElementsAre(HasSubstr("rules.checked: missing")));
  EXPECT_THAT(validate_with("rules", Map{{"checked", "yes"}, {"applicable", List{}}}).errors,
              ElementsAre("rules.checked: must be true or false, got: 'yes'"));
  const auto unchecked = validate_with("rules", Map{{"checked", false}, {"applicable", List{}}});
  EXPECT_THAT(unchecked.errors, IsEmpty());
  EXPECT_THAT(unchecked.warnings, ElementsAre(HasSubstr("rules.checked: false")));
  EXPECT_THAT(validate_with("rules", Map{{"checked", true}}).errors,
              ElementsAre(HasSubstr("rules.applicable: missing")));
  EXPECT_THAT(validate_with("rules", Map{{"checked", true}, {"applicable", "all"}}).errors,
              ElementsAre(HasSubstr("rules.applicable: must be a list")));
  EXPECT_THAT(
      validate_with("rules", Map{{"checked", true}, {"applicable", List{"a", 3, ""}}}).errors,
      ElementsAre("rules.applicable[1]: must be a rule name, got: 3",
                  "rules.applicable[2]: must be a rule name, got: ''"));
}

TEST(AttestationFields, ChangesUseTheStructuredElementForm)
{
  const auto element = [](Map fields) {
    return Map{{"architecture", Map{{"elements", List{fields}}}}};
  };

  EXPECT_THAT(validate_with("changes", Map{}).warnings, ElementsAre(HasSubstr("changes: empty")));
  EXPECT_THAT(validate_with("changes", Map{{"frontend", Map{{"elements", List{}}}}}).errors,
              ElementsAre(HasSubstr("changes.frontend: unknown primitive")));
  EXPECT_THAT(validate_with("changes", Map{{"api", List{}}}).errors,
              ElementsAre(HasSubstr("changes.api: must be a mapping with an elements list")));
  EXPECT_THAT(validate_with("changes", Map{{"api", Map{{"notes", "x"}}}}).errors,
              ElementsAre(HasSubstr("changes.api.elements: missing")));
  EXPECT_THAT(validate_with("changes", element({{"change", "added"}})).errors,
              ElementsAre("changes.architecture.elements[0].name: missing; name the element "
                          "that changed"));
  EXPECT_THAT(validate_with("changes", element({{"name", "db"}, {"change", "changed"}})).errors,
              ElementsAre("changes.architecture.elements[0].change: must be one of ['added', "
                          "'modified', 'removed'], got: 'changed'"));
  EXPECT_THAT(
      validate_with("changes",
                    element({{"name", "db"},
                             {"change", "removed"},
                             {"description", 5},
                             {"fact_changes", Map{{"add", "one"}, {"delete", List{}}}}}))
          .errors,
      ElementsAre("changes.architecture.elements[0].description: must be text, got: 5",
                  "changes.architecture.elements[0].fact_changes.add: must be a list, got: 'one'",
                  HasSubstr("changes.architecture.elements[0].fact_changes.delete: unknown")));
  EXPECT_THAT(validate_with("changes", element({{"name", "db"}, {"change", "added"}})).errors,
              IsEmpty());
}

TEST(AttestationFields, EveryProblemIsReportedInFieldOrder)
{
  Map bad{{"staged_diff_hash", "short"},
          {"timestamp", "soon"},
          {"agent_model", ""},
          {"task_type", "misc"},
          {"summary", ""}};
  const auto report = validate(bad);
  EXPECT_THAT(
      report.errors,
      ElementsAre(HasSubstr("staged_diff_hash:"), HasSubstr("task_type:"), HasSubstr("summary:")));
  EXPECT_THAT(report.warnings, ElementsAre(HasSubstr("timestamp:"), HasSubstr("agent_model:")));

  EXPECT_THAT(validate(Map{}).errors.size(), 4U);
  EXPECT_THAT(shared::validate_attestation_fields(Value(List{})).first,
              ElementsAre("attestation: must be a mapping of fields, got: list"));
}

TEST(AttestationFields, LongValuesAreCutInMessages)
{
  const auto report = validate_with("task_type", std::string(500, 'x'));
  ASSERT_EQ(report.errors.size(), 1U);
  EXPECT_LT(report.errors[0].size(), 200U);
  EXPECT_THAT(report.errors[0], HasSubstr("..."));
}

} // namespace
