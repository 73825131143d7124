#include "hooks/manager_configs.hpp"

#include "core/text.hpp"
#include "core/value.hpp"
#include "core/yaml.hpp"

#include <algorithm>
#include <optional>
#include <vector>

namespace kolvex::hooks::manager_configs {

namespace {

using core::List;
using core::Map;
using core::Value;

constexpr std::string_view k_comment = "# kolvex: records each commit in kolvex's log (added by "
                                       "`kolvex setup`)";

// A YAML file as lines, so that an entry goes in without the rest being re-emitted.
struct Lines {
  std::vector<std::string> lines; // without their line ends
  std::string eol = "\n";
  bool final_newline = true;
};

Lines split(std::string_view text)
{
  Lines doc;
  if (text.find("\r\n") != std::string_view::npos) {
    doc.eol = "\r\n";
  }
  doc.final_newline = text.empty() || text.back() == '\n';
  std::size_t start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    std::string_view line =
        text.substr(start, end == std::string_view::npos ? text.npos : end - start);
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    doc.lines.emplace_back(line);
    if (end == std::string_view::npos) {
      break;
    }
    start = end + 1;
  }
  return doc;
}

std::string join(const Lines& doc)
{
  std::string text;
  for (std::size_t i = 0; i < doc.lines.size(); ++i) {
    text += doc.lines[i];
    if (i + 1 < doc.lines.size() || doc.final_newline) {
      text += doc.eol;
    }
  }
  return text;
}

// Leading blanks of a line that holds content; -1 for a blank or comment line.  A tab
// in the indentation makes the layout one we do not edit (YAML forbids it anyway).
int indent(std::string_view line)
{
  const auto first = line.find_first_not_of(' ');
  if (first == std::string_view::npos || line[first] == '#') {
    return -1;
  }
  return static_cast<int>(first);
}

bool starts_item(std::string_view line, int at)
{
  const auto rest = line.substr(static_cast<std::size_t>(at));
  return rest == "-" || rest.starts_with("- ");
}

// The text after `key:` on a key line, its comment dropped: "" for a block value.
std::string_view inline_value(std::string_view line, std::string_view key)
{
  auto rest = core::text::trim(line).substr(key.size() + 1);
  const auto comment = rest.find(" #");
  if (comment != std::string_view::npos) {
    rest = rest.substr(0, comment);
  }
  return core::text::trim(rest);
}

// The line in [from, to) at exactly indentation `at` that is the plain key `key`.
std::optional<std::size_t>
find_key(const Lines& doc, std::size_t from, std::size_t to, int at, std::string_view key)
{
  for (std::size_t i = from; i < to && i < doc.lines.size(); ++i) {
    const auto& line = doc.lines[i];
    if (indent(line) != at) {
      continue;
    }
    const std::string_view content = std::string_view(line).substr(static_cast<std::size_t>(at));
    if (content.starts_with(key) && content.size() > key.size() && content[key.size()] == ':' &&
        (content.size() == key.size() + 1 || content[key.size() + 1] == ' ')) {
      return i;
    }
  }
  return std::nullopt;
}

// One past the last line that holds content of the value of the key at `key_line`:
// more indented lines, and sequence items at the key's own indentation.
std::size_t value_end(const Lines& doc, std::size_t key_line)
{
  const int at = indent(doc.lines[key_line]);
  std::size_t end = key_line + 1;
  for (std::size_t i = key_line + 1; i < doc.lines.size(); ++i) {
    const int here = indent(doc.lines[i]);
    if (here == -1) {
      continue;
    }
    if (here > at || (here == at && starts_item(doc.lines[i], here))) {
      end = i + 1;
    } else {
      break;
    }
  }
  return end;
}

// Indentation of the first content line in (key_line, end), or `fallback`.
int child_indent(const Lines& doc, std::size_t key_line, std::size_t end, int fallback)
{
  for (std::size_t i = key_line + 1; i < end; ++i) {
    if (const int here = indent(doc.lines[i]); here != -1) {
      return here;
    }
  }
  return fallback;
}

std::string spaces(int count)
{
  return std::string(static_cast<std::size_t>(count), ' ');
}

void append_block(Lines& doc, const std::vector<std::string>& block)
{
  if (!doc.lines.empty() && !core::text::trim(doc.lines.back()).empty()) {
    doc.lines.emplace_back();
  }
  doc.lines.insert(doc.lines.end(), block.begin(), block.end());
  doc.final_newline = true;
}

void insert_at(Lines& doc, std::size_t at, const std::vector<std::string>& block)
{
  doc.lines.insert(doc.lines.begin() + static_cast<std::ptrdiff_t>(at), block.begin(), block.end());
}

Map load_map(std::string_view text, std::string_view what)
{
  Value doc;
  try {
    doc = core::yaml::load(text);
  } catch (const std::exception& e) {
    throw ConfigLayoutError(std::string(what) + " is not YAML kolvex can read: " + e.what());
  }
  if (doc.is_null()) {
    return {};
  }
  if (!doc.is_map()) {
    throw ConfigLayoutError(std::string(what) + " is not a YAML mapping");
  }
  return doc.as_map();
}

// The edit is used only when it reads back as exactly what was meant.
void check(const Lines& doc, const Map& expected, const std::string& by_hand)
{
  Value edited;
  try {
    edited = core::yaml::load(join(doc));
  } catch (const std::exception&) {
    // Unreadable counts as a mismatch, which the check below reports.
  }
  if (!(edited == Value(expected))) {
    throw ConfigLayoutError(by_hand);
  }
}

// ---- lefthook ------------------------------------------------------------------

bool lefthook_has_command(const Map& config, std::string_view hook)
{
  const Value* section = config.find(hook);
  if (section == nullptr || !section->is_map()) {
    return false;
  }
  if (const Value* commands = section->get("commands"); commands && commands->is_map()) {
    if (commands->get(LEFTHOOK_COMMAND) != nullptr) {
      return true;
    }
  }
  if (const Value* jobs = section->get("jobs"); jobs && jobs->is_list()) {
    for (const auto& job : jobs->as_list()) {
      if (job.get_string("name") == std::string(LEFTHOOK_COMMAND)) {
        return true;
      }
    }
  }
  return false;
}

// ---- pre-commit ----------------------------------------------------------------

bool pre_commit_has_hook(const Map& config, const std::string& id)
{
  const Value* repos = config.find("repos");
  if (repos == nullptr || !repos->is_list()) {
    return false;
  }
  for (const auto& repo : repos->as_list()) {
    const Value* hooks = repo.get("hooks");
    if (hooks == nullptr || !hooks->is_list()) {
      continue;
    }
    for (const auto& hook : hooks->as_list()) {
      if (hook.get_string("id") == id) {
        return true;
      }
    }
  }
  return false;
}

// The shape both managers' edits take: the configuration the file must load as once
// the entry is in (`expect`), and the same entry added to the text in the file's own
// layout (`edit_text`), used only when the two agree.  Either step throws
// ConfigLayoutError(by_hand) at a layout it cannot edit.
template <class Expect, class EditText>
Edit add_entry(std::string_view text,
               const Map& config,
               const std::string& by_hand,
               Expect expect,
               EditText edit_text)
{
  Map expected = config;
  expect(expected);
  Lines doc = split(text);
  edit_text(doc);
  check(doc, expected, by_hand);
  return {true, join(doc)};
}

// ---- lefthook --------------------------------------------------------------------

// `config` with the command in section `hook`; true when it went under "jobs".
bool expect_lefthook_command(Map& config,
                             std::string_view hook,
                             std::string_view command,
                             const std::string& by_hand)
{
  Value& section = config[hook];
  if (section.is_null()) {
    section = Map{};
  }
  if (!section.is_map()) {
    throw ConfigLayoutError(by_hand);
  }
  const bool jobs = section.get("jobs") != nullptr && section.get("jobs")->is_list();
  if (jobs) {
    section.as_map()["jobs"].as_list().emplace_back(
        Map{{"name", std::string(LEFTHOOK_COMMAND)}, {"run", std::string(command)}});
    return true;
  }
  Value& commands = section.as_map()["commands"];
  if (commands.is_null()) {
    commands = Map{};
  }
  if (!commands.is_map()) {
    throw ConfigLayoutError(by_hand);
  }
  commands.as_map().set(LEFTHOOK_COMMAND, Map{{"run", std::string(command)}});
  return false;
}

// The command's lines (`run` is its "run: ..." line) in section `hook` of `doc`.
void add_lefthook_lines(Lines& doc,
                        std::string_view hook,
                        const std::string& run,
                        bool jobs,
                        const std::string& by_hand)
{
  const auto top = find_key(doc, 0, doc.lines.size(), 0, hook);
  if (!top) {
    append_block(doc,
                 {std::string(k_comment),
                  std::string(hook) + ":",
                  "  commands:",
                  "    " + std::string(LEFTHOOK_COMMAND) + ":",
                  "      " + run});
    return;
  }
  const auto value = inline_value(doc.lines[*top], hook);
  if (!value.empty() && value != "null" && value != "~") {
    throw ConfigLayoutError(by_hand);
  }
  const std::size_t end = value_end(doc, *top);
  const int at = child_indent(doc, *top, end, 2);
  if (jobs) {
    const std::size_t line = *find_key(doc, *top + 1, end, at, "jobs");
    const std::size_t jobs_end = value_end(doc, line);
    const int dash = child_indent(doc, line, jobs_end, at + 2);
    insert_at(doc,
              jobs_end,
              {spaces(dash) + std::string(k_comment),
               spaces(dash) + "- name: " + std::string(LEFTHOOK_COMMAND),
               spaces(dash + 2) + run});
  } else if (const auto line = find_key(doc, *top + 1, end, at, "commands")) {
    const std::size_t commands_end = value_end(doc, *line);
    const int name_at = child_indent(doc, *line, commands_end, at + 2);
    insert_at(doc,
              commands_end,
              {spaces(name_at) + std::string(k_comment),
               spaces(name_at) + std::string(LEFTHOOK_COMMAND) + ":",
               spaces(name_at + 2) + run});
  } else {
    insert_at(doc,
              end,
              {spaces(at) + "commands:",
               spaces(at + 2) + std::string(k_comment),
               spaces(at + 2) + std::string(LEFTHOOK_COMMAND) + ":",
               spaces(at + 4) + run});
  }
}

// ---- the pre-commit framework ----------------------------------------------------

// kolvex's local hook for stage `hook`, as a configuration value and as the lines of
// its item under "repos".
struct LocalHook {
  std::string hook;
  std::string id;
  std::string name;
  std::string entry;

