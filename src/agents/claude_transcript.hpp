#pragma once

// One Claude Code transcript read once into what every question asks of it: the
// session and working directories its lines record, the token usage of each API
// response, and the commit facts of its Bash calls.

#include "agents/commit_evidence.hpp"
#include "agents/session_search.hpp"
#include "agents/telemetry_builder.hpp"
#include "core/value.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace kolvex::agents {

// Token counts of one API response.
struct ClaudeUsage {
  std::int64_t input = 0;
  std::int64_t output = 0;
  std::int64_t cache_creation = 0;
  std::int64_t cache_read = 0;
};

// What one transcript file holds.
struct ClaudeDigest {
  // The first sessionId its lines record ("" when none).
  std::string session_id;
  // Every distinct cwd its lines record.
  std::vector<std::string> cwds;
  // Usage per response (message.id + requestId, else the line's uuid): the last
  // usage a line of the response carried, nullopt when none did.
  std::unordered_map<std::string, std::optional<ClaudeUsage>> responses;
  // Usage and messages of lines that carry neither key.
  std::optional<ClaudeUsage> anonymous_usage;
  // Tool call ids.
  std::unordered_set<std::string> tool_ids;
  // Models (as current), time span, and the count of anonymous messages.
  TelemetryBuilder builder;
  CommitFacts commits;
};

// Reads `file` line by line into its digest; nullopt when it cannot be opened.
// Lines that are not whole JSON objects are skipped.
[[nodiscard]] std::optional<ClaudeDigest> read_claude_transcript(const std::filesystem::path& file);

// The process's digests of Claude Code transcripts: each file is read at most once
// while it stays unchanged.
[[nodiscard]] DigestCache<ClaudeDigest>& claude_digest_cache();

// The telemetry map of session `session_id` from the digests of its main
// transcripts (`mains`, oldest first: the newest decides the current model) and of
// its sub-agents: session_id, model, models, tokens (input, output,
// cache_creation, cache_read, total; each response counted once across files, {}
// without usage), messages, tool_calls, started_at, ended_at.
[[nodiscard]] core::Map claude_telemetry_of(const std::vector<const ClaudeDigest*>& mains,
                                            const std::vector<const ClaudeDigest*>& subagents,
                                            std::string_view session_id);

} // namespace kolvex::agents
