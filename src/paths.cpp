#include "paths.hpp"

#include <string>

namespace kolvex::paths {

path kolvex_dir(const path& repo_root)
{
  return repo_root / ".kolvex";
}

path commit_attestation(const path& repo_root)
{
  return kolvex_dir(repo_root) / ".commit-attestation.yaml";
}

path rejected_attestation(const path& repo_root)
{
  return kolvex_dir(repo_root) / ".commit-attestation.yaml.rejected";
}

path example_attestation(const path& repo_root)
{
  return kolvex_dir(repo_root) / "example-attestation.yaml";
}

path docs_dir(const path& repo_root)
{
  return kolvex_dir(repo_root) / "docs";
}

path legacy_config_yaml(const path& repo_root)
{
  return kolvex_dir(repo_root) / "config.yaml";
}

path legacy_config_json(const path& repo_root)
{
  return kolvex_dir(repo_root) / "config.json";
}

path legacy_log(const path& repo_root)
{
  return repo_root / ".kolvexlog";
}

path platform_dir(const path& repo_root)
{
  return kolvex_dir(repo_root) / ".platform";
}

path local_config(const path& repo_root)
{
  return platform_dir(repo_root) / "config.yaml";
}

path log_jsonl(const path& repo_root)
{
  return platform_dir(repo_root) / "log.jsonl";
}

path attestations_dir(const path& repo_root)
{
  return platform_dir(repo_root) / "attestations";
}

path archived_ledger(const path& repo_root, std::string_view commit)
{
  return attestations_dir(repo_root) / (std::string(commit) + ".ledger.jsonl");
}

path unlogged_dir(const path& attestations_dir)
{
  return attestations_dir / ".unlogged";
}

path unlogged_note(const path& attestations_dir, std::string_view commit)
{
  return unlogged_dir(attestations_dir) / (std::string(commit) + ".jsonl");
}

path rules_file(const path& repo_root)
{
  return platform_dir(repo_root) / "kolvexrules.yaml";
}

path state_file(const path& repo_root)
{
  return platform_dir(repo_root) / "kolvexstate.yaml";
}

path specs_dir(const path& repo_root)
{
  return platform_dir(repo_root) / "specs";
}

path skills_dir(const path& repo_root)
{
  return platform_dir(repo_root) / "skills";
}

path guidance_file(const path& repo_root)
{
  return platform_dir(repo_root) / "guidance.md";
}

path memories_file(const path& repo_root)
{
  return platform_dir(repo_root) / "memories.json";
}

path guidance_dir(const path& repo_root)
{
  return platform_dir(repo_root) / "guidance";
}

path context_file(const path& repo_root)
{
  return platform_dir(repo_root) / "context.yaml";
}

path system_context_file(const path& repo_root)
{
  return platform_dir(repo_root) / "system-context.yaml";
}

path skill_folders_manifest(const path& repo_root)
{
  return platform_dir(repo_root) / "skill-folders.json";
}

path ledgers_dir(const path& repo_root)
{
  return platform_dir(repo_root) / "ledgers";
}

path ledger_jsonl(const path& repo_root, std::string_view slug)
{
  return ledgers_dir(repo_root) / (std::string(slug) + ".jsonl");
}

path ledger_pointer(const path& repo_root)
{
  return ledgers_dir(repo_root) / "current";
}

path logs_dir(const path& repo_root)
{
  return platform_dir(repo_root) / "logs";
}

path sync_log(const path& repo_root)
{
  return logs_dir(repo_root) / "sync.log";
}

core::fs::Confined confined(const path& p)
{
  return core::fs::confine_at(p, ".kolvex");
}

core::fs::Confined confined(const path& repo_root, const path& p)
{
  path rel = p.lexically_relative(repo_root);
  if (rel.empty() || *rel.begin() == "..") {
    return confined(p); // not beneath it after all: anchor where the path says
  }
  return {repo_root, std::move(rel)};
}

} // namespace kolvex::paths