  [[nodiscard]] Value value() const
  {
    return Map{{"repo", "local"},
               {"hooks",
                List{Map{{"id", id},
                         {"name", name},
                         {"entry", entry},
                         {"language", "system"},
                         {"stages", List{hook}},
                         {"always_run", true},
                         {"pass_filenames", false}}}}};
  }

  [[nodiscard]] std::vector<std::string> lines() const
  {
    return {"- repo: local",
            "  hooks:",
            "  - id: " + id,
            "    name: " + name,
            "    entry: " + double_quoted(entry),
            "    language: system",
            "    stages: [" + hook + "]",
            "    always_run: true",
            "    pass_filenames: false"};
  }
};

void expect_pre_commit_entry(Map& config, const LocalHook& local, const std::string& by_hand)
{
  Value& repos = config["repos"];
  if (repos.is_null()) {
    repos = List{};
  }
  if (!repos.is_list()) {
    throw ConfigLayoutError(by_hand);
  }
  repos.as_list().emplace_back(local.value());
}

void add_pre_commit_repo_lines(Lines& doc, const LocalHook& local, const std::string& by_hand)
{
  const auto with_indent = [&](int dash) {
    std::vector<std::string> lines{spaces(dash) + std::string(k_comment)};
    for (const auto& line : local.lines()) {
      lines.push_back(spaces(dash) + line);
    }
    return lines;
  };
  const auto key = find_key(doc, 0, doc.lines.size(), 0, "repos");
  if (!key) {
    auto lines = with_indent(0);
    lines.insert(lines.begin(), "repos:");
    append_block(doc, lines);
    return;
  }
  const auto value = inline_value(doc.lines[*key], "repos");
  if (value == "[]") {
    doc.lines[*key] = "repos:";
    insert_at(doc, *key + 1, with_indent(0));
  } else if (value.empty()) {
    const std::size_t end = value_end(doc, *key);
    insert_at(doc, end, with_indent(child_indent(doc, *key, end, 0)));
  } else {
    throw ConfigLayoutError(by_hand);
  }
}

} // namespace

