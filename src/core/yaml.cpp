#include "core/yaml.hpp"

#include "core/yaml_emitter.hpp"
#include "core/yaml_resolver.hpp"

#include <yaml.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <optional>
#include <unordered_map>

namespace kolvex::core::yaml {

namespace {

// Deeper documents are refused rather than risking the stack; PyYAML itself
// gives up below 500 levels, so nothing it reads is refused here.
constexpr std::size_t k_max_depth = 1000;
// What aliases and merge keys may add on top of the document as written: the
// nodes and scalar bytes of every copy they make.  A billion-laughs document
// hits this after a few milliseconds instead of exhausting memory.
constexpr std::size_t k_alias_node_budget = 1'000'000;
constexpr std::size_t k_alias_byte_budget = std::size_t{64} << 20;

constexpr std::string_view k_std_prefix = "tag:yaml.org,2002:";

std::string position(std::size_t line, std::size_t column)
{
  return "line " + std::to_string(line + 1) + ", column " + std::to_string(column + 1);
}

std::string position(const yaml_mark_t& mark)
{
  return position(mark.line, mark.column);
}

// libyaml's reader reports a byte offset only; turn it into a line and a column
// counted in characters like the scanner's marks.
std::string position_of_offset(std::string_view text, std::size_t offset)
{
  offset = std::min(offset, text.size());
  std::size_t line = 0;
  std::size_t column = 0;
  for (std::size_t i = 0; i < offset; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      ++line;
      column = 0;
    } else if ((c & 0xC0) != 0x80) {
      ++column;
    }
  }
  return position(line, column);
}

std::string describe_parser_error(const yaml_parser_t& parser, std::string_view text)
{
  const std::string problem = parser.problem != nullptr ? parser.problem : "unknown error";
  switch (parser.error) {
  case YAML_MEMORY_ERROR:
    return "YAML error: out of memory";
  case YAML_READER_ERROR: {
    std::string what =
        "YAML error at " + position_of_offset(text, parser.problem_offset) + ": " + problem;
    if (parser.problem_value != -1) {
      char buf[32];
      std::snprintf(buf, sizeof buf, " (#%X)", static_cast<unsigned>(parser.problem_value));
      what += buf;
    }
    return what;
  }
  default:
    break;
  }
  std::string what = "YAML error at " + position(parser.problem_mark) + ": " + problem;
  if (parser.context != nullptr) {
    what += " (" + std::string(parser.context) + " at " + position(parser.context_mark) + ")";
  }
  return what;
}

// One node of the document graph.  Aliases make several parents share a node,
// so construction caches the Value of anchored nodes and charges every reuse.
struct Node {
  enum class Kind { scalar, sequence, mapping };
  enum class State { fresh, building, built };

  Kind kind = Kind::scalar;
  std::string tag; // as libyaml resolved it; empty when the node has none
  bool plain = false;
  std::string text;
  std::vector<Node*> children; // items, or key, value, key, value... for mappings
  yaml_mark_t mark{};
  bool anchored = false;

  State state = State::fresh;
  bool flattening = false;
  std::optional<Value> cached;
  std::size_t weight_nodes = 0;
  std::size_t weight_bytes = 0;
  std::size_t height = 0;
};

[[noreturn]] void fail(const std::string& what, const Node& node)
{
  throw YamlError("YAML error at " + position(node.mark) + ": " + what);
}

class Event {
public:
  Event() = default;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  ~Event() { yaml_event_delete(&m_event); }
  yaml_event_t* get() { return &m_event; }
  const yaml_event_t& operator*() const { return m_event; }

private:
  yaml_event_t m_event{};
};

// Owns a libyaml parser; a member of its own so that the parser is freed even
// when the Loader's constructor throws on the first event.
class Parser {
public:
  Parser()
  {
    if (yaml_parser_initialize(&m_parser) == 0) {
      throw YamlError("YAML error: out of memory");
    }
  }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;
  ~Parser() { yaml_parser_delete(&m_parser); }
  yaml_parser_t& operator*() { return m_parser; }

private:
  yaml_parser_t m_parser{};
};

class Loader {
public:
  explicit Loader(std::string_view text) : m_text(text)
  {
    yaml_parser_set_input_string(
        &*m_parser, reinterpret_cast<const unsigned char*>(text.data()), text.size());
    Event start;
    parse(start);
  }

