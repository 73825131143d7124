#include "hooks/shell_block.hpp"

#include "core/text.hpp"

#include <algorithm>
#include <array>
#include <filesystem>
#include <vector>

namespace kolvex::hooks::shell_block {

namespace {

constexpr std::string_view k_begin_prefix = "# >>> kolvex ";
constexpr std::string_view k_end_prefix = "# <<< kolvex ";

// The line of `text` that starts at `pos`, without its "\n" (and "\r").
std::string_view line_at(std::string_view text, std::size_t pos)
{
  const auto end = text.find('\n', pos);
  std::string_view line =
      text.substr(pos, end == std::string_view::npos ? text.size() - pos : end - pos);
  if (!line.empty() && line.back() == '\r') {
    line.remove_suffix(1);
  }
  return line;
}

// The offset just past the line starting at `pos`.
std::size_t next_line(std::string_view text, std::size_t pos)
{
  const auto end = text.find('\n', pos);
  return end == std::string_view::npos ? text.size() : end + 1;
}

} // namespace

std::string begin_marker(std::string_view hook)
{
  return std::string(k_begin_prefix) + std::string(hook) + " >>>";
}

std::string end_marker(std::string_view hook)
{
  return std::string(k_end_prefix) + std::string(hook) + " <<<";
}

std::string render(std::string_view hook, std::string_view body)
{
  std::string block = begin_marker(hook) + "\n";
  block += "# Added by `kolvex setup`: records this commit in kolvex's log. It never fails and\n"
           "# prints nothing; remove the block (both marker lines too) to stop.\n";
  // A function, not a subshell: the commit waits for every process the hook starts,
  // and a subshell is one more fork of the shell before kolvex's own.  Its body
  // returns, never exits, so that the script around it goes on.
  std::string function = "kolvex_" + std::string(hook);
  std::replace(function.begin(), function.end(), '-', '_');
  block += function + "() {\n";
  // Git runs hooks in the work tree, where an empty or relative PATH entry ("", ".")
  // finds the repository's own files: a `kolvex`, `git` or `grep` a clone ships would
  // run in the user's name.  Such a PATH is cut to its absolute entries, in a subshell
  // so that the script around the block keeps its own; only such a PATH pays the fork.
  // The entries are taken apart by hand: zsh does not split $PATH on IFS.
  block += "  case :$PATH: in *::* | *:[!/]*)\n"
           "    (\n"
           "      kolvex_rest=$PATH: kolvex_path=\n"
           "      while [ -n \"$kolvex_rest\" ]; do\n"
           "        kolvex_dir=${kolvex_rest%%:*}; kolvex_rest=${kolvex_rest#*:}\n"
           "        case $kolvex_dir in /*) kolvex_path=$kolvex_path:$kolvex_dir ;; esac\n"
           "      done\n"
           "      PATH=${kolvex_path#:}\n"
           "      [ -n \"$PATH\" ] || PATH=/usr/bin:/bin\n";
  block += "      " + function + "\n";
  block += "    )\n"
           "    return ;;\n"
           "  esac\n";
  block += body;
  block += "}\n";
  block += function + " </dev/null >/dev/null 2>&1 || :\n";
  block += end_marker(hook) + "\n";
  return block;
}

Span find(std::string_view script, std::string_view hook)
{
  const std::string begin = begin_marker(hook);
  const std::string end = end_marker(hook);
  Span span;
  std::optional<std::size_t> begin_at;
  std::optional<std::size_t> end_after;
  bool out_of_order = false;
  for (std::size_t pos = 0; pos < script.size(); pos = next_line(script, pos)) {
    const std::string_view line = core::text::trim(line_at(script, pos));
    if (line == begin && !begin_at) {
      begin_at = pos;
    } else if (line == end && !end_after) {
      out_of_order = !begin_at;
      end_after = next_line(script, pos);
    }
  }
  if (!begin_at && !end_after) {
    return span;
  }
  if (!begin_at || !end_after || out_of_order) {
    span.found = Found::damaged;
    return span;
  }
  span.found = Found::block;
  span.begin = *begin_at;
  span.end = *end_after;
  return span;
}

std::string insert(std::string_view script, std::string_view block)
{
  std::size_t at = 0;
  if (script.starts_with("#!")) {
    at = next_line(script, 0);
  }
  std::string out(script.substr(0, at));
  if (!out.empty() && out.back() != '\n') {
    out += '\n';
  }
  out += block;
  out += script.substr(at);
  return out;
}

std::string replace(std::string_view script, const Span& span, std::string_view block)
{
  std::string out(script.substr(0, span.begin));
  out += block;
  out += script.substr(span.end);
  return out;
}

std::string remove(std::string_view script, const Span& span)
{
  return replace(script, span, "");
}

std::optional<std::string> interpreter(std::string_view script)
{
  if (script.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  if (!script.starts_with("#!")) {
    return "sh";
  }
  const std::string_view line = core::text::trim(line_at(script, 0).substr(2));
  std::vector<std::string> words;
  for (auto& word : core::text::split(line, ' ')) {
    if (!word.empty()) {
      words.push_back(std::move(word));
    }
  }
  if (words.empty()) {
    return "sh";
  }
  std::string program = std::filesystem::path(words[0]).filename().string();
  // `#!/usr/bin/env [-S] python3`: the program env starts is the interpreter.
  if (program == "env") {
    for (std::size_t i = 1; i < words.size(); ++i) {
      if (!words[i].starts_with("-") && words[i].find('=') == std::string::npos) {
        return std::filesystem::path(words[i]).filename().string();
      }
    }
  }
  return program;
}

bool is_shell(std::string_view interpreter)
{
  static constexpr std::array<std::string_view, 7> k_shells{
      "sh", "bash", "dash", "zsh", "ksh", "ash", "mksh"};
  return std::find(k_shells.begin(), k_shells.end(), interpreter) != k_shells.end();
}

bool only_blocks(std::string_view script)
{
  bool in_block = false;
  for (std::size_t pos = 0; pos < script.size(); pos = next_line(script, pos)) {
    const std::string_view line = core::text::trim(line_at(script, pos));
    if (line.starts_with(k_begin_prefix)) {
      in_block = true;
    } else if (line.starts_with(k_end_prefix)) {
      in_block = false;
    } else if (!in_block && !line.empty() && !line.starts_with("#")) {
      return false;
    }
  }
  return true;
}

} // namespace kolvex::hooks::shell_block
