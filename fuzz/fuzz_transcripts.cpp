// Harness transcripts are outside input: every reader must take any bytes without
// crashing, hanging or throwing.  Each input is tried as a Claude Code transcript,
// a Codex rollout, a Gemini chat in both forms, a timestamp and shell output.

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
  const auto transcript = dir / "claude/projects/-repo/session.jsonl";
  write(transcript, bytes);
  write(dir / "chat.json", bytes);

  (void)kolvex::agents::claude_telemetry({transcript}, {transcript}, "session");
  (void)kolvex::agents::codex_telemetry(transcript, "session");
  (void)kolvex::agents::gemini_telemetry(transcript);
  (void)kolvex::agents::gemini_telemetry(dir / "chat.json");
  (void)kolvex::agents::parse_timestamp(bytes);

  const std::string sha(40, 'a');
  const kolvex::contracts::CommitTimes times{{sha, 1767348000.0}};
  (void)kolvex::agents::ClaudeCodeAdapter{}.sessions_mentioning(
      "/repo", {sha}, std::nullopt, times);
  kolvex::agents::CommitEvidence evidence({sha}, times);
  auto findings = evidence.findings();
  findings.text(bytes);
  findings.shell_output(bytes);
  findings.shell_command(bytes, 1767348000.0);
  return 0;
}
