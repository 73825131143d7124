#include "faults.hpp"

#include <re2/re2.h>

#include <charconv>

namespace kolvex::devserver {

struct Faults::Rule {
  enum Kind { fail, delay, refuse };
  int kind = fail;
  std::unique_ptr<re2::RE2> pattern;
  int status = 0;
  std::optional<long> times;
  long from = 1;
  long seen = 0;
  int delay_ms = 0;
  std::string code;
};

namespace {

[[noreturn]] void bad(std::string_view option, std::string_view expected, std::string_view spec)
{
  throw FaultSyntaxError(std::string(option) + ": expected " + std::string(expected) + ", got '" +
                         std::string(spec) + "'");
}

// The decimal number at the front of `text`, which is advanced past it; nullopt
// when there is none.
std::optional<long> take_number(std::string_view& text)
{
  long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end == text.data() || value < 0) {
    return std::nullopt;
  }
  text.remove_prefix(static_cast<std::size_t>(end - text.data()));
  return value;
}

} // namespace

Faults::Faults() = default;
Faults::~Faults() = default;

std::unique_ptr<Faults::Rule>
Faults::parse(std::string_view spec, int kind, std::string_view option, std::string_view& value)
{
  const std::size_t eq = spec.rfind('=');
  if (eq == std::string_view::npos || eq == 0 || eq + 1 == spec.size()) {
    bad(option, "REGEX=VALUE", spec);
  }
  const std::string_view pattern = spec.substr(0, eq);
  auto rule = std::make_unique<Rule>();
  rule->kind = kind;
  rule->pattern =
      std::make_unique<re2::RE2>(re2::StringPiece(pattern.data(), pattern.size()), re2::RE2::Quiet);
  if (!rule->pattern->ok()) {
    throw FaultSyntaxError(std::string(option) + ": bad pattern '" + std::string(pattern) +
                           "': " + rule->pattern->error());
  }
  value = spec.substr(eq + 1);
  return rule;
}

void Faults::add(std::unique_ptr<Rule> rule)
{
  const std::lock_guard guard(m_mutex);
  m_rules.push_back(std::move(rule));
}

void Faults::add_fail(std::string_view spec)
{
  constexpr std::string_view k_form = "REGEX=STATUS[xN][@K] with STATUS 100-599";
  std::string_view rest;
  auto rule = parse(spec, Rule::fail, "--fail", rest);
  const auto status = take_number(rest);
  if (!status || *status < 100 || *status > 599) {
    bad("--fail", k_form, spec);
  }
  rule->status = static_cast<int>(*status);
  if (rest.starts_with('x')) {
    rest.remove_prefix(1);
    rule->times = take_number(rest);
    if (!rule->times) {
      bad("--fail", k_form, spec);
    }
  }
  if (rest.starts_with('@')) {
    rest.remove_prefix(1);
    const auto from = take_number(rest);
    if (!from) {
      bad("--fail", k_form, spec);
    }
    rule->from = std::max(1L, *from);
  }
  if (!rest.empty()) {
    bad("--fail", k_form, spec);
  }
  add(std::move(rule));
}

void Faults::add_delay(std::string_view spec)
{
  std::string_view rest;
  auto rule = parse(spec, Rule::delay, "--delay", rest);
  const auto ms = take_number(rest);
  if (!ms || !rest.empty() || *ms > 600'000) {
    bad("--delay", "REGEX=MS with MS at most 600000", spec);
  }
  rule->delay_ms = static_cast<int>(*ms);
  add(std::move(rule));
}

void Faults::add_refuse(std::string_view spec)
{
  std::string_view code;
  auto rule = parse(spec, Rule::refuse, "--refuse", code);
  if (code.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") != std::string_view::npos) {
    bad("--refuse", "REGEX=CODE with CODE of lower-case letters, digits and _", spec);
  }
  rule->code = code;
  add(std::move(rule));
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
    if (rule->kind == Rule::delay) {
      verdict.delay_ms += rule->delay_ms;
    } else if (rule->kind == Rule::fail) {
      const long nth = ++rule->seen;
      const bool fires = nth >= rule->from && (!rule->times || nth < rule->from + *rule->times);
      if (fires && !verdict.fail_status) {
        verdict.fail_status = rule->status;
      }
    } else if (!verdict.refuse_code) {
      verdict.refuse_code = rule->code;
    }
  }
  return verdict;
}

} // namespace kolvex::devserver
