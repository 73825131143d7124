// Harness transcripts are outside input: every reader must take any bytes without
// crashing, hanging or throwing.  Each input is tried as a Claude Code transcript
// (telemetry, commit claims, live-session search), a Codex rollout, a Gemini chat
// in both forms, a timestamp, shell output, and a commit's names and trailers.

#include "agents/aider.hpp"
#include "agents/claude_code.hpp"
#include "agents/codex.hpp"
#include "agents/commit_evidence.hpp"
#include "agents/gemini_cli.hpp"
#include "agents/transcript_io.hpp"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

namespace stdfs = std::filesystem;

const stdfs::path& scratch()
{
  static const stdfs::path dir = [] {
    auto d =
        stdfs::temp_directory_path() / ("kolvex-fuzz-transcripts-" + std::to_string(::getpid()));
    stdfs::create_directories(d / "claude/projects/-repo");
    ::setenv("CLAUDE_CONFIG_DIR", (d / "claude").c_str(), 1);
    return d;
  }();
  return dir;
}

void write(const stdfs::path& path, std::string_view bytes)
{
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto& dir = scratch();
  // A fresh name per input: the adapters keep what they read of a file keyed by
  // its path, size and time, and two inputs may share all three.
  static unsigned long long counter = 0;
  const auto name = "session-" + std::to_string(++counter);
  const auto transcript = dir / "claude/projects/-repo" / (name + ".jsonl");
  const auto chat = dir / (name + ".json");
  write(transcript, bytes);
  write(chat, bytes);

  (void)kolvex::agents::claude_telemetry({transcript}, {transcript}, "session");
  (void)kolvex::agents::codex_telemetry(transcript, "session");
  (void)kolvex::agents::gemini_telemetry(transcript);
  (void)kolvex::agents::gemini_telemetry(chat);
  (void)kolvex::agents::parse_timestamp(bytes);

  const std::string sha(40, 'a');
  const kolvex::contracts::CommitTimes times{{sha, 1767348000.0}};
  const kolvex::agents::ClaudeCodeAdapter claude;
  (void)claude.commit_claims("/repo", {sha}, std::nullopt, times);
  (void)claude.get_session_id("/repo"); // the file is young: the live-session search reads it
  (void)kolvex::agents::commit_names_in(bytes, true);
  kolvex::agents::CommitFactsBuilder builder;
  const auto call = builder.call("id", bytes, 1767348000.0);
  builder.output_at(call, bytes);
  kolvex::agents::CommitEvidence evidence({sha}, times);
  evidence.add("s", builder.take());
  (void)evidence.claims();

  const auto third = bytes.size() / 3;
  (void)kolvex::agents::aider_marked(
      bytes.substr(0, third), bytes.substr(third, third), bytes.substr(2 * third));

  std::error_code ec;
  std::filesystem::remove(transcript, ec);
  std::filesystem::remove(chat, ec);
  return 0;
}
