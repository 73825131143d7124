#include "agents/harness.hpp"

#include "agents/transcript_io.hpp"
#include "core/process.hpp"

#include <algorithm>
#include <system_error>

namespace kolvex::agents {

namespace {

namespace stdfs = std::filesystem;

bool marker_set(const EnvMarker& marker)
{
  const std::string value = env_text(marker.name);
  return marker.value.empty() ? !value.empty() : value == marker.value;
}

bool is_dir(const stdfs::path& path)
{
  std::error_code ec;
  return !path.empty() && stdfs::is_directory(path, ec);
}

} // namespace

bool markers_present(const Harness& harness)
{
  return std::any_of(harness.env_markers->begin(), harness.env_markers->end(), marker_set);
}

std::optional<std::string> marker_session(const Harness& harness)
{
  for (const EnvMarker& marker : *harness.env_markers) {
    if (marker.names_session) {
      if (auto id = ambient_session_id(marker.name)) {
        return id;
      }
    }
  }
  return std::nullopt;
}

bool installed(const Harness& harness)
{
  const InstallProbe& probe = *harness.install;
  if (probe.home_env != nullptr && is_dir(env_text(probe.home_env))) {
    return true;
  }
  const std::string home = env_text("HOME");
  if (!probe.home_dir.empty() && !home.empty() && is_dir(stdfs::path(home) / probe.home_dir)) {
    return true;
  }
  return !probe.program.empty() &&
         core::process::find_program(std::string(probe.program)).has_value();
}

bool used_in(const Harness& harness, const stdfs::path& repo_root)
{
  return std::any_of(
      harness.repo_markers->begin(), harness.repo_markers->end(), [&](std::string_view entry) {
        std::error_code ec;
        return stdfs::symlink_status(repo_root / entry, ec).type() != stdfs::file_type::not_found &&
               !ec;
      });
}

std::optional<stdfs::path> instruction_file_in(const Harness& harness, const stdfs::path& repo_root)
{
  const InstructionFile& file = *harness.instruction_file;
  if (file.locate != nullptr) {
    return file.locate(repo_root);
  }
  if (file.path.empty()) {
    return std::nullopt;
  }
  return stdfs::path(file.path);
}

std::optional<std::string> HarnessAdapter::provider() const
{
  if (const auto& provider = *m_harness.provider) {
    return std::string(*provider);
  }
  return std::nullopt;
}

bool HarnessAdapter::is_active() const
{
  return markers_present(m_harness);
}

std::optional<std::string> HarnessAdapter::marker_session_id() const
{
  return marker_session(m_harness);
}

std::optional<std::string> HarnessAdapter::get_session_id(const stdfs::path&) const
{
  return std::nullopt;
}

std::optional<contracts::AgentTelemetry>
HarnessAdapter::get_telemetry_for_session(const stdfs::path&,
                                          const std::optional<std::string>&) const
{
  return std::nullopt;
}

bool HarnessAdapter::npx_covers_skills(const stdfs::path& repo_root) const
{
  const auto& folder = *m_harness.skills;
  return folder && folder->format == skills::SkillFormat::skill_md &&
         skills::npx_reaches(repo_root, folder->dir);
}

void HarnessAdapter::write_skills(const stdfs::path& repo_root, const core::List& skills) const
{
  const auto& folder = *m_harness.skills;
  if (folder && folder->format == skills::SkillFormat::skill_md) {
    skills::write_skill_files(repo_root, folder->dir, skills, folder->format);
  }
}

} // namespace kolvex::agents
