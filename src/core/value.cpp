#include "core/value.hpp"

namespace kolvex::core {

namespace {

// Below this size a linear scan beats hashing and costs no memory.
constexpr std::size_t k_index_threshold = 32;

[[noreturn]] void wrong_kind(const Value& value, std::string_view wanted)
{
  throw TypeError("expected " + std::string(wanted) + ", got " + std::string(value.type_name()));
}

} // namespace

Map::Map() = default;

Map::Map(std::initializer_list<Entry> entries)
{
  for (const auto& [key, value] : entries) {
    set(key, value);
  }
}

Map::Map(const Map& other) : m_entries(other.m_entries) {}

Map::Map(Map&& other) noexcept
    : m_entries(std::move(other.m_entries)), m_index(std::move(other.m_index))
{
}

Map& Map::operator=(const Map& other)
{
  if (this != &other) {
    m_entries = other.m_entries;
    m_index.reset();
  }
  return *this;
}

Map& Map::operator=(Map&& other) noexcept
{
  m_entries = std::move(other.m_entries);
  m_index = std::move(other.m_index);
  return *this;
}

Map::~Map() = default;

void Map::rebuild_index() const
{
  m_index = std::make_unique<Index>();
  m_index->reserve(m_entries.size() * 2);
  for (std::size_t i = 0; i < m_entries.size(); ++i) {
    m_index->emplace(m_entries[i].first, i);
  }
}

std::optional<std::size_t> Map::index_of(std::string_view key) const
{
  if (m_entries.size() < k_index_threshold) {
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
      if (m_entries[i].first == key) {
        return i;
      }
    }
    return std::nullopt;
  }
  if (!m_index) {
    rebuild_index();
  }
  auto it = m_index->find(key);
  if (it == m_index->end()) {
    return std::nullopt;
  }
  return it->second;
}

Value* Map::find(std::string_view key)
{
  auto i = index_of(key);
  return i ? &m_entries[*i].second : nullptr;
}

const Value* Map::find(std::string_view key) const
{
  auto i = index_of(key);
  return i ? &m_entries[*i].second : nullptr;
}

Value& Map::operator[](std::string_view key)
{
  if (auto i = index_of(key)) {
    return m_entries[*i].second;
  }
  m_entries.emplace_back(std::string(key), Value());
  if (m_index) {
    m_index->emplace(m_entries.back().first, m_entries.size() - 1);
  }
  return m_entries.back().second;
}

void Map::set(std::string_view key, Value value)
{
  (*this)[key] = std::move(value);
}

bool Map::erase(std::string_view key)
{
  auto i = index_of(key);
  if (!i) {
    return false;
  }
  m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(*i));
  m_index.reset();
  return true;
}

void Map::clear()
{
  m_entries.clear();
  m_index.reset();
}

bool Map::operator==(const Map& other) const
{
  // As for Python dicts, order does not take part in equality.
  if (size() != other.size()) {
    return false;
  }
  for (const auto& [key, value] : m_entries) {
    const Value* theirs = other.find(key);
    if (theirs == nullptr || !(*theirs == value)) {
      return false;
    }
  }
  return true;
}

bool Value::as_bool() const
{
  if (const auto* b = std::get_if<bool>(&m_data)) {
    return *b;
  }
  wrong_kind(*this, "bool");
}

std::int64_t Value::as_int() const
{
  if (const auto* i = std::get_if<std::int64_t>(&m_data)) {
    return *i;
  }
  wrong_kind(*this, "int");
}

const BigInt& Value::as_bigint() const
{
  if (const auto* b = std::get_if<BigInt>(&m_data)) {
    return *b;
  }
  wrong_kind(*this, "int");
}

double Value::as_float() const
{
  if (const auto* d = std::get_if<double>(&m_data)) {
    return *d;
  }
  wrong_kind(*this, "float");
}

const std::string& Value::as_string() const
{
  if (const auto* s = std::get_if<std::string>(&m_data)) {
    return *s;
  }
  wrong_kind(*this, "str");
}

std::string& Value::as_string()
{
  if (auto* s = std::get_if<std::string>(&m_data)) {
    return *s;
  }
  wrong_kind(*this, "str");
}

const Date& Value::as_date() const
{
  if (const auto* d = std::get_if<Date>(&m_data)) {
    return *d;
  }
  wrong_kind(*this, "date");
}

const DateTime& Value::as_datetime() const
{
  if (const auto* d = std::get_if<DateTime>(&m_data)) {
    return *d;
  }
  wrong_kind(*this, "datetime");
}

const List& Value::as_list() const
{
  if (const auto* l = std::get_if<List>(&m_data)) {
    return *l;
  }
  wrong_kind(*this, "list");
}

List& Value::as_list()
{
  if (auto* l = std::get_if<List>(&m_data)) {
    return *l;
  }
  wrong_kind(*this, "list");
}

const Map& Value::as_map() const
{
  if (const auto* m = std::get_if<Map>(&m_data)) {
    return *m;
  }
  wrong_kind(*this, "dict");
}

Map& Value::as_map()
{
  if (auto* m = std::get_if<Map>(&m_data)) {
    return *m;
  }
  wrong_kind(*this, "dict");
}

const Value* Value::get(std::string_view key) const
{
  const auto* m = std::get_if<Map>(&m_data);
  return m ? m->find(key) : nullptr;
}

Value* Value::get(std::string_view key)
{
  auto* m = std::get_if<Map>(&m_data);
  return m ? m->find(key) : nullptr;
}

std::optional<std::string> Value::get_string(std::string_view key) const
{
  const Value* v = get(key);
  if (v == nullptr || !v->is_string()) {
    return std::nullopt;
  }
  return v->as_string();
}

std::string_view Value::type_name() const
{
  switch (kind()) {
  case Kind::null:
    return "NoneType";
  case Kind::boolean:
    return "bool";
  case Kind::integer:
  case Kind::big_integer:
    return "int";
  case Kind::floating:
    return "float";
  case Kind::string:
    return "str";
  case Kind::date:
    return "date";
  case Kind::datetime:
    return "datetime";
  case Kind::list:
    return "list";
  case Kind::map:
    return "dict";
  }
  return "object";
}

bool Value::operator==(const Value& other) const
{
  return m_data == other.m_data;
}

bool truthy(const Value& value)
{
  switch (value.kind()) {
  case Value::Kind::null:
    return false;
  case Value::Kind::boolean:
    return value.as_bool();
  case Value::Kind::integer:
    return value.as_int() != 0;
  case Value::Kind::big_integer:
    return true; // a BigInt is never zero: zero fits in 64 bits
  case Value::Kind::floating:
    return value.as_float() != 0.0;
  case Value::Kind::string:
    return !value.as_string().empty();
  case Value::Kind::list:
    return !value.as_list().empty();
  case Value::Kind::map:
    return !value.as_map().empty();
  case Value::Kind::date:
  case Value::Kind::datetime:
    return true;
  }
  return false;
}

} // namespace kolvex::core