std::string pre_commit_hook_id(std::string_view hook)
{
  return "kolvex-" + std::string(hook);
}

Edit add_to_lefthook(std::string_view text, std::string_view hook, std::string_view command)
{
  const Map config = load_map(text, "the lefthook configuration");
  if (lefthook_has_command(config, hook)) {
    return {false, std::string(text)};
  }
  const std::string run = "run: " + double_quoted(command);
  const std::string by_hand = "kolvex cannot add itself to this lefthook configuration safely; add "
                              "this command to it by hand:\n" +
                              std::string(hook) + ":\n  commands:\n    " +
                              std::string(LEFTHOOK_COMMAND) + ":\n      " + run;
  bool jobs = false;
  return add_entry(
      text,
      config,
      by_hand,
      [&](Map& expected) { jobs = expect_lefthook_command(expected, hook, command, by_hand); },
      [&](Lines& doc) { add_lefthook_lines(doc, hook, run, jobs, by_hand); });
}

Edit add_to_pre_commit(std::string_view text, std::string_view hook, std::string_view command)
{
  const Map config = load_map(text, "the pre-commit configuration");
  const LocalHook local{.hook = std::string(hook),
                        .id = pre_commit_hook_id(hook),
                        .name = "kolvex " + std::string(hook),
                        .entry = "sh -c '" + std::string(command) + "'"};
  if (pre_commit_has_hook(config, local.id)) {
    return {false, std::string(text)};
  }
  std::string by_hand = "kolvex cannot add itself to this pre-commit configuration safely; add "
                        "this to its repos by hand:\n";
  for (const auto& line : local.lines()) {
    by_hand += line + "\n";
  }
  return add_entry(
      text,
      config,
      by_hand,
      [&](Map& expected) { expect_pre_commit_entry(expected, local, by_hand); },
      [&](Lines& doc) { add_pre_commit_repo_lines(doc, local, by_hand); });
}

