#include "core/yaml_emitter.hpp"

#include "core/text.hpp"
#include "core/yaml.hpp"
#include "core/yaml_representer.hpp"

#include <cmath>
#include <cstdio>
#include <optional>
#include <string_view>
#include <vector>

namespace kolvex::core::yaml {

namespace {

// This is PyYAML's Python emitter (the one yaml.dump uses) cut down to what a
// block-style dump of plain data needs: block mappings and sequences, `[]`/`{}`
// for empty collections, and plain, single-quoted and double-quoted scalars.
// libyaml's emitter is not used for writing because its line folding of double-
// quoted scalars, its choice of simple keys and its document-end marker differ
// from PyYAML's, and the files we write must match PyYAML byte for byte.  The
// state variables and the order of the writes follow PyYAML's so that columns,
// folding and indentation agree; positions count code points, as Python does.

constexpr int k_best_indent = 2;
constexpr int k_best_width = 80;
// PyYAML counts the key's prepared tag (`!!str`) into the length of a simple
// key, even though the tag is never written.
constexpr std::size_t k_max_simple_key_length = 128 - std::string_view("!!str").size();
constexpr char32_t k_none = 0xFFFFFFFF; // past the end of a scalar

bool is_break(char32_t c)
{
  return c == '\n' || c == 0x85 || c == 0x2028 || c == 0x2029;
}

bool is_blank_or_end(char32_t c)
{
  return c == 0 || c == ' ' || c == '\t' || c == '\r' || is_break(c);
}

bool is_printable_ascii(char32_t c)
{
  return c >= 0x20 && c <= 0x7E;
}

// What analyze_scalar finds out about a scalar, for allow_unicode=False: every
// character outside printable ASCII and '\n' is special.
struct Analysis {
  bool empty = false;
  bool multiline = false;
  bool allow_flow_plain = true;
  bool allow_block_plain = true;
  bool allow_single_quoted = true;
};

Analysis analyze(const std::u32string& s)
{
  Analysis a;
  if (s.empty()) {
    a.empty = true;
    a.allow_flow_plain = false;
    return a;
  }
  bool block_indicators = false;
  bool flow_indicators = false;
  bool line_breaks = false;
  bool special_characters = false;
  bool leading_space = false;
  bool leading_break = false;
  bool trailing_space = false;
  bool trailing_break = false;
  bool break_space = false;
  bool space_break = false;
  const std::u32string_view view(s);
  if (view.starts_with(U"---") || view.starts_with(U"...")) {
    block_indicators = flow_indicators = true;
  }
  bool preceded_by_whitespace = true;
  bool followed_by_whitespace = s.size() == 1 || is_blank_or_end(s[1]);
  bool previous_space = false;
  bool previous_break = false;
  const auto in = [](char32_t ch, std::u32string_view set) {
    return set.find(ch) != std::u32string_view::npos;
  };
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char32_t ch = s[i];
    if (i == 0) {
      if (in(ch, U"#,[]{}&*!|>'\"%@`")) {
        flow_indicators = block_indicators = true;
      }
      if (ch == '?' || ch == ':') {
        flow_indicators = true;
        block_indicators = block_indicators || followed_by_whitespace;
      }
      if (ch == '-' && followed_by_whitespace) {
        flow_indicators = block_indicators = true;
      }
    } else {
      if (in(ch, U",?[]{}")) {
        flow_indicators = true;
      }
      if (ch == ':') {
        flow_indicators = true;
        block_indicators = block_indicators || followed_by_whitespace;
      }
      if (ch == '#' && preceded_by_whitespace) {
        flow_indicators = block_indicators = true;
      }
    }
    line_breaks = line_breaks || is_break(ch);
    if (ch != '\n' && !is_printable_ascii(ch)) {
      special_characters = true;
    }
    if (ch == ' ') {
      leading_space = leading_space || i == 0;
      trailing_space = trailing_space || i == s.size() - 1;
      break_space = break_space || previous_break;
      previous_space = true;
      previous_break = false;
    } else if (is_break(ch)) {
      leading_break = leading_break || i == 0;
      trailing_break = trailing_break || i == s.size() - 1;
      space_break = space_break || previous_space;
      previous_space = false;
      previous_break = true;
    } else {
      previous_space = previous_break = false;
    }
    preceded_by_whitespace = is_blank_or_end(ch);
    followed_by_whitespace = i + 2 >= s.size() || is_blank_or_end(s[i + 2]);
  }
  if (leading_space || leading_break || trailing_space || trailing_break) {
    a.allow_flow_plain = a.allow_block_plain = false;
  }
  if (break_space) {
    a.allow_flow_plain = a.allow_block_plain = a.allow_single_quoted = false;
  }
  if (space_break || special_characters) {
    a.allow_flow_plain = a.allow_block_plain = a.allow_single_quoted = false;
  }
  if (line_breaks) {
    a.allow_flow_plain = a.allow_block_plain = false;
  }
  if (flow_indicators) {
    a.allow_flow_plain = false;
  }
  if (block_indicators) {
    a.allow_block_plain = false;
  }
  a.multiline = line_breaks;
  return a;
}

enum class Style { plain, single_quoted, double_quoted };

class Emitter {
public:
  std::string run(const Value& root)
  {
    node(root, Context::root);
    // DocumentEnd, then StreamEnd: a root plain scalar leaves the document
    // open-ended, which PyYAML closes with `...`.
    write_indent();
    if (m_open_ended) {
      write_indicator("...", true);
      write_indent();
    }
    return std::move(m_out);
  }

private:
  enum class Context { root, sequence, mapping, simple_key };

