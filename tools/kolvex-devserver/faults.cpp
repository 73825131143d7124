#include "faults.hpp"

#include <re2/re2.h>

#include <charconv>

namespace kolvex::devserver {

struct Faults::Rule {
  enum class Kind { fail, delay, refuse };
  Kind kind = Kind::fail;
  std::unique_ptr<re2::RE2> pattern;
  int status = 0;
  std::optional<long> times;
  long from = 1;
  long seen = 0;
  int delay_ms = 0;
  std::string code;
};

namespace {

struct Split {
  std::string_view pattern;
  std::string_view value;
};

Split split_spec(std::string_view spec, std::string_view option)
{
  const std::size_t eq = spec.rfind('=');
  if (eq == std::string_view::npos || eq == 0 || eq + 1 == spec.size()) {
    throw FaultSyntaxError(std::string(option) + ": expected REGEX=VALUE, got '" +
                           std::string(spec) + "'");
  }
  return {spec.substr(0, eq), spec.substr(eq + 1)};
}

std::unique_ptr<re2::RE2> compile(std::string_view pattern, std::string_view option)
{
  auto re = std::make_unique<re2::RE2>(re2::StringPiece(pattern.data(), pattern.size()),
                                       re2::RE2::Quiet);
  if (!re->ok()) {
    throw FaultSyntaxError(std::string(option) + ": bad pattern '" + std::string(pattern) +
                           "': " + re->error());
  }
  return re;
}

// The decimal number at the front of `text`; `text` is advanced past it.
long take_number(std::string_view& text, std::string_view option, std::string_view spec)
{
  long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end == text.data() || value < 0) {
    throw FaultSyntaxError(std::string(option) + ": bad number in '" + std::string(spec) + "'");
  }
  text.remove_prefix(static_cast<std::size_t>(end - text.data()));
  return value;
}

} // namespace

Faults::Faults() = default;
Faults::~Faults() = default;

void Faults::add_fail(std::string_view spec)
{
  const auto [pattern, value] = split_spec(spec, "--fail");
  auto rule = std::make_unique<Rule>();
  rule->kind = Rule::Kind::fail;
  rule->pattern = compile(pattern, "--fail");
  std::string_view rest = value;
  const long status = take_number(rest, "--fail", spec);
  if (status < 100 || status > 599) {
    throw FaultSyntaxError("--fail: the status must be 100-599 in '" + std::string(spec) + "'");
  }
  rule->status = static_cast<int>(status);
  if (rest.starts_with('x')) {
    rest.remove_prefix(1);
    rule->times = take_number(rest, "--fail", spec);
  }
  if (rest.starts_with('@')) {
    rest.remove_prefix(1);
    rule->from = std::max(1L, take_number(rest, "--fail", spec));
  }
  if (!rest.empty()) {
    throw FaultSyntaxError("--fail: expected REGEX=STATUS[xN][@K], got '" + std::string(spec) + "'");
  }
  const std::lock_guard guard(m_mutex);
  m_rules.push_back(std::move(rule));
}

void Faults::add_delay(std::string_view spec)
{
  const auto [pattern, value] = split_spec(spec, "--delay");
  auto rule = std::make_unique<Rule>();
  rule->kind = Rule::Kind::delay;
  rule->pattern = compile(pattern, "--delay");
  std::string_view rest = value;
  const long ms = take_number(rest, "--delay", spec);
  if (!rest.empty() || ms > 600'000) {
    throw FaultSyntaxError("--delay: expected REGEX=MS (at most 600000), got '" +
                           std::string(spec) + "'");
  }
  rule->delay_ms = static_cast<int>(ms);
  const std::lock_guard guard(m_mutex);
  m_rules.push_back(std::move(rule));
}

void Faults::add_refuse(std::string_view spec)
{
  const auto [pattern, value] = split_spec(spec, "--refuse");
  const bool plain = value.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") ==
                     std::string_view::npos;
  if (!plain) {
    throw FaultSyntaxError("--refuse: the code must be lower-case letters, digits and _ in '" +
                           std::string(spec) + "'");
  }
  auto rule = std::make_unique<Rule>();
  rule->kind = Rule::Kind::refuse;
  rule->pattern = compile(pattern, "--refuse");
  rule->code = value;
  const std::lock_guard guard(m_mutex);
  m_rules.push_back(std::move(rule));
}

FaultVerdict Faults::judge(std::string_view path)
{
  FaultVerdict verdict;
  const re2::StringPiece subject(path.data(), path.size());
  const std::lock_guard guard(m_mutex);
  for (const auto& rule : m_rules) {
    if (!re2::RE2::PartialMatch(subject, *rule->pattern)) {
      continue;
    }
    switch (rule->kind) {
    case Rule::Kind::delay:
      verdict.delay_ms += rule->delay_ms;
      break;
    case Rule::Kind::fail: {
      const long nth = ++rule->seen;
      const bool fires = nth >= rule->from && (!rule->times || nth < rule->from + *rule->times);
      if (fires && !verdict.fail_status) {
        verdict.fail_status = rule->status;
      }
      break;
    }
    case Rule::Kind::refuse:
      if (!verdict.refuse_code) {
        verdict.refuse_code = rule->code;
      }
      break;
    }
  }
  return verdict;
}

} // namespace kolvex::devserver
