#pragma once

// Help for the attest commands, whose examples must reach the terminal exactly as
// written: a shell example re-wrapped by the formatter could no longer be pasted.

#include <CLI/CLI.hpp>

#include <string>

namespace kolvex::commands::attest {

// CLI11's help with the usage line first, then the command's one-line description
// and `paragraphs` as given (never re-wrapped), then the options and subcommands.
// The front end's command list still shows the description alone.
class ParagraphFormatter : public CLI::Formatter {
public:
  // `paragraphs` is printed verbatim; it ends with a newline.
  explicit ParagraphFormatter(std::string paragraphs);

  // The help of `app` as described above; a subcommand listed inside its parent's
  // help (AppFormatMode::Sub) gets CLI11's expanded form.
  std::string
  make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override;

private:
  std::string m_paragraphs;
};

} // namespace kolvex::commands::attest
