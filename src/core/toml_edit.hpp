#pragma once

// A TOML file someone else owns (Codex's .codex/config.toml), read for where its
// statements lie so that an edit can be spliced in without touching anything else.
// The scan checks the file against TOML 1.0 (its syntax, and that no key or table
// is defined twice) because appending to a file that is already broken, or adding
// a table a reader will then find twice, leaves the user with a file their tool
// refuses: a file that fails the check is not edited at all.

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kolvex::core::toml_edit {

// A text that is not valid TOML 1.0; what() says what and on which line.
class NotEditableError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// One statement of the file.
struct Statement {
  enum class Kind { table, array_table, key_value };
  Kind kind = Kind::key_value;
  // A header's table, or the table a key/value is in ([] at the top), as plain
  // names (quotes removed).
  std::vector<std::string> table;
  // A key/value's dotted key, relative to `table`.
  std::vector<std::string> key;
  // Where the statement begins, and where its line (comment and line break
  // included) ends: the place for a line inserted after it.
  std::size_t begin = 0;
  std::size_t line_end = 0;
  // A key/value's value: where it lies, and for an inline table its members'
  // dotted keys.
  enum class Value { inline_table, array, string, other };
  Value value = Value::other;
  std::size_t value_begin = 0;
  std::size_t value_end = 0;
  std::vector<std::vector<std::string>> inline_keys;
  // Where each of those members lies: its key's first byte and its value's end.
  std::vector<std::pair<std::size_t, std::size_t>> inline_spans;
};

// The statements of `text` in order.  Throws NotEditableError when `text` is not
// valid TOML 1.0.
[[nodiscard]] std::vector<Statement> scan(std::string_view text);

// `name` as a TOML key: bare when it can be, quoted otherwise.
[[nodiscard]] std::string key_text(std::string_view name);

} // namespace kolvex::core::toml_edit
