#pragma once

// Values shown in messages the way Python's repr() shows them ('story', None, 1.5,
// True, ['a', 'b']), so that messages read the same whichever tool wrote them.

#include "core/value.hpp"

#include <string>
#include <string_view>

namespace kolvex::display::repr {

// Python's repr() of `value`: texts in quotes with Python's escapes, null as None,
// booleans as True/False, floats as float repr, lists and maps recursively.
[[nodiscard]] std::string python_repr(const core::Value& value);

// Python's repr() of the text `text` (UTF-8): quoted, with Python's choice of quote
// and escapes for control and other non-printable characters.
[[nodiscard]] std::string python_repr(std::string_view text);

// `items` shown as a Python list of texts: ['a', 'b'].
template <typename Range> [[nodiscard]] std::string python_list(const Range& items)
{
  std::string out = "[";
  bool first = true;
  for (const auto& item : items) {
    if (!first) {
      out += ", ";
    }
    first = false;
    out += python_repr(std::string_view(item));
  }
  return out + "]";
}

} // namespace kolvex::display::repr
