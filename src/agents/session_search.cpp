#include "agents/session_search.hpp"

#include "core/fs.hpp"

#include <algorithm>

namespace kolvex::agents {

std::optional<TranscriptFile> transcript_file(const std::filesystem::path& path,
                                              std::string session_id)
{
  const auto info = core::fs::stat_path(path);
  if (!info || !info->regular) {
    return std::nullopt;
  }
  return TranscriptFile{path,
                        std::move(session_id),
                        info->size,
                        info->mtime,
                        info->mtime_ns,
                        info->inode,
                        info->device};
}

void sort_newest_first(std::vector<TranscriptFile>& files)
{
  std::sort(files.begin(), files.end(), [](const TranscriptFile& a, const TranscriptFile& b) {
    if (a.mtime_ns != b.mtime_ns) {
      return a.mtime_ns > b.mtime_ns;
    }
    return a.path < b.path;
  });
}

bool SearchBudget::take(std::uintmax_t bytes)
{
  if (bytes > m_left) {
    m_exhausted = true;
    return false;
  }
  m_left -= bytes;
  return true;
}

std::optional<std::string> pick_live_session(const std::vector<LiveCandidate>& candidates)
{
  std::vector<std::string> sessions;
  std::vector<std::string> pending;
  for (const auto& candidate : candidates) {
    if (std::find(sessions.begin(), sessions.end(), candidate.session_id) == sessions.end()) {
      sessions.push_back(candidate.session_id);
    }
    if (candidate.commit_pending &&
        std::find(pending.begin(), pending.end(), candidate.session_id) == pending.end()) {
      pending.push_back(candidate.session_id);
    }
  }
  if (sessions.size() == 1) {
    return sessions.front();
  }
  if (pending.size() == 1) {
    return pending.front();
  }
  return std::nullopt;
}

} // namespace kolvex::agents
