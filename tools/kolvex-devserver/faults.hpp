#pragma once

// Faults the local API server injects on demand, so that tests can meet a failing,
// slow or refusing server.  Each rule applies to requests whose path (without the
// query) contains a match of its RE2 pattern.

#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace re2 {
class RE2;
}

namespace kolvex::devserver {

// A rule text that does not parse; what() says which and why.
class FaultSyntaxError : public std::invalid_argument {
public:
  using std::invalid_argument::invalid_argument;
};

// What the server does to one request before serving it.
struct FaultVerdict {
  int delay_ms = 0;                       // wait this long first
  std::optional<int> fail_status;         // then answer with this status
  std::optional<std::string> refuse_code; // or refuse with this code
};

class Faults {
public:
  Faults();
  ~Faults();
  Faults(const Faults&) = delete;
  Faults& operator=(const Faults&) = delete;

  // `spec` is "REGEX=STATUS[xN][@K]": matching requests get STATUS (100-599), only
  // N times when xN is given, starting with the K-th matching request (default 1).
  // The pattern is everything before the last "=".  Throws FaultSyntaxError.
  void add_fail(std::string_view spec);
  // `spec` is "REGEX=MS": matching requests wait MS milliseconds (0-600000) first.
  void add_delay(std::string_view spec);
  // `spec` is "REGEX=CODE": matching requests are refused with refusal code CODE
  // (lower-case letters, digits and "_").
  void add_refuse(std::string_view spec);

  // The verdict for a request to `path`; counts it against every fail rule it
  // matches.  Delays add up; the first fail rule that fires wins over refusals.
  [[nodiscard]] FaultVerdict judge(std::string_view path);

  struct Rule;

private:
  // A new rule of `kind` from "REGEX=VALUE" (split at the last "="); `value` gets the
  // text after it.  Throws FaultSyntaxError naming `option`.
  static std::unique_ptr<Rule>
  parse(std::string_view spec, int kind, std::string_view option, std::string_view& value);
  void add(std::unique_ptr<Rule> rule);

  std::mutex m_mutex;
  std::vector<std::unique_ptr<Rule>> m_rules;
};

} // namespace kolvex::devserver
