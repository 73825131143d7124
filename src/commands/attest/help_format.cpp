#include "commands/attest/help_format.hpp"

#include <memory>

namespace kolvex::commands::attest {

ParagraphFormatter::ParagraphFormatter(std::string paragraphs) : m_paragraphs(std::move(paragraphs))
{
}

std::string
ParagraphFormatter::make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const
{
  // The parent's formatter wraps option descriptions to the terminal as for every
  // other command; this one only adds the paragraphs.
  // (`attest add` looks past the attest group's formatter to the front end's.)
  std::shared_ptr<const CLI::Formatter> shared;
  for (const CLI::App* above = app->get_parent(); above != nullptr && !shared;
       above = above->get_parent()) {
    const auto formatter = above->get_formatter();
    if (std::dynamic_pointer_cast<const ParagraphFormatter>(formatter) == nullptr) {
      shared = std::dynamic_pointer_cast<const CLI::Formatter>(formatter);
    }
  }
  const CLI::Formatter& base = shared ? *shared : static_cast<const CLI::Formatter&>(*this);
  if (mode == CLI::AppFormatMode::Sub) {
    return base.make_expanded(app);
  }
  const std::string description = base.make_description(app);
  std::string help = base.CLI::Formatter::make_help(app, std::move(name), mode);
  // CLI11 opens the help with the description; the paragraphs follow it.
  const std::size_t after = help.starts_with(description) ? description.size() : 0;
  help.insert(after, "\n" + m_paragraphs + "\n");
  return help;
}

} // namespace kolvex::commands::attest
