#include "services/ledger_service.hpp"

#include "core/clock.hpp"
#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/text.hpp"
#include "paths.hpp"
#include "utils/filelock.hpp"

#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace kolvex::services::ledger_service {

namespace {

namespace stdfs = std::filesystem;

constexpr std::size_t k_max_slug_length = 100;

bool is_missing(const std::system_error& e)
{
  return e.code() == std::errc::no_such_file_or_directory || e.code() == std::errc::not_a_directory;
}

// The text of `file`, or nullopt when it does not exist.
std::optional<std::string> read_if_present(const stdfs::path& file)
{
  try {
    return core::fs::read_text(paths::confined(file));
  } catch (const std::system_error& e) {
    if (is_missing(e)) {
      return std::nullopt;
    }
    throw;
  }
}

// The events of the live ledger of `slug`, or nullopt when there is none.  Lines
// that are blank, not JSON or not objects are not events and are passed over.
std::optional<std::vector<core::Map>> read_events(const stdfs::path& repo_root,
                                                  std::string_view slug)
{
  if (!is_safe_slug(slug)) {
    return std::nullopt;
  }
  const std::optional<std::string> text = read_if_present(paths::ledger_jsonl(repo_root, slug));
  if (!text) {
    return std::nullopt;
  }
  std::vector<core::Map> events;
  for (const std::string_view line : core::fs::splitlines(*text)) {
    const std::string_view trimmed = core::text::trim(line);
    if (trimmed.empty()) {
      continue;
    }
    try {
      core::Value value = core::json::parse(trimmed);
      if (value.is_map()) {
        events.push_back(std::move(value.as_map()));
      }
    } catch (const core::json::JsonError&) {
    }
  }
  return events;
}

// The milestone's name when `event` is a milestone event, else nullptr.
const std::string* milestone_name(const core::Map& event)
{
  const core::Value* kind = event.find("event");
  const core::Value* name = event.find("milestone");
  if (kind == nullptr || !kind->is_string() || kind->as_string() != "milestone" ||
      name == nullptr || !name->is_string()) {
    return nullptr;
  }
  return &name->as_string();
}

} // namespace

bool is_safe_slug(std::string_view slug)
{
  if (slug.empty() || slug.size() > k_max_slug_length || slug.front() == '.') {
    return false;
  }
  for (const char c : slug) {
    const bool allowed =
        (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
    if (!allowed) {
      return false;
    }
  }
  return true;
}

bool is_sealed(const stdfs::path& repo_root, std::string_view slug)
{
  const auto events = read_events(repo_root, slug);
  if (!events) {
    return false;
  }
  for (const core::Map& event : *events) {
    const std::string* name = milestone_name(event);
    if (name != nullptr && *name == "sealed") {
      return true;
    }
  }
  return false;
}

void mark_milestone(const stdfs::path& repo_root,
                    std::string_view slug,
                    std::string_view name,
                    const core::Value& evidence)
{
  if (!is_safe_slug(slug)) {
    throw std::invalid_argument("unsafe ledger slug: " + std::string(slug));
  }
  const stdfs::path ledger = paths::ledger_jsonl(repo_root, slug);
  core::Map event;
  event.set("event", "milestone");
  event.set("milestone", name);
  event.set("evidence", evidence);
  event.set("at", core::clock::utc_now_iso());
  std::string line = core::json::dump(core::Value(std::move(event)));
  line += '\n';
  const core::fs::Confined at = paths::confined(ledger);
  core::fs::create_directories(at.parent());
  const auto lock = utils::filelock::locked(paths::confined(ledger));
  core::fs::append_line(at, line);
}

void clear_pointers_for_slug(const stdfs::path& repo_root, std::string_view slug)
{
  if (!is_safe_slug(slug)) {
    return;
  }
  const stdfs::path pointer = paths::ledger_pointer(repo_root);
  const std::optional<std::string> text = read_if_present(pointer);
  if (text && core::text::trim(*text) == slug) {
    core::fs::remove_file(paths::confined(pointer));
  }
}

std::optional<core::Map> derive_process_section(const stdfs::path& repo_root, std::string_view slug)
{
  const auto events = read_events(repo_root, slug);
  if (!events) {
    return std::nullopt;
  }
  core::List milestones;
  for (const core::Map& event : *events) {
    if (const std::string* name = milestone_name(event)) {
      milestones.emplace_back(*name);
    }
  }
  core::Map section;
  section.set("slug", slug);
  section.set("events", static_cast<std::int64_t>(events->size()));
  section.set("milestones", std::move(milestones));
  return section;
}

} // namespace kolvex::services::ledger_service
