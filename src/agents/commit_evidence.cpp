#include "agents/commit_evidence.hpp"

#include "core/text.hpp"

#include <re2/re2.h>

#include <algorithm>
#include <array>
#include <cmath>

namespace kolvex::agents {

namespace {

const RE2& git_commit_re()
{
  static const RE2 re(R"(\bgit\b.*\bcommit\b)");
  return re;
}

// git's summary line after a commit: "[main abc1234] subject",
// "[main (root-commit) abc1234] ...", "[detached HEAD abc1234] ...".  The hex run
// must be whole: a blank before it, the bracket right after.
const RE2& commit_summary_re()
{
  static const RE2 re(R"(\[[^\[\]\n]* ([0-9a-f]{7,64})\])");
  return re;
}

// 1 for lower-case hex digits, 2 for upper-case ones, 0 otherwise.
constexpr std::array<unsigned char, 256> make_hex_table()
{
  std::array<unsigned char, 256> table{};
  for (int c = '0'; c <= '9'; ++c) {
    table[static_cast<std::size_t>(c)] = 1;
  }
  for (int c = 'a'; c <= 'f'; ++c) {
    table[static_cast<std::size_t>(c)] = 1;
  }
  for (int c = 'A'; c <= 'F'; ++c) {
    table[static_cast<std::size_t>(c)] = 2;
  }
  return table;
}
constexpr auto k_hex = make_hex_table();

void add_once(std::vector<std::string>& sessions, const std::string& session_id)
{
  if (std::find(sessions.begin(), sessions.end(), session_id) == sessions.end()) {
    sessions.push_back(session_id);
  }
}

void add_full_shas(std::string_view bytes, std::vector<std::string>& names)
{
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    if (k_hex[p[i]] == 0) {
      ++i;
      continue;
    }
    // Only a whole run of full-sha length counts, so a longer hex string that
    // happens to contain a sha names nothing.
    const std::size_t start = i;
    while (i < n && k_hex[p[i]] != 0) {
      ++i;
    }
    const std::size_t length = i - start;
    if (core::text::is_object_name(bytes.substr(start, length))) {
      names.emplace_back(bytes.substr(start, length));
    }
  }
}

} // namespace

bool runs_git_commit(std::string_view command)
{
  return RE2::PartialMatch(re2::StringPiece(command.data(), command.size()), git_commit_re());
}

std::vector<std::string> commit_names_in(std::string_view output, bool full_shas)
{
  std::vector<std::string> names;
  if (output.find('[') != std::string_view::npos) {
    re2::StringPiece input(output.data(), output.size());
    std::string short_sha;
    while (RE2::FindAndConsume(&input, commit_summary_re(), &short_sha)) {
      names.push_back(short_sha);
    }
  }
  if (full_shas) {
    add_full_shas(output, names);
  }
  return names;
}

std::size_t CommitFactsBuilder::call(std::string_view id,
                                     std::string_view command,
                                     std::optional<double> when,
                                     std::string_view session_id)
{
  const std::size_t index = m_calls.size();
  ShellCallFacts facts;
  facts.when = when;
  facts.session_id = std::string(session_id);
  facts.runs_commit = runs_git_commit(command);
  m_calls.push_back(std::move(facts));
  if (!id.empty()) {
    m_by_id[std::string(id)] = index;
  }
  return index;
}

void CommitFactsBuilder::output(std::string_view id, std::string_view text)
{
  const auto found = m_by_id.find(std::string(id));
  if (found != m_by_id.end()) {
    output_at(found->second, text);
  }
}

void CommitFactsBuilder::output_at(std::size_t index, std::string_view text)
{
  auto& call = m_calls.at(index);
  call.answered = true;
  auto names = commit_names_in(text, call.runs_commit);
  call.names.insert(call.names.end(),
                    std::make_move_iterator(names.begin()),
                    std::make_move_iterator(names.end()));
}

