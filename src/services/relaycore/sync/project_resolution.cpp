#include "services/relaycore/sync/project_resolution.hpp"

#include "contracts/api_client.hpp"
#include "core/errors.hpp"
#include "core/logging.hpp"
#include "core/text.hpp"
#include "display/repr.hpp"
#include "services/local_config.hpp"
#include "services/relaycore/sync/repo_identity.hpp"

#include <charconv>
#include <cmath>
#include <functional>
#include <limits>
#include <system_error>

namespace kolvex::services::relaycore::sync {

namespace {

const core::logging::Logger& logger()
{
  static const core::logging::Logger instance("kolvex.relaycore.sync");
  return instance;
}

ProjectResolution failure(std::string reason, std::string_view code)
{
  ProjectResolution result;
  result.reason = std::move(reason);
  result.code = std::string(code);
  return result;
}

// A whole decimal number, surrounding blanks allowed ("42", " 7 ", "-3").
std::optional<std::int64_t> parse_integer(std::string_view text)
{
  text = core::text::python_strip(text);
  if (text.starts_with('+')) {
    text.remove_prefix(1);
  }
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

// An id as the server or the configuration gives it: an integer, a text of
// digits, or a number with a fraction (truncated toward zero).  Truth values and
// everything else give nullopt.
std::optional<std::int64_t> as_id(const core::Value* value)
{
  if (value == nullptr) {
    return std::nullopt;
  }
  if (value->kind() == core::Value::Kind::integer) {
    return value->as_int();
  }
  if (value->is_float()) {
    const double number = std::trunc(value->as_float());
    if (std::isfinite(number) && number >= -9.2e18 && number <= 9.2e18) {
      return static_cast<std::int64_t>(number);
    }
    return std::nullopt;
  }
  if (value->is_string()) {
    return parse_integer(value->as_string());
  }
  return std::nullopt;
}

// An id the user wrote into the configuration: a positive integer or a text of its
// digits.  Unlike a server's answer, a fraction is refused, not truncated: 4.2
// would otherwise link project 4.
std::optional<std::int64_t> configured_id(const core::Value* value)
{
  if (value == nullptr || value->is_float()) {
    return std::nullopt;
  }
  const auto id = as_id(value);
  return id && *id > 0 ? id : std::nullopt;
}

// What a bad id is shown as: its value as written, cut short.
std::string shown(const core::Value& value)
{
  constexpr std::size_t k_longest = 40;
  std::string text = display::repr::python_repr(value);
  return text.size() > k_longest ? text.substr(0, k_longest) + "..." : text;
}

// The local configuration, an empty map when there is none.
core::Map config_of(const paths::RepositoryHandle& repo)
{
  return shared::load_local_config(repo);
}

bool names_a_project(const core::Value* value)
{
  if (value == nullptr || value->is_null()) {
    return false;
  }
  if (value->is_string()) {
    return !core::text::python_strip(value->as_string()).empty();
  }
  if (value->kind() == core::Value::Kind::integer) {
    return value->as_int() != 0;
  }
  return core::truthy(*value);
}

// The project a configuration names, read by `load`; nullopt when it names none
// or cannot be read.
std::optional<std::string> linked_in(const std::function<core::Map()>& load)
{
  try {
    const core::Map config = load();
    const core::Value* value = config.find("project_id");
    if (!names_a_project(value)) {
      return std::nullopt;
    }
    if (const auto id = configured_id(value)) {
      return std::to_string(*id);
    }
  } catch (const std::exception& e) {
    // An unreadable configuration links no project; the resolve that follows says so.
    logger().debug_exception("The linked project could not be read", e);
  }
  return std::nullopt;
}

} // namespace

const std::vector<std::pair<std::string_view, std::string_view>> _REMEDIES = {
    {contracts::CODE_KEY_REJECTED, "Run `kolvex auth login`."},
    {contracts::CODE_AMBIGUOUS_TEAM,
     "You belong to several teams. Retry naming one of the ids above — `kolvex sync --team-id "
     "<id>` on the CLI, the `team_id` argument on the MCP sync tool. It is saved, so this is "
     "asked once."},
    {contracts::CODE_REPO_AMBIGUOUS,
     "Two projects on your team claim this repository. Someone has to decide which one owns it "
     "before this repo can sync."},
    {contracts::CODE_REPO_CONFLICT,
     "This repository already has a project. Run `kolvex sync` again; the next resolve should "
     "find it."},
    {contracts::CODE_NOT_A_MEMBER,
     "Ask a team admin to add you, or pass a `--team-id` you belong to."},
    {contracts::CODE_CAPACITY,
     "This team is at its project limit. Link this repo to an existing project with `kolvex "
     "setup project <id>`, or contact kolvex."},
    {contracts::CODE_BAD_REMOTE,
     "kolvex identifies a repo by its origin remote. Check `git remote -v`."},
    {NOT_SIGNED_IN, "Run `kolvex auth login` and they upload on the next `kolvex sync`."},
    {NO_ORIGIN,
     "kolvex identifies a repo by its origin remote, and this one has none. Add one with `git "
     "remote add origin <url>`."},
    {CONFIG_UNWRITABLE,
     "The project resolved but the id could not be saved. Fix permissions on "
     ".kolvex/.platform/config.yaml — until then every sync re-resolves."},
};

const std::string_view _REMEDY_UNREACHABLE =
    "They will upload on the next `kolvex sync` that can reach a project.";

std::string remedy(const std::optional<std::string>& code)
{
  const std::string_view key = code ? std::string_view(*code) : std::string_view();
  for (const auto& [known, text] : _REMEDIES) {
    if (!key.empty() && known == key) {
      return std::string(text);
    }
  }
  return std::string(_REMEDY_UNREACHABLE);
}

ProjectResolution resolve_project_id(const paths::RepositoryHandle& repo,
                                     const std::optional<std::string>& api_key,
                                     const std::optional<std::string>& api_url,
                                     std::optional<std::int64_t> team_id)
{
  const std::filesystem::path& repo_root = repo.root();
  try {
    if (!api_key || api_key->empty() || !api_url || api_url->empty()) {
      return failure("not signed in", NOT_SIGNED_IN);
    }
    if (!team_id) {
      try {
        team_id = as_id(config_of(repo).find("team_id"));
      } catch (const std::exception& e) {
        // An unreadable configuration must not stop a resolve; the save below
        // refuses to write over it.
        logger().debug_exception("Local configuration unreadable; no saved team id", e);
      }
    }
    const std::string remote = repo_identity::origin_remote(repo_root);
    if (remote.empty()) {
      return failure("this repo has no origin remote", NO_ORIGIN);
    }
    core::Value answer;
    try {
      answer = contracts::api_client().resolve_project(
          {.url = *api_url, .key = *api_key}, remote, team_id);
    } catch (const contracts::AgentApiError& e) {
      return failure(e.what(), e.code());
    } catch (const std::exception& e) {
      logger().debug_exception("Project resolve failed", e);
      return failure("could not reach kolvex (" + core::errors::short_name(e) + ")", "unreachable");
    }
    const core::Value* served = answer.is_map() ? answer.get("projectId") : nullptr;
    std::optional<std::int64_t> project_id = as_id(served);
    if (project_id && *project_id <= 0) {
      // Ids start at 1: a 0 would link nothing and be resolved again on every sync,
      // a negative one would go into every URL.
      project_id.reset();
    }
    if (!project_id) {
      return failure("the server returned no usable project id (" +
                         (served != nullptr ? shown(*served)
                          : answer.is_map() ? std::string("none")
                                            : "an answer that is no object") +
                         ")",
                     "bad_response");
    }
    try {
      core::Map config = config_of(repo);
      config.set("project_id", core::Value(*project_id));
      if (team_id) {
        config.set("team_id", core::Value(*team_id));
      }
      shared::save_local_config(repo, config);
    } catch (const std::exception& e) {
      logger().debug_exception("Saving the project id failed", e);
      return failure("could not save the project id locally (" + core::errors::short_name(e) + ")",
                     CONFIG_UNWRITABLE);
    }
    ProjectResolution result;
    result.project_id = project_id;
    if (const core::Value* title = answer.get("title"); title != nullptr && !title->is_null()) {
      result.title = title->is_string() ? title->as_string() : std::string();
    }
    const core::Value* created = answer.get("created");
    result.created = created != nullptr && core::truthy(*created);
    return result;
  } catch (const std::exception& e) {
    // Never raises: what is left (memory) is still a reason and a code.
    return failure("could not reach kolvex (" + core::errors::short_name(e) + ")", "unreachable");
  }
}

std::pair<log::AttestationResult, std::optional<ProjectResolution>>
resolve_if_unlinked(const paths::RepositoryHandle& repo,
                    const std::optional<std::string>& api_key,
                    const std::optional<std::string>& api_url,
                    std::optional<std::int64_t> team_id)
{
  log::AttestationResult archived = log::process_pending_attestation(repo);
  const core::Map config = config_of(repo);
  if (names_a_project(config.find("project_id"))) {
    return {std::move(archived), std::nullopt};
  }
  return {std::move(archived), resolve_project_id(repo, api_key, api_url, team_id)};
}

std::optional<std::string> linked_project_id(const std::filesystem::path& repo_root)
{
  return linked_in([&] { return shared::load_local_config(repo_root); });
}

std::optional<std::string> linked_project_id(const paths::RepositoryHandle& repo)
{
  return linked_in([&] { return config_of(repo); });
}

std::optional<std::string> unusable_project_id(const paths::RepositoryHandle& repo)
{
  try {
    const core::Map config = config_of(repo);
    const core::Value* value = config.find("project_id");
    if (names_a_project(value) && !configured_id(value)) {
      return shown(*value);
    }
  } catch (const std::exception& e) {
    logger().debug_exception("The linked project could not be read", e);
  }
  return std::nullopt;
}

} // namespace kolvex::services::relaycore::sync