  // The next document's Value, or nullopt once the stream has ended.
  std::optional<Value> next_document()
  {
    Event event;
    parse(event);
    if ((*event).type == YAML_STREAM_END_EVENT) {
      return std::nullopt;
    }
    Node* root = compose_document();
    m_node_budget = m_nodes.size() + k_alias_node_budget;
    m_byte_budget = 2 * m_text.size() + k_alias_byte_budget;
    m_nodes_used = 0;
    m_bytes_used = 0;
    m_deepest = 0;
    Value value = construct(root, 0);
    m_nodes.clear();
    m_anchors.clear();
    return value;
  }

  // Throws unless the stream ends here, for a loader that wants one document.
  void expect_stream_end()
  {
    Event event;
    parse(event);
    if ((*event).type != YAML_STREAM_END_EVENT) {
      throw YamlError("YAML error at " + position((*event).start_mark) +
                      ": expected a single document in the stream, but found another document");
    }
  }

private:
  void parse(Event& event)
  {
    if (yaml_parser_parse(&*m_parser, event.get()) == 0) {
      throw YamlError(describe_parser_error(*m_parser, m_text));
    }
  }

  Node* new_node(Node::Kind kind,
                 const yaml_event_t& event,
                 const yaml_char_t* anchor,
                 const yaml_char_t* tag)
  {
    Node& node = m_nodes.emplace_back();
    node.kind = kind;
    node.mark = event.start_mark;
    if (tag != nullptr) {
      node.tag = reinterpret_cast<const char*>(tag);
    }
    if (anchor != nullptr) {
      const std::string name(reinterpret_cast<const char*>(anchor));
      if (!m_anchors.emplace(name, &node).second) {
        fail("found duplicate anchor '" + name + "'", node);
      }
      node.anchored = true;
    }
    return &node;
  }

  // Builds the node graph of one document from the parser's events, without
  // recursion so that nesting depth costs no stack.
  Node* compose_document()
  {
    Node* root = nullptr;
    std::vector<Node*> open;
    const auto attach = [&](Node* node) {
      if (open.empty()) {
        root = node;
      } else {
        open.back()->children.push_back(node);
      }
    };
    while (true) {
      Event event;
      parse(event);
      const yaml_event_t& e = *event;
      switch (e.type) {
      case YAML_ALIAS_EVENT: {
        const std::string name(reinterpret_cast<const char*>(e.data.alias.anchor));
        const auto found = m_anchors.find(name);
        if (found == m_anchors.end()) {
          throw YamlError("YAML error at " + position(e.start_mark) + ": found undefined alias '" +
                          name + "'");
        }
        attach(found->second);
        break;
      }
      case YAML_SCALAR_EVENT: {
        Node* node = new_node(Node::Kind::scalar, e, e.data.scalar.anchor, e.data.scalar.tag);
        node->plain = e.data.scalar.style == YAML_PLAIN_SCALAR_STYLE;
        node->text.assign(reinterpret_cast<const char*>(e.data.scalar.value), e.data.scalar.length);
        attach(node);
        break;
      }
      case YAML_SEQUENCE_START_EVENT:
      case YAML_MAPPING_START_EVENT: {
        const bool is_sequence = e.type == YAML_SEQUENCE_START_EVENT;
        Node* node = is_sequence ? new_node(Node::Kind::sequence,
                                            e,
                                            e.data.sequence_start.anchor,
                                            e.data.sequence_start.tag)
                                 : new_node(Node::Kind::mapping,
                                            e,
                                            e.data.mapping_start.anchor,
                                            e.data.mapping_start.tag);
        attach(node);
        open.push_back(node);
        if (open.size() > k_max_depth) {
          fail("nesting deeper than " + std::to_string(k_max_depth) + " levels", *node);
        }
        break;
      }
      case YAML_SEQUENCE_END_EVENT:
      case YAML_MAPPING_END_EVENT:
        open.pop_back();
        break;
      case YAML_DOCUMENT_END_EVENT:
        return root;
      default:
        break;
      }
    }
  }

