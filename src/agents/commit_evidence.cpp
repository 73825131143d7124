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
// "[main (root-commit) abc1234] ...", "[detached HEAD abc1234] ...".
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

} // namespace

bool runs_git_commit(std::string_view command)
{
  return RE2::PartialMatch(re2::StringPiece(command.data(), command.size()), git_commit_re());
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
  m_made_by.resize(m_shas.size());
  m_mentioned_by.resize(m_shas.size());
}

std::optional<std::size_t> CommitEvidence::index_of(std::string_view sha) const
{
  const auto found = m_index.find(sha);
  if (found == m_index.end()) {
    return std::nullopt;
  }
  return found->second;
}

void CommitEvidence::Findings::text(std::string_view bytes)
{
  if (m_owner->empty()) {
    return;
  }
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    if (k_hex[p[i]] == 0) {
      ++i;
      continue;
    }
    // A maximal run of hex digits; only a whole run of full-sha length counts, so
    // a longer hex string that happens to contain a sha is no mention.
    const std::size_t start = i;
    while (i < n && k_hex[p[i]] != 0) {
      ++i;
    }
    const std::size_t length = i - start;
    if (core::text::is_object_name(bytes.substr(start, length))) {
      if (auto index = m_owner->index_of(bytes.substr(start, length))) {
        m_mentioned.insert(*index);
      }
    }
  }
}

void CommitEvidence::Findings::shell_command(std::string_view command, std::optional<double> when)
{
  if (m_owner->empty() || !when || !runs_git_commit(command)) {
    return;
  }
  // Commit times are whole seconds while call times carry fractions: a call in the
  // commit's own second is before it.
  const double call_second = std::floor(*when);
  for (std::size_t i = 0; i < m_owner->m_shas.size(); ++i) {
    const auto& commit_time = m_owner->m_times[i];
    if (commit_time && call_second <= *commit_time && *when >= *commit_time - MADE_WINDOW_SECONDS) {
      m_made.insert(i);
    }
  }
}

void CommitEvidence::Findings::shell_output(std::string_view output)
{
  if (m_owner->empty()) {
    return;
  }
  re2::StringPiece input(output.data(), output.size());
  std::string short_sha;
  while (RE2::FindAndConsume(&input, commit_summary_re(), &short_sha)) {
    for (std::size_t i = 0; i < m_owner->m_shas.size(); ++i) {
      if (m_owner->m_shas[i].compare(0, short_sha.size(), short_sha) == 0) {
        m_made.insert(i);
      }
    }
  }
}

void CommitEvidence::add(const std::string& session_id, const Findings& findings)
{
  for (auto index : findings.m_made) {
    add_once(m_made_by[index], session_id);
  }
  for (auto index : findings.m_mentioned) {
    add_once(m_mentioned_by[index], session_id);
  }
}

contracts::SessionMatches CommitEvidence::result() const
{
  contracts::SessionMatches matches;
  for (std::size_t i = 0; i < m_shas.size(); ++i) {
    const auto& sessions = m_made_by[i].empty() ? m_mentioned_by[i] : m_made_by[i];
    if (!sessions.empty()) {
      matches[m_shas[i]] = sessions;
    }
  }
  return matches;
}

} // namespace kolvex::agents
