#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace kolvex::core {

class Value;

// A calendar date, as YAML's timestamp resolver produces for `2024-05-01`.
struct Date {
  int year = 1970;
  int month = 1;
  int day = 1;
  bool operator==(const Date&) const = default;
};

// A date-time as YAML produces it: naive when `utc_offset_minutes` is absent,
// otherwise aware with that offset east of UTC.  `microsecond` is 0..999999.
struct DateTime {
  int year = 1970;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int microsecond = 0;
  std::optional<int> utc_offset_minutes;
  bool operator==(const DateTime&) const = default;
};

// An integer that does not fit in 64 bits, kept as its decimal digits (with an
// optional leading '-') so that it is written back exactly as it was read.
struct BigInt {
  std::string digits;
  bool operator==(const BigInt&) const = default;
};

// Thrown when a Value is accessed as a kind it does not hold.
class TypeError : public std::logic_error {
public:
  using std::logic_error::logic_error;
};

// An insertion-ordered map from text keys with Python dict semantics: assigning an
// existing key keeps its position, a new key goes last, erasing removes it.  Lookups
// are linear for small maps; an index is built once a map grows past a few dozen
// entries, so that parsing a large server answer stays linear.
class Map {
public:
  using Entry = std::pair<std::string, Value>;
  using iterator = std::vector<Entry>::iterator;
  using const_iterator = std::vector<Entry>::const_iterator;

  Map();
  Map(std::initializer_list<Entry> entries);
  Map(const Map& other);
  Map(Map&& other) noexcept;
  Map& operator=(const Map& other);
  Map& operator=(Map&& other) noexcept;
  ~Map();

  // The value under `key`, or nullptr when absent.
  [[nodiscard]] Value* find(std::string_view key);
  [[nodiscard]] const Value* find(std::string_view key) const;
  [[nodiscard]] bool contains(std::string_view key) const { return find(key) != nullptr; }

  // The value under `key`, inserting null at the end when absent.
  Value& operator[](std::string_view key);
  // Sets `key` to `value`: in place when present, appended otherwise.
  void set(std::string_view key, Value value);
  // Removes `key`; returns whether it was there.
  bool erase(std::string_view key);

  // Defined below Value: std::vector<Entry> needs a complete Value there (libstdc++
  // under clang insists).
  [[nodiscard]] std::size_t size() const;
  [[nodiscard]] bool empty() const;
  void clear();

  iterator begin();
  iterator end();
  [[nodiscard]] const_iterator begin() const;
  [[nodiscard]] const_iterator end() const;

  bool operator==(const Map& other) const;

private:
  [[nodiscard]] std::optional<std::size_t> index_of(std::string_view key) const;
  void rebuild_index() const;

  std::vector<Entry> m_entries;
  struct KeyHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view key) const noexcept
    {
      return std::hash<std::string_view>{}(key);
    }
  };
  using Index = std::unordered_map<std::string, std::size_t, KeyHash, std::equal_to<>>;

  // Built lazily for large maps and dropped on erase; maps keys to positions in
  // m_entries.
  mutable std::unique_ptr<Index> m_index;
};

using List = std::vector<Value>;

// The one in-memory form of attestations, log lines, configuration and server
// answers: the data model of JSON and of YAML's safe loader.
class Value {
public:
  enum class Kind {
    null,
    boolean,
    integer,
    big_integer,
    floating,
    string,
    date,
    datetime,
    list,
    map
  };

  Value() = default;
  Value(std::nullptr_t) {}
  Value(bool b) : m_data(b) {}
  Value(int i) : m_data(static_cast<std::int64_t>(i)) {}
  Value(long i) : m_data(static_cast<std::int64_t>(i)) {}
  Value(long long i) : m_data(static_cast<std::int64_t>(i)) {}
  Value(unsigned i) : m_data(static_cast<std::int64_t>(i)) {}
  Value(double d) : m_data(d) {}
  Value(const char* s) : m_data(std::string(s)) {}
  Value(std::string s) : m_data(std::move(s)) {}
  Value(std::string_view s) : m_data(std::string(s)) {}
  Value(BigInt b) : m_data(std::move(b)) {}
  Value(Date d) : m_data(d) {}
  Value(DateTime d) : m_data(std::move(d)) {}
  Value(List l) : m_data(std::move(l)) {}
  Value(Map m) : m_data(std::move(m)) {}

  [[nodiscard]] Kind kind() const { return static_cast<Kind>(m_data.index()); }
  [[nodiscard]] bool is_null() const { return kind() == Kind::null; }
  [[nodiscard]] bool is_bool() const { return kind() == Kind::boolean; }
  // True for integers of either width (never for booleans).
  [[nodiscard]] bool is_int() const
  {
    return kind() == Kind::integer || kind() == Kind::big_integer;
  }
  [[nodiscard]] bool is_float() const { return kind() == Kind::floating; }
  [[nodiscard]] bool is_string() const { return kind() == Kind::string; }
  [[nodiscard]] bool is_date() const { return kind() == Kind::date; }
  [[nodiscard]] bool is_datetime() const { return kind() == Kind::datetime; }
  [[nodiscard]] bool is_list() const { return kind() == Kind::list; }
  [[nodiscard]] bool is_map() const { return kind() == Kind::map; }

  // Accessors throw TypeError when the value holds another kind.
  [[nodiscard]] bool as_bool() const;
  // A 64-bit integer; throws TypeError for a BigInt too.
  [[nodiscard]] std::int64_t as_int() const;
  [[nodiscard]] const BigInt& as_bigint() const;
  [[nodiscard]] double as_float() const;
  [[nodiscard]] const std::string& as_string() const;
  [[nodiscard]] std::string& as_string();
  [[nodiscard]] const Date& as_date() const;
  [[nodiscard]] const DateTime& as_datetime() const;
  [[nodiscard]] const List& as_list() const;
  [[nodiscard]] List& as_list();
  [[nodiscard]] const Map& as_map() const;
  [[nodiscard]] Map& as_map();

  // Map lookup that tolerates any kind: the value under `key` when this is a map
  // holding it, else nullptr.
  [[nodiscard]] const Value* get(std::string_view key) const;
  [[nodiscard]] Value* get(std::string_view key);

  // The text under `key` when this is a map holding a string there, else nullopt.
  [[nodiscard]] std::optional<std::string> get_string(std::string_view key) const;

  // Python's name for the kind: NoneType, bool, int, float, str, date, datetime,
  // list, dict.
  [[nodiscard]] std::string_view type_name() const;

  // Deep equality; an int and a float are different values here.
  bool operator==(const Value& other) const;

private:
  std::variant<std::monostate,
               bool,
               std::int64_t,
               BigInt,
               double,
               std::string,
               Date,
               DateTime,
               List,
               Map>
      m_data;
};

// Map's accessors of its entries, defined once Value is complete: clang, unlike
// GCC, instantiates std::pair<std::string, Value> at an in-class definition.
inline std::size_t Map::size() const
{
  return m_entries.size();
}
inline bool Map::empty() const
{
  return m_entries.empty();
}
inline Map::iterator Map::begin()
{
  return m_entries.begin();
}
inline Map::iterator Map::end()
{
  return m_entries.end();
}
inline Map::const_iterator Map::begin() const
{
  return m_entries.begin();
}
inline Map::const_iterator Map::end() const
{
  return m_entries.end();
}

// Python's truth test: null, false, 0, 0.0, "", [] and {} are empty; everything
// else (dates included) is non-empty.
[[nodiscard]] bool truthy(const Value& value);

} // namespace kolvex::core
