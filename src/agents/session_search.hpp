#pragma once

// The one bounded session search the adapters share.
//
// A commit hook pays for every transcript it opens, and a harness's store holds
// hundreds of them, many of them large.  So a search (1) lists files and looks at
// their size and age without opening them, (2) opens only the transcripts of the
// repository that are young enough to matter, newest first, within a budget of
// bytes, and (3) reads each transcript at most once per process: what a reading
// yields (the adapter's digest of the file: session, working directories,
// telemetry counts, commit facts) is kept, keyed by path, size and modification
// time, and serves the session search, the telemetry and the commit search alike.

#include "agents/commit_evidence.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kolvex::agents {

// How recently a session's transcript must have been written for a bare harness
// marker ("CLAUDECODE=1") to name that session: the commit runs inside a tool call
// of the live session, which wrote the call moments ago.  A transcript older than
// this belongs to a session that is over, or to another window altogether.
inline constexpr double LIVE_SESSION_SECONDS = 600.0;

// Bytes the search for the live session may read (a commit hook is waiting).
inline constexpr std::uintmax_t LIVE_SEARCH_BYTES = std::uintmax_t{256} << 20;

// Bytes the catch-up's commit search may read over one batch of commits.
inline constexpr std::uintmax_t COMMIT_SEARCH_BYTES = std::uintmax_t{1} << 30;

// A transcript as listed: where it is, and what stat(2) said, nothing read yet.
struct TranscriptFile {
  std::filesystem::path path;
  // The session this file belongs to by its place in the store ("" when unknown).
  std::string session_id;
  std::uintmax_t size = 0;
  double mtime = 0;
  std::int64_t mtime_ns = 0;
  std::uint64_t inode = 0;
  std::uint64_t device = 0;

  // True when `other` is the same file unchanged (same inode, size and time).
  [[nodiscard]] bool same_version(const TranscriptFile& other) const
  {
    return size == other.size && mtime_ns == other.mtime_ns && inode == other.inode &&
           device == other.device;
  }
};

// `path` with its stat, when it is a regular file (links followed); else nullopt.
[[nodiscard]] std::optional<TranscriptFile> transcript_file(const std::filesystem::path& path,
                                                            std::string session_id = {});

// Orders `files` newest first (ties by path, so the order is stable).
void sort_newest_first(std::vector<TranscriptFile>& files);

// The bytes a search may still read.
class SearchBudget {
public:
  explicit SearchBudget(std::uintmax_t bytes) : m_left(bytes) {}
  // Takes `bytes` from the budget; false (and nothing taken) when they do not fit.
  [[nodiscard]] bool take(std::uintmax_t bytes);
  // Whether some file was passed over for want of budget.
  [[nodiscard]] bool exhausted() const { return m_exhausted; }

private:
  std::uintmax_t m_left;
  bool m_exhausted = false;
};

// Digests a DigestCache keeps before it starts afresh: far more transcripts than
// one command reads, but a bound for a process that reads without end (a fuzzer).
inline constexpr std::size_t DIGEST_CACHE_ENTRIES = 4096;

// Per process, what reading each transcript yielded, so that no transcript is read
// twice while it stays unchanged.  `Digest` is the adapter's own summary of a file.
template <class Digest> class DigestCache {
public:
  using Reader = std::optional<Digest> (*)(const std::filesystem::path&);

  explicit DigestCache(Reader reader) : m_reader(reader) {}

  // The digest of `file`: kept from an earlier reading when size and modification
  // time still match, else read now (taking its size from `budget` when given).
  // nullptr when the file cannot be read or does not fit the budget.
  std::shared_ptr<const Digest> get(const TranscriptFile& file, SearchBudget* budget = nullptr)
  {
    const auto key = file.path.string();
    {
      std::lock_guard lock(m_mutex);
      if (const auto found = m_entries.find(key);
          found != m_entries.end() && found->second.version.same_version(file)) {
        return found->second.digest;
      }
    }
    if (budget != nullptr && !budget->take(file.size)) {
      return nullptr;
    }
    std::shared_ptr<const Digest> digest;
    if (auto read = m_reader(file.path)) {
      digest = std::make_shared<const Digest>(std::move(*read));
    }
    std::lock_guard lock(m_mutex);
    if (m_entries.size() >= DIGEST_CACHE_ENTRIES) {
      m_entries.clear();
    }
    m_entries[key] = Entry{file, digest};
    return digest;
  }

  // The digest of the file at `path` as it is now; nullptr when unreadable.
  std::shared_ptr<const Digest> get(const std::filesystem::path& path)
  {
    const auto file = transcript_file(path);
    return file ? get(*file) : nullptr;
  }

private:
  struct Entry {
    TranscriptFile version;
    std::shared_ptr<const Digest> digest;
  };
  Reader m_reader;
  std::mutex m_mutex;
  std::map<std::string, Entry> m_entries;
};

// A session of the repository whose transcript is young enough to be the live one.
struct LiveCandidate {
  std::string session_id;
  // The session's transcript holds a `git commit` call still waiting for its
  // result: the commit a hook is running inside.
  bool commit_pending = false;
};

// The live session among `candidates` (files of one session may appear several
// times): the only one; else the only one with a pending commit; else nullopt,
// because guessing between live sessions would credit the wrong one.
[[nodiscard]] std::optional<std::string>
pick_live_session(const std::vector<LiveCandidate>& candidates);

// The two searches every adapter runs over its own listing.  `files` are the
// adapter's transcripts that may belong to the repository, young enough, newest
// first; `session_of(digest, file)` names the session of a file of the repository
// and gives "" for a file of another.  Digests (with a `commits` member) come from
// `cache`, within the search's byte budget.

// The live session of the repository (see pick_live_session); `live_since` is the
// age bound the files were listed with.
template <class Digest, class SessionOf>
std::optional<std::string> find_live_session(const std::vector<TranscriptFile>& files,
                                             DigestCache<Digest>& cache,
                                             double live_since,
                                             SessionOf session_of)
{
  SearchBudget budget(LIVE_SEARCH_BYTES);
  std::vector<LiveCandidate> candidates;
  for (const auto& file : files) {
    const auto digest = cache.get(file, &budget);
    if (!digest) {
      continue;
    }
    auto session = session_of(*digest, file);
    if (!session.empty()) {
      candidates.push_back({std::move(session), commit_pending(digest->commits, live_since)});
    }
  }
  return pick_live_session(candidates);
}

// The claims of the repository's sessions on the commits `evidence` asks about.
template <class Digest, class SessionOf>
contracts::CommitClaims find_commit_claims(const std::vector<TranscriptFile>& files,
                                           DigestCache<Digest>& cache,
                                           CommitEvidence& evidence,
                                           SessionOf session_of)
{
  if (evidence.empty()) {
    return {};
  }
  SearchBudget budget(COMMIT_SEARCH_BYTES);
  for (const auto& file : files) {
    const auto digest = cache.get(file, &budget);
    if (!digest) {
      continue;
    }
    if (const auto session = session_of(*digest, file); !session.empty()) {
      evidence.add(session, digest->commits);
    }
  }
  return evidence.claims();
}

} // namespace kolvex::agents