  void node(const Value& v, Context context)
  {
    m_root_context = context == Context::root;
    m_mapping_context = context == Context::mapping || context == Context::simple_key;
    m_simple_key_context = context == Context::simple_key;
    if (v.is_list()) {
      if (v.as_list().empty()) {
        empty_collection("[", "]");
      } else {
        block_sequence(v.as_list());
      }
    } else if (v.is_map()) {
      if (v.as_map().empty()) {
        empty_collection("{", "}");
      } else {
        block_mapping(v.as_map());
      }
    } else {
      scalar(represent_scalar(v));
    }
  }

  void empty_collection(const char* open, const char* close)
  {
    write_indicator(open, true, true);
    increase_indent(true);
    m_indent = pop_indent();
    write_indicator(close, false);
  }

  void block_sequence(const List& items)
  {
    increase_indent(false, m_mapping_context && !m_indention);
    for (const Value& item : items) {
      write_indent();
      write_indicator("-", true, false, true);
      node(item, Context::sequence);
    }
    m_indent = pop_indent();
  }

  void block_mapping(const Map& map)
  {
    increase_indent(false);
    for (const auto& [key_text, value] : map) {
      ScalarText key = represent_key(key_text);
      write_indent();
      const Analysis a = analyze(key.text);
      if (key.text.size() < k_max_simple_key_length && !a.empty && !a.multiline) {
        node_key(key, Context::simple_key);
        write_indicator(":", false);
      } else {
        write_indicator("?", true, false, true);
        node_key(key, Context::mapping);
        write_indent();
        write_indicator(":", true, false, true);
      }
      node(value, Context::mapping);
    }
    m_indent = pop_indent();
  }

  void node_key(const ScalarText& key, Context context)
  {
    m_root_context = false;
    m_mapping_context = true;
    m_simple_key_context = context == Context::simple_key;
    scalar(key);
  }

  Style choose_style(const ScalarText& s, const Analysis& a) const
  {
    if (s.plain_implicit && !(m_simple_key_context && (a.empty || a.multiline)) &&
        a.allow_block_plain) {
      return Style::plain;
    }
    if (a.allow_single_quoted && !(m_simple_key_context && a.multiline)) {
      return Style::single_quoted;
    }
    return Style::double_quoted;
  }

  void scalar(const ScalarText& s)
  {
    increase_indent(true);
    const Analysis a = analyze(s.text);
    const Style style = choose_style(s, a);
    // A typed scalar written quoted would need a tag to keep its type; the texts
    // we produce for them never need quoting.
    if (!s.is_string && style != Style::plain) {
      throw YamlError("internal: typed scalar needs quoting");
    }
    const bool split = !m_simple_key_context;
    switch (style) {
    case Style::plain:
      write_plain(s.text, split);
      break;
    case Style::single_quoted:
      write_single_quoted(s.text, split);
      break;
    case Style::double_quoted:
      write_double_quoted(s.text, split);
      break;
    }
    m_indent = pop_indent();
  }

  void increase_indent(bool flow, bool indentless = false)
  {
    m_indents.push_back(m_indent);
    if (!m_indent) {
      m_indent = flow ? k_best_indent : 0;
    } else if (!indentless) {
      *m_indent += k_best_indent;
    }
  }

  std::optional<int> pop_indent()
  {
    const auto indent = m_indents.back();
    m_indents.pop_back();
    return indent;
  }

  void write_text(const std::u32string& text, std::size_t start, std::size_t end)
  {
    for (std::size_t i = start; i < end; ++i) {
      text::append_utf8(m_out, text[i]);
    }
    m_column += static_cast<int>(end - start);
  }

  void write_raw(std::string_view data)
  {
    m_out += data;
    m_column += static_cast<int>(data.size());
  }

  void write_indicator(std::string_view indicator,
                       bool need_whitespace,
                       bool whitespace = false,
                       bool indention = false)
  {
    if (!m_whitespace && need_whitespace) {
      m_out += ' ';
      ++m_column;
    }
    write_raw(indicator);
    m_whitespace = whitespace;
    m_indention = m_indention && indention;
    m_open_ended = false;
  }

  void write_indent()
  {
    const int indent = m_indent.value_or(0);
    if (!m_indention || m_column > indent || (m_column == indent && !m_whitespace)) {
      write_line_break();
    }
    if (m_column < indent) {
      m_whitespace = true;
      m_out.append(static_cast<std::size_t>(indent - m_column), ' ');
      m_column = indent;
    }
  }

  void write_line_break(char32_t data = '\n')
  {
    m_whitespace = true;
    m_indention = true;
    m_column = 0;
    text::append_utf8(m_out, data);
  }

