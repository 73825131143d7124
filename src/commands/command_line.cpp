#include "commands/command_line.hpp"

#include "core/text.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>

namespace kolvex::commands {

namespace {

constexpr int k_default_width = 80;
constexpr int k_min_width = 40;
// Descriptions narrower than this are wrapped below their name instead of beside it.
constexpr int k_min_description_width = 24;
constexpr std::size_t k_narrow_name_column = 20;

// The subcommand of `app` named `word`, or nullptr.
const CLI::App* subcommand_named(const CLI::App& app, const std::string& word)
{
  for (const CLI::App* sub : app.get_subcommands({})) {
    if (sub->check_name(word)) {
      return sub;
    }
  }
  return nullptr;
}

// The option `name` ("--summary", "-m") of `app` or of an app above it.
const CLI::Option* option_named(const CLI::App* app, const std::string& name)
{
  for (; app != nullptr; app = app->get_parent()) {
    if (const CLI::Option* option = app->get_option_no_throw(name)) {
      return option;
    }
  }
  return nullptr;
}

bool takes_value(const CLI::Option* option)
{
  return option != nullptr && option->get_type_size() != 0 && option->get_items_expected_min() > 0;
}

// Display columns of `text`: one per code point, which holds for the text we print.
std::size_t columns(std::string_view text)
{
  std::size_t count = 0;
  for (std::size_t pos = 0; pos < text.size(); pos += core::text::utf8_step(text, pos).length) {
    ++count;
  }
  return count;
}

// `text` broken at blanks into lines of at most `width` columns (a longer word gets
// a line of its own); the text's own line breaks are kept.
std::vector<std::string> wrap(std::string_view text, std::size_t width)
{
  std::vector<std::string> lines;
  for (const auto& paragraph : core::text::split(text, '\n')) {
    std::string line;
    std::size_t used = 0;
    for (const auto& word : core::text::split(paragraph, ' ')) {
      if (word.empty()) {
        continue;
      }
      const std::size_t length = columns(word);
      if (used > 0 && used + 1 + length > width) {
        lines.push_back(std::move(line));
        line.clear();
        used = 0;
      }
      if (used > 0) {
        line += ' ';
        ++used;
      }
      line += word;
      used += length;
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

} // namespace

std::vector<std::string> spell_out_empty_values(const CLI::App& app, std::vector<std::string> args)
{
  std::vector<std::string> out;
  out.reserve(args.size() + 1);
  const CLI::App* current = &app;
  // Words CLI11 will take as the value of the option before them.
  int values_due = 0;
  bool options_ended = false;
  for (auto& arg : args) {
    if (options_ended || values_due > 0) {
      values_due = values_due > 0 ? values_due - 1 : 0;
      out.push_back(std::move(arg));
      continue;
    }
    if (arg == "--") {
      options_ended = true;
    } else if (const CLI::App* sub = subcommand_named(*current, arg)) {
      current = sub;
    } else if (arg.size() > 2 && arg.starts_with("--")) {
      const auto equals = arg.find('=');
      const CLI::Option* option = option_named(current, arg.substr(0, equals));
      if (equals == std::string::npos) {
        values_due = takes_value(option) ? option->get_items_expected_min() : 0;
      } else if (equals + 1 == arg.size() && takes_value(option)) {
        arg.pop_back();
        out.push_back(std::move(arg));
        out.emplace_back();
        continue;
      }
    } else if (arg.size() == 2 && arg[0] == '-' && arg[1] != '-') {
      const CLI::Option* option = option_named(current, arg);
      values_due = takes_value(option) ? option->get_items_expected_min() : 0;
    }
    out.push_back(std::move(arg));
  }
  return out;
}

int help_width()
{
  winsize size{};
  if (::isatty(STDOUT_FILENO) == 1 && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 &&
      size.ws_col > 0) {
    return std::max(static_cast<int>(size.ws_col), k_min_width);
  }
  if (const char* columns_env = std::getenv("COLUMNS")) {
    char* end = nullptr;
    const long value = std::strtol(columns_env, &end, 10);
    if (end != columns_env && *end == '\0' && value > 0) {
      return std::max(static_cast<int>(std::min(value, 1000L)), k_min_width);
    }
  }
  return k_default_width;
}

WrappingFormatter::WrappingFormatter(int width) : m_width(std::max(width, k_min_width))
{
  // CLI11's 30-column name column leaves a narrow terminal little room to describe.
  if (m_width < k_default_width) {
    column_width(k_narrow_name_column);
  }
}

std::string WrappingFormatter::make_description(const CLI::App* app) const
{
  const std::string description = CLI::Formatter::make_description(app);
  std::string out;
  for (const auto& line : wrap(core::text::trim(description), static_cast<std::size_t>(m_width))) {
    out += line + "\n";
  }
  return core::text::trim(description).empty() ? std::string() : out;
}

std::string WrappingFormatter::make_subcommand(const CLI::App* sub) const
{
  return row(sub->get_display_name(true), sub->get_description());
}

std::string WrappingFormatter::make_option(const CLI::Option* opt, bool is_positional) const
{
  return row(make_option_name(opt, is_positional) + make_option_opts(opt), make_option_desc(opt));
}

std::string WrappingFormatter::row(const std::string& name, const std::string& description) const
{
  const std::string head = "  " + name;
  auto column = static_cast<int>(get_column_width());
  if (m_width - column < k_min_description_width) {
    column = 6;
  }
  std::string out = head;
  if (description.empty()) {
    return out + "\n";
  }
  const std::string indent(static_cast<std::size_t>(column), ' ');
  const std::size_t used = columns(head);
  if (used >= static_cast<std::size_t>(column)) {
    out += "\n" + indent;
  } else {
    out.append(static_cast<std::size_t>(column) - used, ' ');
  }
  const auto lines = wrap(description, static_cast<std::size_t>(m_width - column));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    out += (i == 0 ? "" : indent) + lines[i] + "\n";
  }
  return out;
}

} // namespace kolvex::commands
