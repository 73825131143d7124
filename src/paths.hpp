#pragma once

// Every location under a repository's .kolvex/ directory, derived from the
// repository root in this one module; no other code spells these paths.
//
//   .kolvex/                              kolvex_dir (also the legacy directory)
//     .commit-attestation.yaml            commit_attestation (pending attestation)
//     .commit-attestation.yaml.rejected   rejected_attestation (one that could not be used)
//     example-attestation.yaml            example_attestation
//     docs/                               docs_dir (canonical docs)
//     config.yaml, config.json            legacy_config_yaml, legacy_config_json
//     .platform/                          platform_dir (the cache directory)
//       config.yaml                       local_config
//       log.jsonl                         log_jsonl
//       attestations/                     attestations_dir
//         <sha>.yaml                      archived attestation
//         <sha>.ledger.jsonl              archived_ledger
//         .unlogged/<sha>.jsonl           unlogged_note (a record whose line is not written yet)
//       kolvexrules.yaml, kolvexstate.yaml rules_file, state_file
//       specs/, skills/                   specs_dir, skills_dir
//       guidance.md, memories.json        guidance_file, memories_file
//       guidance/{system,project}/        guidance_dir (custom docs by scope)
//       context.yaml, system-context.yaml context_file, system_context_file
//       skill-folders.json                skill_folders_manifest
//       platform-skills-install.json      platform_skills_install (back-off after a failed npx)
//       ledgers/<slug>.jsonl, current     ledgers_dir, ledger_jsonl, ledger_pointer
//       logs/sync.log                     logs_dir, sync_log
//       post-tool-due                     post_tool_due (commits waiting for the post-tool row)
//   .kolvexlog                            legacy_log (in the repository root)
//
// A linked worktree (`git worktree add`) keeps one record with the repository: its
// configuration, log, archives, cache and legacy files are the main worktree's
// (records_root), while what belongs to the line of work in it stays its own: the
// pending attestation, the example attestation, the docs and the live ledgers.

#include "core/fs.hpp"

#include <filesystem>
#include <optional>
#include <string_view>

namespace kolvex::paths {

using std::filesystem::path;

// The main worktree of the repository when `repo_root` is the top of a linked worktree
// of a non-bare repository; nullopt for a main worktree, a submodule, a worktree of a
// bare repository, or anything git's pointer files (".git", "commondir") do not prove.
// Reads those two small files and starts no git process.
[[nodiscard]] std::optional<path> main_worktree(const path& repo_root);
// Where the repository's shared records live: main_worktree(`repo_root`) when there is
// one, else `repo_root`.
[[nodiscard]] path records_root(const path& repo_root);

// The .kolvex directory of this work tree itself.
[[nodiscard]] path kolvex_dir(const path& repo_root);
[[nodiscard]] path commit_attestation(const path& repo_root);
// Where a pending attestation that could not be used is kept for the user.
[[nodiscard]] path rejected_attestation(const path& repo_root);
[[nodiscard]] path example_attestation(const path& repo_root);
[[nodiscard]] path docs_dir(const path& repo_root);
[[nodiscard]] path legacy_config_yaml(const path& repo_root);
[[nodiscard]] path legacy_config_json(const path& repo_root);
[[nodiscard]] path legacy_log(const path& repo_root);

// The cache directory: everything kolvex writes for itself and keeps out of git, in
// the records root.
[[nodiscard]] path platform_dir(const path& repo_root);
[[nodiscard]] path local_config(const path& repo_root);
[[nodiscard]] path log_jsonl(const path& repo_root);
// The commits the git hook recorded inside an agent session, one sha a line, for
// the harness's post-tool row to upload and speak for, once each.
[[nodiscard]] path post_tool_due(const path& repo_root);
[[nodiscard]] path attestations_dir(const path& repo_root);
// `commit` followed by ".ledger.jsonl" in the attestations directory.
[[nodiscard]] path archived_ledger(const path& repo_root, std::string_view commit);
// The notes of records whose archive may be written before their log line is: the
// directory ".unlogged" in `attestations`, and `commit` followed by ".jsonl" in it.
// They take the attestations directory itself, as the log writers are given it.
[[nodiscard]] core::fs::Confined unlogged_dir(const core::fs::Confined& attestations);
[[nodiscard]] core::fs::Confined unlogged_note(const core::fs::Confined& attestations,
                                               std::string_view commit);
[[nodiscard]] path rules_file(const path& repo_root);
[[nodiscard]] path state_file(const path& repo_root);
[[nodiscard]] path specs_dir(const path& repo_root);
[[nodiscard]] path skills_dir(const path& repo_root);
[[nodiscard]] path guidance_file(const path& repo_root);
[[nodiscard]] path memories_file(const path& repo_root);
// The custom docs the server serves, one subdirectory per scope ("system", "project").
[[nodiscard]] path guidance_dir(const path& repo_root);
// The project's context and its systems' context as last fetched.
[[nodiscard]] path context_file(const path& repo_root);
[[nodiscard]] path system_context_file(const path& repo_root);
// Which skill files kolvex wrote into the agents' folders, with their digests, so
// that it replaces and removes only its own.
[[nodiscard]] path skill_folders_manifest(const path& repo_root);
// When the platform-skill install last failed, and for which wanted set: a failed
// install waits before it is tried again.
[[nodiscard]] path platform_skills_install(const path& repo_root);
// The live ledgers of this work tree: a linked worktree works on its own change.
[[nodiscard]] path ledgers_dir(const path& repo_root);
// The live ledger of change `slug`; the caller must have validated `slug` as safe.
[[nodiscard]] path ledger_jsonl(const path& repo_root, std::string_view slug);
// The pointer file naming the change currently being worked on.
[[nodiscard]] path ledger_pointer(const path& repo_root);
[[nodiscard]] path logs_dir(const path& repo_root);
[[nodiscard]] path sync_log(const path& repo_root);

// `p`, a location given above, in the form every read and write under .kolvex/ goes
// through: the repository root (the directory above its last ".kolvex" component)
// is trusted as given, and everything below it must be a real directory or file.
// A path without that component (legacy_log, the repository's .gitignore, a log a
// test placed anywhere) is trusted down to its own directory.
[[nodiscard]] core::fs::Confined confined(const path& p);

// `p` beneath `repo_root` itself, for callers that hold the root (the only form for
// legacy_log and the .gitignore, whose path has no ".kolvex" component).
[[nodiscard]] core::fs::Confined confined(const path& repo_root, const path& p);

} // namespace kolvex::paths