  // Plain scalars never hold line breaks here: analyze() forbids the style then.
  void write_plain(const std::u32string& text, bool split)
  {
    if (m_root_context) {
      m_open_ended = true;
    }
    if (text.empty()) {
      return;
    }
    if (!m_whitespace) {
      write_raw(" ");
    }
    m_whitespace = false;
    m_indention = false;
    bool spaces = false;
    std::size_t start = 0;
    for (std::size_t end = 0; end <= text.size(); ++end) {
      const char32_t ch = end < text.size() ? text[end] : k_none;
      if (spaces) {
        if (ch != ' ') {
          if (start + 1 == end && m_column > k_best_width && split) {
            write_indent();
            m_whitespace = false;
            m_indention = false;
          } else {
            write_text(text, start, end);
          }
          start = end;
        }
      } else if (ch == k_none || ch == ' ') {
        write_text(text, start, end);
        start = end;
      }
      spaces = ch == ' ';
    }
  }

  void write_breaks(const std::u32string& text, std::size_t start, std::size_t end)
  {
    if (text[start] == '\n') {
      write_line_break();
    }
    for (std::size_t i = start; i < end; ++i) {
      write_line_break(text[i]);
    }
    write_indent();
  }

  void write_single_quoted(const std::u32string& text, bool split)
  {
    write_indicator("'", true);
    bool spaces = false;
    bool breaks = false;
    std::size_t start = 0;
    for (std::size_t end = 0; end <= text.size(); ++end) {
      const char32_t ch = end < text.size() ? text[end] : k_none;
      if (spaces) {
        if (ch != ' ') {
          if (start + 1 == end && m_column > k_best_width && split && start != 0 &&
              end != text.size()) {
            write_indent();
          } else {
            write_text(text, start, end);
          }
          start = end;
        }
      } else if (breaks) {
        if (ch == k_none || !is_break(ch)) {
          write_breaks(text, start, end);
          start = end;
        }
      } else if (ch == k_none || ch == ' ' || is_break(ch) || ch == '\'') {
        if (start < end) {
          write_text(text, start, end);
          start = end;
        }
      }
      if (ch == '\'') {
        write_raw("''");
        start = end + 1;
      }
      if (ch != k_none) {
        spaces = ch == ' ';
        breaks = is_break(ch);
      }
    }
    write_indicator("'", false);
  }

  static std::string escape(char32_t ch)
  {
    static constexpr std::pair<char32_t, const char*> k_short[] = {
        {0x00, "\\0"},
        {0x07, "\\a"},
        {0x08, "\\b"},
        {0x09, "\\t"},
        {0x0A, "\\n"},
        {0x0B, "\\v"},
        {0x0C, "\\f"},
        {0x0D, "\\r"},
        {0x1B, "\\e"},
        {0x22, "\\\""},
        {0x5C, "\\\\"},
        {0x85, "\\N"},
        {0xA0, "\\_"},
        {0x2028, "\\L"},
        {0x2029, "\\P"},
    };
    for (const auto& [c, text] : k_short) {
      if (c == ch) {
        return text;
      }
    }
    char buf[16];
    if (ch <= 0xFF) {
      std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned>(ch));
    } else if (ch <= 0xFFFF) {
      std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(ch));
    } else {
      std::snprintf(buf, sizeof buf, "\\U%08X", static_cast<unsigned>(ch));
    }
    return buf;
  }

  void write_double_quoted(const std::u32string& text, bool split)
  {
    write_indicator("\"", true);
    std::size_t start = 0;
    for (std::size_t end = 0; end <= text.size(); ++end) {
      const char32_t ch = end < text.size() ? text[end] : k_none;
      if (ch == k_none || ch == '"' || ch == '\\' || ch == 0xFEFF || !is_printable_ascii(ch)) {
        if (start < end) {
          write_text(text, start, end);
          start = end;
        }
        if (ch != k_none) {
          write_raw(escape(ch));
          start = end + 1;
        }
      }
      // Fold before a space or right after an escape once past the width; the
      // escaped line break keeps the scalar's value unchanged.
      if (end > 0 && end + 1 < text.size() && (ch == ' ' || start >= end) &&
          static_cast<long>(m_column) + static_cast<long>(end) - static_cast<long>(start) >
              k_best_width &&
          split) {
        if (start < end) {
          write_text(text, start, end);
          start = end;
        }
        write_raw("\\");
        write_indent();
        m_whitespace = false;
        m_indention = false;
        if (text[start] == ' ') {
          write_raw("\\");
        }
      }
    }
    write_indicator("\"", false);
  }

  std::string m_out;
  int m_column = 0;
  std::optional<int> m_indent;
  std::vector<std::optional<int>> m_indents;
  bool m_whitespace = true;
  bool m_indention = true;
  bool m_open_ended = false;
  bool m_root_context = false;
  bool m_mapping_context = false;
  bool m_simple_key_context = false;
};

} // namespace

std::string emit_document(const Value& root)
{
  return Emitter().run(root);
}

} // namespace kolvex::core::yaml