  void charge(std::size_t nodes, std::size_t bytes, const Node& at)
  {
    m_nodes_used += nodes;
    m_bytes_used += bytes;
    if (m_nodes_used > m_node_budget || m_bytes_used > m_byte_budget) {
      fail("aliases expand the document beyond " + std::to_string(k_alias_node_budget) +
               " extra nodes or " + std::to_string(k_alias_byte_budget >> 20) + " MiB",
           at);
    }
  }

  // The tag a scalar node resolves to; refuses tags outside the standard ones.
  static ScalarTag scalar_tag(const Node& node)
  {
    if (node.tag.empty()) {
      return node.plain ? resolve_plain_tag(node.text) : ScalarTag::string;
    }
    if (node.tag == "!") { // the non-specific tag: SafeLoader resolves the text as if plain
      return resolve_plain_tag(node.text);
    }
    static const std::unordered_map<std::string, ScalarTag> k_tags = {
        {"str", ScalarTag::string},
        {"null", ScalarTag::null},
        {"bool", ScalarTag::boolean},
        {"int", ScalarTag::integer},
        {"float", ScalarTag::floating},
        {"timestamp", ScalarTag::timestamp},
        {"merge", ScalarTag::merge},
    };
    if (node.tag.starts_with(k_std_prefix)) {
      const auto found = k_tags.find(node.tag.substr(k_std_prefix.size()));
      if (found != k_tags.end()) {
        return found->second;
      }
      if (node.tag == "tag:yaml.org,2002:binary") {
        fail("binary scalars (!!binary) are not supported", node);
      }
    }
    fail("tag '" + node.tag + "' is not allowed on a scalar", node);
  }

  static void check_collection_tag(const Node& node)
  {
    const std::string expected =
        std::string(k_std_prefix) + (node.kind == Node::Kind::sequence ? "seq" : "map");
    if (!node.tag.empty() && node.tag != "!" && node.tag != expected) {
      fail("tag '" + node.tag + "' is not allowed on a " +
               (node.kind == Node::Kind::sequence ? "sequence" : "mapping"),
           node);
    }
  }

  static Value construct_scalar_node(const Node& node)
  {
    const ScalarTag tag = scalar_tag(node);
    try {
      return construct_scalar(tag, node.text);
    } catch (const YamlError& e) {
      fail(e.what(), node);
    }
  }

  Value construct(Node* node, std::size_t depth)
  {
    if (node->state == Node::State::built) {
      if (depth + node->height > k_max_depth) {
        fail("nesting deeper than " + std::to_string(k_max_depth) + " levels through aliases",
             *node);
      }
      charge(node->weight_nodes, node->weight_bytes, *node);
      m_deepest = std::max(m_deepest, depth + node->height);
      return *node->cached;
    }
    if (node->state == Node::State::building) {
      fail("recursive alias: a node cannot contain itself", *node);
    }
    if (depth > k_max_depth) {
      fail("nesting deeper than " + std::to_string(k_max_depth) + " levels", *node);
    }
    node->state = Node::State::building;
    const std::size_t nodes_before = m_nodes_used;
    const std::size_t bytes_before = m_bytes_used;
    const std::size_t deepest_before = m_deepest;
    m_deepest = depth;
    Value value;
    switch (node->kind) {
    case Node::Kind::scalar:
      charge(1, node->text.size(), *node);
      value = construct_scalar_node(*node);
      break;
    case Node::Kind::sequence: {
      check_collection_tag(*node);
      charge(1, 0, *node);
      List items;
      items.reserve(node->children.size());
      for (Node* child : node->children) {
        items.push_back(construct(child, depth + 1));
      }
      value = Value(std::move(items));
      break;
    }
    case Node::Kind::mapping: {
      check_collection_tag(*node);
      charge(1, 0, *node);
      Map map;
      for (const auto& [key, item] : flatten(node)) {
        std::string text = key_text(*key);
        map.set(text, construct(item, depth + 1));
      }
      value = Value(std::move(map));
      break;
    }
    }
    node->height = m_deepest - depth;
    m_deepest = std::max(deepest_before, m_deepest);
    if (node->anchored) {
      node->state = Node::State::built;
      node->weight_nodes = m_nodes_used - nodes_before;
      node->weight_bytes = m_bytes_used - bytes_before;
      node->cached = value;
    } else {
      node->state = Node::State::fresh;
    }
    return value;
  }