void CommitFactsBuilder::answered_at(std::size_t index)
{
  m_calls.at(index).answered = true;
}

CommitFacts CommitFactsBuilder::take()
{
  CommitFacts facts;
  for (auto& call : m_calls) {
    if (call.runs_commit || !call.names.empty()) {
      facts.calls.push_back(std::move(call));
    }
  }
  m_calls.clear();
  m_by_id.clear();
  return facts;
}

CommitEvidence::CommitEvidence(const std::vector<std::string>& shas,
                               const contracts::CommitTimes& commit_times)
{
  for (const auto& sha : shas) {
    if (std::find(m_shas.begin(), m_shas.end(), sha) == m_shas.end()) {
      m_shas.push_back(sha);
    }
  }
  for (const auto& sha : m_shas) {
    const auto found = commit_times.find(sha);
    m_times.push_back(found != commit_times.end() && std::isfinite(found->second)
                          ? std::optional<double>(found->second)
                          : std::nullopt);
  }
  for (std::size_t i = 0; i < m_shas.size(); ++i) {
    m_index.emplace(m_shas[i], i);
  }
  m_proven_by.resize(m_shas.size());
  m_timed_by.resize(m_shas.size());
}

std::optional<std::size_t> CommitEvidence::named_index(std::string_view name) const
{
  if (core::text::is_object_name(name)) {
    if (const auto found = m_index.find(name); found != m_index.end()) {
      return found->second;
    }
  }
  if (name.size() < MIN_SHORT_SHA) {
    return std::nullopt;
  }
  // An abbreviation that fits two of the commits proves neither.
  std::optional<std::size_t> match;
  for (std::size_t i = 0; i < m_shas.size(); ++i) {
    if (m_shas[i].size() > name.size() && m_shas[i].compare(0, name.size(), name) == 0) {
      if (match) {
        return std::nullopt;
      }
      match = i;
    }
  }
  return match;
}

void CommitEvidence::add(const std::string& session_id, const CommitFacts& facts)
{
  if (empty()) {
    return;
  }
  for (const auto& call : facts.calls) {
    const std::string& session = call.session_id.empty() ? session_id : call.session_id;
    for (const auto& name : call.names) {
      if (const auto index = named_index(name)) {
        add_once(m_proven_by[*index], session);
      }
    }
    if (!call.runs_commit || call.answered || !call.when) {
      continue;
    }
    // Commit times are whole seconds while call times carry fractions: a call in
    // the commit's own second is before it.
    const double call_second = std::floor(*call.when);
    std::optional<double> earliest;
    for (const auto& time : m_times) {
      if (time && call_second <= *time && *call.when >= *time - MADE_WINDOW_SECONDS &&
          (!earliest || *time < *earliest)) {
        earliest = time;
      }
    }
    // Several commits may share that second; the call made the first of them, the
    // one listed last in git's newest-first order.
    for (std::size_t i = m_shas.size(); earliest && i-- > 0;) {
      if (m_times[i] == earliest) {
        add_once(m_timed_by[i], session);
        break;
      }
    }
  }
}

contracts::CommitClaims CommitEvidence::claims() const
{
  contracts::CommitClaims claims;
  for (std::size_t i = 0; i < m_shas.size(); ++i) {
    const bool proven = !m_proven_by[i].empty();
    const auto& sessions = proven ? m_proven_by[i] : m_timed_by[i];
    if (sessions.empty()) {
      continue;
    }
    auto& of_sha = claims[m_shas[i]];
    for (const auto& session : sessions) {
      of_sha.push_back(
          {session, proven ? contracts::ClaimKind::proof : contracts::ClaimKind::timing});
    }
  }
  return claims;
}

bool commit_pending(const CommitFacts& facts, double since)
{
  return std::any_of(facts.calls.begin(), facts.calls.end(), [&](const ShellCallFacts& call) {
    return call.runs_commit && !call.answered && call.when && *call.when >= since;
  });
}

} // namespace kolvex::agents
