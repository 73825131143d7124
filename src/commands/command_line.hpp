#pragma once

// The front end's dealings with CLI11 that are not one command's: reading an empty
// option value the way a user means it, and help text that fits the terminal.

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace kolvex::commands {

// `args` (argv without the program name) with every `--name=` whose option `app`
// defines (on the subcommand in effect at that word) and which takes a value turned
// into `--name` and an empty word.  CLI11 2.1 reads `--name=` as a value left out and
// takes the next word instead, but for a user (and for `--name="$EMPTY"`) it is an
// empty value.  Words that CLI11 will consume as an option's value, and everything
// after `--`, are left as they are, so a value such as "--retry=" stays one.
[[nodiscard]] std::vector<std::string> spell_out_empty_values(const CLI::App& app,
                                                              std::vector<std::string> args);

// `count` and `noun`, the noun taking an "s" unless the count is one: "1 record",
// "0 records", "2 notes".
[[nodiscard]] std::string counted(long long count, std::string_view noun);

// Accepts an id of the cloud service as a user types it: decimal digits only (no
// sign, no 0x), from 1 to the largest 64-bit integer; anything else is refused with a
// message naming the value, before CLI11 converts (and would clamp or round) it.
[[nodiscard]] CLI::Validator id_number();

// The width help is wrapped to: the terminal's when standard output is one, else
// $COLUMNS when it is a number, else 80; never less than 40.
[[nodiscard]] int help_width();

// CLI11's formatter with descriptions wrapped at word boundaries to `width` columns,
// continuation lines indented under the description column.
class WrappingFormatter : public CLI::Formatter {
public:
  explicit WrappingFormatter(int width);

  // The app's description, wrapped.
  std::string make_description(const CLI::App* app) const override;
  // One subcommand row: its name, then its description wrapped beside it.
  std::string make_subcommand(const CLI::App* sub) const override;
  // One option row: its names and value hint, then its description wrapped beside it.
  std::string make_option(const CLI::Option* opt, bool is_positional) const override;

private:
  [[nodiscard]] std::string row(const std::string& name, const std::string& description) const;

  int m_width;
};

} // namespace kolvex::commands