  // Keys are text: a scalar key of another type keeps the text it was written
  // with (after the same checks as a value, so that `2023-02-30: x` is refused).
  std::string key_text(const Node& key)
  {
    if (key.kind != Node::Kind::scalar) {
      fail("mapping keys must be scalars", key);
    }
    charge(1, key.text.size(), key);
    const Value value = construct_scalar_node(key);
    return value.is_string() ? value.as_string() : key.text;
  }

  static bool is_merge_key(const Node& key)
  {
    return key.kind == Node::Kind::scalar && scalar_tag(key) == ScalarTag::merge;
  }

  using Pairs = std::vector<std::pair<Node*, Node*>>;

  // The key/value pairs of a mapping with its merge keys (`<<`) replaced by the
  // pairs they bring, as SafeConstructor orders them: merged pairs first (for a
  // list of mappings, the last mapping's first), then the mapping's own pairs, so
  // that inserting them in order lets own keys and earlier mappings win.
  Pairs flatten(Node* node, std::size_t depth = 0)
  {
    if (node->flattening) {
      fail("recursive merge: a mapping cannot merge itself", *node);
    }
    if (depth > k_max_depth) {
      fail("merge keys nested deeper than " + std::to_string(k_max_depth) + " levels", *node);
    }
    node->flattening = true;
    Pairs merged;
    Pairs own;
    const auto& c = node->children;
    for (std::size_t i = 0; i + 1 < c.size(); i += 2) {
      Node* key = c[i];
      Node* value = c[i + 1];
      if (!is_merge_key(*key)) {
        own.emplace_back(key, value);
        continue;
      }
      std::vector<Pairs> sources;
      if (value->kind == Node::Kind::mapping) {
        sources.push_back(flatten(value, depth + 1));
      } else if (value->kind == Node::Kind::sequence) {
        for (Node* sub : value->children) {
          if (sub->kind != Node::Kind::mapping) {
            fail("expected a mapping for merging", *sub);
          }
          sources.push_back(flatten(sub, depth + 1));
        }
        std::reverse(sources.begin(), sources.end());
      } else {
        fail("expected a mapping or list of mappings for merging", *value);
      }
      for (const Pairs& source : sources) {
        charge(source.size(), 0, *value);
        merged.insert(merged.end(), source.begin(), source.end());
      }
    }
    node->flattening = false;
    merged.insert(merged.end(), own.begin(), own.end());
    return merged;
  }

  std::string_view m_text;
  Parser m_parser;
  std::deque<Node> m_nodes;
  std::unordered_map<std::string, Node*> m_anchors;
  std::size_t m_node_budget = 0;
  std::size_t m_byte_budget = 0;
  std::size_t m_nodes_used = 0;
  std::size_t m_bytes_used = 0;
  std::size_t m_deepest = 0;
};

} // namespace

Value load(std::string_view text)
{
  Loader loader(text);
  auto document = loader.next_document();
  if (!document) {
    return {};
  }
  loader.expect_stream_end();
  return std::move(*document);
}

std::vector<Value> load_all(std::string_view text)
{
  Loader loader(text);
  std::vector<Value> documents;
  while (auto document = loader.next_document()) {
    documents.push_back(std::move(*document));
  }
  return documents;
}

std::string dump(const Value& value)
{
  return emit_document(value);
}

Value resolve_plain_scalar(std::string_view text)
{
  return construct_scalar(resolve_plain_tag(text), text);
}

} // namespace kolvex::core::yaml
