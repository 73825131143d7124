#include "services/relaycore/log/attestation_log.hpp"

#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/lines.hpp"
#include "core/text.hpp"
#include "paths.hpp"
#include "services/relaycore/log/counts_cache.hpp"

#include <exception>
#include <functional>
#include <optional>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>

namespace kolvex::services::relaycore::log {

namespace {

// Where a read puts what it finds: the counts always, the pending lines themselves
// only when `pending` is given.
struct Tally {
  AttestationLogCounts counts{};
  std::vector<core::Map>* pending = nullptr;
  // Instead of `pending`: each pending line handed over as it is read.
  const std::function<void(core::Map)>* on_pending = nullptr;

  [[nodiscard]] bool keeps() const { return pending != nullptr || on_pending != nullptr; }
};

// Parses an object line for keeping; nullopt when the full parser disagrees with
// the scan (it is the authority on what is JSON).
std::optional<core::Value> parse_object(std::string_view text)
{
  try {
    core::Value value = core::json::parse(text);
    if (value.is_map()) {
      return value;
    }
  } catch (const core::json::JsonError&) {
  }
  return std::nullopt;
}

// Whether the unterminated last piece `text` of the log is a whole record: valid
// UTF-8 holding one JSON object.  A piece cut short anywhere inside an object
// never parses as one.
bool is_whole_record(std::string_view text)
{
  return core::fs::is_valid_utf8(text) && parse_object(text).has_value();
}

void count_event(AttestationLogCounts& counts, LineEvent event)
{
  switch (event) {
  case LineEvent::skipped:
    ++counts.skipped;
    break;
  case LineEvent::unattested:
    ++counts.unattested;
    break;
  case LineEvent::attested:
    ++counts.attested;
    break;
  }
}

// Classifies one trimmed, non-blank line.  The scan settles almost every line; a
// line is parsed only when the scan cannot tell, or when it is pending and kept.
void read_line(Tally& tally, std::string_view line)
{
  AttestationLogCounts& counts = tally.counts;
  const LogLineScan scan = scan_log_line(line);
  if (scan.shape != LogLineScan::Shape::object) {
    ++counts.corrupt;
    return;
  }
  std::optional<core::Value> parsed;
  std::optional<LineVerdict> verdict = classify_log_line(scan);
  if (!verdict) {
    parsed = parse_object(line);
    if (!parsed) {
      ++counts.corrupt;
      return;
    }
    verdict = classify_log_line(parsed->as_map());
  }
  const bool pending = !verdict->sent && verdict->addressable && !verdict->replaced;
  if (pending && tally.keeps() && !parsed) {
    parsed = parse_object(line);
    if (!parsed) {
      ++counts.corrupt;
      return;
    }
  }
  count_event(counts, verdict->event);
  if (verdict->sent) {
    ++counts.uploaded;
  } else if (verdict->replaced) {
    ++counts.replaced;
  } else if (pending) {
    ++counts.pending;
    if (tally.pending != nullptr) {
      tally.pending->push_back(std::move(parsed->as_map()));
    } else if (tally.on_pending != nullptr) {
      (*tally.on_pending)(std::move(parsed->as_map()));
    }
  } else {
    ++counts.unaddressable;
  }
}

void read_lines(Tally& tally, std::string_view text, core::lines::Tail tail)
{
  core::lines::for_each_line(
      text,
      [&](std::string_view line) {
        const std::string_view trimmed = core::text::python_strip(line);
        if (!trimmed.empty()) {
          read_line(tally, trimmed);
        }
      },
      tail);
}

// Reads the log at `log_path` into `tally`, a run of whole lines at a time, each
// checked as UTF-8 before any of it is read: a 100,000-line log costs one block of
// memory beyond what `pending` keeps.  A file that cannot be read leaves `tally`
// empty; a last piece that no line boundary ends is left out.
void read_file(Tally& tally, const core::fs::Confined& log_path)
{
  const bool read =
      for_each_log_line(log_path, [&](std::string_view line) { read_line(tally, line); });
  if (!read) {
    tally = Tally{.pending = tally.pending, .on_pending = tally.on_pending};
    if (tally.pending != nullptr) {
      tally.pending->clear();
    }
  }
}

AttestationLog to_log(const AttestationLogCounts& counts, std::vector<core::Map> pending)
{
  return {.pending = std::move(pending),
          .uploaded = counts.uploaded,
          .skipped = counts.skipped,
          .unaddressable = counts.unaddressable,
          .corrupt = counts.corrupt,
          .attested = counts.attested,
          .unattested = counts.unattested,
          .replaced = counts.replaced};
}

} // namespace

namespace {

// Calls `on_line` with each whole non-blank line of the log open on `fd` from byte
// `from` (a line start), trimmed, and `on_last` with the last piece once it is a
// whole record.  Returns where the lines that "\n" ends stop.  Throws DecodeError
// and std::system_error.
std::uint64_t read_lines_from(int fd,
                              const core::fs::Confined& log_path,
                              std::uint64_t from,
                              const std::function<void(std::string_view)>& on_line,
                              const std::function<void(std::string_view)>& on_last)
{
  const auto each = [&](std::string_view text, const std::function<void(std::string_view)>& to) {
    core::lines::for_each_line(text, [&](std::string_view line) {
      const std::string_view trimmed = core::text::python_strip(line);
      if (!trimmed.empty()) {
        to(trimmed);
      }
    });
  };
  core::lines::LineBlockReader reader(fd, from);
  while (const auto block = reader.next()) {
    core::fs::require_utf8(*block, log_path.full(), reader.offset());
    each(*block, on_line);
  }
  std::string_view rest = reader.tail();
  const std::size_t whole = core::lines::whole_lines_size(rest);
  core::fs::require_utf8(rest.substr(0, whole), log_path.full(), reader.whole_lines_end());
  each(rest.substr(0, whole), on_last);
  // The last piece is a line (an editor may save it without its end) once it is
  // a whole record; until then it is one still being appended, neither counted
  // nor corrupt.
  if (const std::string_view last = core::text::python_strip(rest.substr(whole));
      !last.empty() && is_whole_record(last)) {
    on_last(last);
  }
  return reader.whole_lines_end();
}

void add(AttestationLogCounts& to, const AttestationLogCounts& more)
{
  to.pending += more.pending;
  to.uploaded += more.uploaded;
  to.skipped += more.skipped;
  to.unaddressable += more.unaddressable;
  to.corrupt += more.corrupt;
  to.attested += more.attested;
  to.unattested += more.unattested;
  to.replaced += more.replaced;
}

} // namespace

bool for_each_log_line(const core::fs::Confined& log_path,
                       const std::function<void(std::string_view)>& on_line)
{
  core::fs::Fd file;
  try {
    file = core::fs::open_regular(log_path, O_RDONLY);
  } catch (const std::system_error&) {
    // Missing, not permitted, a link or a special file (refused, and reported
    // there): nothing recorded that we can see.
    return false;
  }
  try {
    (void)read_lines_from(file.get(), log_path, 0, on_line, on_line);
  } catch (const core::fs::DecodeError&) {
    throw;
  } catch (const std::system_error&) {
    // A directory, an I/O error: as unreadable as a missing file.
    return false;
  }
  return true;
}

std::unordered_map<std::string, core::Map>
read_log_records(const core::fs::Confined& log_path, const std::unordered_set<std::string>& commits)
{
  std::unordered_map<std::string, core::Map> found;
  if (commits.empty()) {
    return found;
  }
  const auto keep = [&](const std::string& commit, core::Map line) {
    // The first line of a commit is its record, as the rewriter sees it.
    if (commits.contains(commit)) {
      found.try_emplace(commit, std::move(line));
    }
  };
  const bool read = for_each_log_line(log_path, [&](std::string_view line) {
    const LogLineScan scan = scan_log_line(line);
    if (scan.shape != LogLineScan::Shape::object) {
      return;
    }
    const std::optional<std::string_view> plain = plain_json_string(scan.commit);
    if (plain && !scan.escaped_key && !commits.contains(std::string(*plain))) {
      return; // almost every line: another commit's, settled without parsing
    }
    std::optional<core::Value> parsed = parse_object(line);
    if (!parsed) {
      return;
    }
    const core::Value* commit = parsed->get("commit");
    if (commit != nullptr && commit->is_string()) {
      keep(commit->as_string(), std::move(parsed->as_map()));
    }
  });
  if (!read) {
    found.clear();
  }
  return found;
}

AttestationLogCounts AttestationLog::counts() const
{
  return {.pending = static_cast<std::int64_t>(pending.size()),
          .uploaded = uploaded,
          .skipped = skipped,
          .unaddressable = unaddressable,
          .corrupt = corrupt,
          .attested = attested,
          .unattested = unattested,
          .replaced = replaced};
}

AttestationLog read_attestation_log_text(std::string_view text)
{
  std::vector<core::Map> pending;
  Tally tally{.pending = &pending};
  read_lines(tally, text, core::lines::Tail::keep);
  return to_log(tally.counts, std::move(pending));
}

AttestationLog read_attestation_log(const core::fs::Confined& log_path)
{
  std::vector<core::Map> pending;
  Tally tally{.pending = &pending};
  read_file(tally, log_path);
  return to_log(tally.counts, std::move(pending));
}

AttestationLogCounts for_each_pending_record(const core::fs::Confined& log_path,
                                             const std::function<void(core::Map)>& on_pending)
{
  // Held until the read ends: the reader takes a system error for an unreadable
  // log, and one of `on_pending`'s (a marking that failed) must reach the caller.
  std::exception_ptr failed;
  const std::function<void(core::Map)> guarded = [&](core::Map entry) {
    if (failed) {
      return;
    }
    try {
      on_pending(std::move(entry));
    } catch (...) {
      failed = std::current_exception();
    }
  };
  Tally tally{.on_pending = &guarded};
  read_file(tally, log_path);
  if (failed) {
    std::rethrow_exception(failed);
  }
  return tally.counts;
}

AttestationLogCounts count_attestation_log(const core::fs::Confined& log_path)
{
  core::fs::Fd file;
  struct stat st {};
  try {
    file = core::fs::open_regular(log_path, O_RDONLY);
  } catch (const std::system_error&) {
    return {};
  }
  if (::fstat(file.get(), &st) != 0 ||
      static_cast<std::uint64_t>(st.st_size) < COUNTS_CACHE_MIN_BYTES) {
    Tally tally;
    read_file(tally, log_path);
    return tally.counts;
  }
  // Counted before the lines are read: a marking after this makes what is saved
  // below stale, and the next read then counts again.
  const std::uint64_t generation = marks_generation(log_path);
  const std::optional<CachedCounts> cached = load_counts(log_path, file.get(), st, generation);
  Tally whole{.counts = cached ? cached->counts : AttestationLogCounts{}};
  Tally last;
  std::uint64_t covered = 0;
  try {
    covered = read_lines_from(
        file.get(),
        log_path,
        cached ? cached->covered : 0,
        [&](std::string_view line) { read_line(whole, line); },
        [&](std::string_view line) { read_line(last, line); });
  } catch (const core::fs::DecodeError&) {
    throw;
  } catch (const std::system_error&) {
    return {};
  }
  if (!cached || covered - cached->covered >= COUNTS_CACHE_MIN_BYTES) {
    save_counts(log_path, file.get(), st, {covered, generation, whole.counts});
  }
  add(whole.counts, last.counts);
  return whole.counts;
}

} // namespace kolvex::services::relaycore::log
