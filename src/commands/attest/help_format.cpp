#include "commands/attest/help_format.hpp"

#include <sstream>

namespace kolvex::commands::attest {

ParagraphFormatter::ParagraphFormatter(std::string paragraphs) : m_paragraphs(std::move(paragraphs))
{
}

std::string
ParagraphFormatter::make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const
{
  if (mode == CLI::AppFormatMode::Sub) {
    return make_expanded(app);
  }
  // CLI11 would print the description above the usage line.
  std::stringstream out;
  out << make_usage(app, std::move(name)) << '\n';
  out << make_description(app) << '\n' << m_paragraphs;
  out << make_positionals(app);
  out << make_groups(app, mode);
  out << make_subcommands(app, mode);
  out << '\n' << make_footer(app);
  return out.str();
}

} // namespace kolvex::commands::attest
