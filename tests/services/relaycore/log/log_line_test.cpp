#include "services/relaycore/log/log_line.hpp"

#include "core/json.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace kolvex::services::relaycore::log {
namespace {

const std::string k_sha1 = "3f2a9c1e5b7d4f60a8e2c9b1d3f5a7c9e1b3d5f7";
const std::string k_sha256 = "9b74c9897bac770ffc029102a200c5dee0b1f3a3c1e0d4b2a1f9e8d7c6b5a4f3";

std::string line_for(const std::string& commit, const std::string& extra = "")
{
  return R"({"commit": ")" + commit + R"(", "branch": "main", "synced": false)" + extra + "}";
}

// The scan decides most lines without building a Value; it must agree with the
// full parser on every line, and its verdict (when it gives one) with the parsed
// line's.
TEST(LogLineScan, AgreesWithTheFullParser)
{
  std::string deep_ok(999, '[');
  deep_ok += "{}" + std::string(999, ']');
  std::string deep_bad(1000, '[');
  deep_bad += "{}" + std::string(1000, ']');
  const std::string in_object_ok = "{\"a\": " + deep_ok + "}";
  const std::string in_object_bad = "{\"a\": " + deep_bad + "}";
  const std::vector<std::string> lines{
      "",
      " ",
      "{}",
      " {} ",
      "{ }",
      "[]",
      "[1,]",
      "[,1]",
      "{\"a\"}",
      "{\"a\":}",
      "{\"a\" 1}",
      "{\"a\": 1 \"b\": 2}",
      "{\"a\": 1,, \"b\": 2}",
      "{1: 2}",
      "{\"a\": tru}",
      "{\"a\": True}",
      "{\"a\": NaN, \"b\": Infinity, \"c\": -Infinity}",
      "{\"a\": -NaN}",
      "{\"a\": nan}",
      "{\"a\": 1.}",
      "{\"a\": .5}",
      "{\"a\": 1e}",
      "{\"a\": 1e+}",
      "{\"a\": -}",
      "{\"a\": -01}",
      "{\"a\": 00}",
      "{\"a\": 1E+5, \"b\": -0.0e-0}",
      "{\"a\": 123456789012345678901234567890}",
      "{\"a\": \"\\x\"}",
      "{\"a\": \"\\u12\"}",
      "{\"a\": \"\\u12G4\"}",
      "{\"a\": \"\\ud800\"}",
      "{\"a\": \"\\uDBFF\\uDFFF\"}",
      "{\"a\": \"\x01\"}",
      "{\"a\": \"\x7f\"}",
      "{\"a\": \"unterminated}",
      "{\"a\": \"\\\"}",
      "{\"a\": \"\\\\\"}",
      "\t{\"a\":\r\n1}\n",
      "{\"a\": [1, {\"b\": [true, false]}]}",
      deep_ok,
      deep_bad,
      in_object_ok,
      in_object_bad,
      // members the verdict depends on, in every spelling
      "{\"comm\\u0069t\": \"" + k_sha1 + "\"}",
      "{\"commit\": \"\\u0033" + k_sha1.substr(1) + "\"}",
      "{\"commit\": \"" + k_sha1 + "\", \"commit\": \"unknown\"}",
      "{\"commit\": \"unknown\", \"commit\": \"" + k_sha1 + "\"}",
      "{\"commit\": \"" + k_sha1 + "\", \"synced\": true, \"synced\": false}",
      "{\"commit\": \"" + k_sha1 + "\", \"synced\": 1e-400}",
      "{\"commit\": \"" + k_sha1 + "\", \"synced\": 1e-300}",
      "{\"commit\": \"" + k_sha1 + "\", \"synced\": 0.0001E-2}",
      "{\"commit\": \"" + k_sha1 + "\", \"synced\": 1e400}",
      "{\"commit\": \"" + k_sha1 + "\", \"synced\": 0e400}",
      "{\"commit\": \"" + k_sha1 + "\", \"synced\": NaN}",
      "{\"commit\": \"" + k_sha1 + "\", \"synced\": -Infinity}",
      "{\"commit\": \"" + k_sha1 + "\", \"uploaded\": [ ]}",
      "{\"commit\": \"" + k_sha1 + "\", \"uploaded\": { } }",
      "{\"commit\": \"" + k_sha1 + "\", \"uploaded\": [0]}",
      "{\"commit\": \"" + k_sha1 + "\", \"uploaded\": \"\"}",
      "{\"commit\": \"" + k_sha1 + "\", \"uploaded\": \"\\u0000\"}",
      "{\"commit\": \"" + k_sha1 + "\", \"event\": \"attestation\\u005fskipped\"}",
      "{\"commit\": \"" + k_sha1 + "\", \"event\": \"commit_unattested\"}",
      "{\"commit\": \"" + k_sha1 + "\", \"event\": [\"commit_unattested\"]}",
      "{\"commit\": [\"" + k_sha1 + "\"]}",
      "{\"nested\": {\"commit\": \"" + k_sha1 + "\", \"synced\": true}}",
  };
  for (const std::string& line : lines) {
    SCOPED_TRACE(line.substr(0, 120));
    const LogLineScan scan = scan_log_line(line);
    std::optional<core::Value> parsed;
    try {
      parsed = core::json::parse(line);
    } catch (const core::json::JsonError&) {
    }
    if (!parsed) {
      EXPECT_EQ(scan.shape, LogLineScan::Shape::invalid);
      continue;
    }
    if (!parsed->is_map()) {
      EXPECT_EQ(scan.shape, LogLineScan::Shape::non_object);
      continue;
    }
    ASSERT_EQ(scan.shape, LogLineScan::Shape::object);
    if (const auto verdict = classify_log_line(scan)) {
      EXPECT_EQ(*verdict, classify_log_line(parsed->as_map()));
    }
  }
}

TEST(LogLineScan, VerdictsOfTheUsualLinesNeedNoParse)
{
  const auto verdict = [](const std::string& line) {
    const auto v = classify_log_line(scan_log_line(line));
    EXPECT_TRUE(v.has_value()) << line;
    return v.value_or(LineVerdict{});
  };
  EXPECT_EQ(verdict(line_for(k_sha1)), (LineVerdict{LineEvent::attested, false, true}));
  EXPECT_EQ(verdict(line_for(k_sha1, R"(, "event": "attestation_skipped", "synced": true)")),
            (LineVerdict{LineEvent::skipped, true, false}));
  EXPECT_EQ(verdict(line_for("unknown", R"(, "event": "commit_unattested")")),
            (LineVerdict{LineEvent::unattested, false, false}));
  EXPECT_EQ(verdict(R"({"commit": ")" + k_sha256 + R"(", "synced": 0.5e+3})"),
            (LineVerdict{LineEvent::attested, true, false}));
}

} // namespace
} // namespace kolvex::services::relaycore::log
