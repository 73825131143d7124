#pragma once

// Help for the attest commands, whose examples must reach the terminal exactly as
// written: a shell example re-wrapped by the formatter could no longer be pasted.

#include <CLI/CLI.hpp>

#include <string>

namespace kolvex::commands::attest {

// The help of the front end's own formatter (the one the command's parent uses:
// description, usage, options wrapped to the terminal, subcommands), with
// `paragraphs` put as given (never re-wrapped) between the description and the
// usage line, so that attest reads like every other command.  Without a parent
// formatter, CLI11's plain one lays the help out.
class ParagraphFormatter : public CLI::Formatter {
public:
  // `paragraphs` is printed verbatim; it ends with a newline.
  explicit ParagraphFormatter(std::string paragraphs);

  // The help of `app` as described above; a subcommand listed inside its parent's
  // help (AppFormatMode::Sub) gets the expanded form.
  std::string
  make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override;

private:
  std::string m_paragraphs;
};

} // namespace kolvex::commands::attest