namespace {

// The text that `add` turns into `text`, found among the ways kolvex's lines (the
// marked comment line and the `lines` after it, perhaps a key line before it, the
// blank line before an appended block) can be taken out: removal is exact because
// it is checked by adding the entry again.
template <class Add>
std::optional<std::string>
undo_add(std::string_view text, int lines, bool empty_repos_form, const Add& add)
{
  const Lines doc = split(text);
  for (std::size_t c = 0; c < doc.lines.size(); ++c) {
    if (core::text::trim(doc.lines[c]) != k_comment) {
      continue;
    }
    for (int extra = 0; extra <= 3; ++extra) {
      for (const bool key_before : {true, false}) {
        for (const bool blank_before : {true, false}) {
          const std::size_t first = key_before ? c - 1 : c;
          if ((key_before && c == 0) || c + 1 + lines + extra > doc.lines.size() + 1) {
            continue;
          }
          const std::size_t end = std::min(doc.lines.size(), c + 1 + lines + extra);
          Lines candidate = doc;
          candidate.lines.erase(candidate.lines.begin() + static_cast<std::ptrdiff_t>(first),
                                candidate.lines.begin() + static_cast<std::ptrdiff_t>(end));
          if (blank_before) {
            if (first == 0 || !core::text::trim(candidate.lines[first - 1]).empty() ||
                first != candidate.lines.size()) {
              continue;
            }
            candidate.lines.erase(candidate.lines.begin() + static_cast<std::ptrdiff_t>(first - 1));
          }
          std::vector<Lines> forms{candidate};
          if (empty_repos_form && key_before && !blank_before) {
            Lines restored = doc;
            restored.lines.erase(restored.lines.begin() + static_cast<std::ptrdiff_t>(c),
                                 restored.lines.begin() + static_cast<std::ptrdiff_t>(end));
            restored.lines[c - 1] += " []";
            forms.push_back(std::move(restored));
          }
          for (const Lines& form : forms) {
            const std::string before = join(form);
            try {
              const Edit again = add(before);
              if (again.changed && again.text == text) {
                return before;
              }
            } catch (const ConfigLayoutError&) {
              // Not a text kolvex could have added to: not the one.
            }
          }
        }
      }
    }
  }
  return std::nullopt;
}

} // namespace

Edit remove_from_lefthook(std::string_view text, std::string_view hook, std::string_view command)
{
  const Map config = load_map(text, "the lefthook configuration");
  if (!lefthook_has_command(config, hook)) {
    return {false, std::string(text)};
  }
  const auto before = undo_add(text, 2, false, [&](std::string_view candidate) {
    return add_to_lefthook(candidate, hook, command);
  });
  if (!before) {
    throw ConfigLayoutError("its " + std::string(LEFTHOOK_COMMAND) + " command in the " +
                            std::string(hook) +
                            " section is not as kolvex wrote it; take it out by hand");
  }
  return {true, *before};
}

Edit remove_from_pre_commit(std::string_view text, std::string_view hook, std::string_view command)
{
  const Map config = load_map(text, "the pre-commit configuration");
  if (!pre_commit_has_hook(config, pre_commit_hook_id(hook))) {
    return {false, std::string(text)};
  }
  const auto before = undo_add(text, 9, true, [&](std::string_view candidate) {
    return add_to_pre_commit(candidate, hook, command);
  });
  if (!before) {
    throw ConfigLayoutError("its local hook " + pre_commit_hook_id(hook) +
                            " is not as kolvex wrote it; take it out of repos by hand");
  }
  return {true, *before};
}

std::string double_quoted(std::string_view text)
{
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
    }
    out += c;
  }
  return out + "\"";
}

} // namespace kolvex::hooks::manager_configs
