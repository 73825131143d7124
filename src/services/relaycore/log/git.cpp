#include "services/relaycore/log/git.hpp"

#include "core/git_repo.hpp"
#include "core/process.hpp"
#include "core/text.hpp"

#include <algorithm>
#include <chrono>
#include <exception>

namespace kolvex::services::relaycore::log {

core::process::Result _git_result(std::vector<std::string> args,
                                  const std::filesystem::path& repo_root,
                                  std::optional<std::string> input)
{
  args.insert(args.begin(), "git");
  core::process::Options options;
  options.cwd = repo_root;
  options.input = std::move(input);
  options.timeout = std::chrono::seconds(GIT_TIMEOUT_SECONDS);
  options.session = core::process::Session::new_group;
  return core::process::run(args, options);
}

std::string _git(const std::vector<std::string>& args,
                 const std::optional<std::filesystem::path>& cwd)
{
  std::vector<std::string> argv;
  argv.reserve(args.size() + 1);
  argv.emplace_back("git");
  argv.insert(argv.end(), args.begin(), args.end());

  core::process::Options options;
  options.cwd = cwd;
  options.timeout = std::chrono::seconds(GIT_TIMEOUT_SECONDS);
  // git may spawn helpers (hooks, pagers, credential helpers); killing the whole
  // group on time-out leaves none of them holding our pipes open.
  options.session = core::process::Session::new_group;
  try {
    const auto result = core::process::run(argv, options);
    if (result.timed_out || result.exit_code != 0) {
      return "";
    }
    return std::string(core::text::trim(core::process::decode_replace(result.out)));
  } catch (const std::exception&) {
    // git missing or not executable, `cwd` missing: no answer rather than an error.
    return "";
  }
}

std::string _git_rev_parse(const std::vector<std::string>& args,
                           const std::optional<std::filesystem::path>& cwd)
{
  std::vector<std::string> full;
  full.reserve(args.size() + 1);
  full.emplace_back("rev-parse");
  full.insert(full.end(), args.begin(), args.end());
  auto answer = _git(full, cwd);
  return answer.empty() ? std::string("unknown") : answer;
}

namespace {

// `show -s --format=%aI%n%an%n%ae%n%s` of `commit`, decoded and trimmed as `_git`
// gives it, from its loose object; nullopt when git must be asked.
std::optional<std::string> direct_metadata(const core::git::Repo& repo, const std::string& commit)
{
  const auto object = core::git::read_loose_object(repo, commit);
  if (!object) {
    return std::nullopt;
  }
  try {
    const core::git::Commit parsed = core::git::parse_commit_object(*object);
    const std::string text = core::git::iso8601_strict(parsed.author.time, parsed.author.tz) +
                             "\n" + parsed.author.name + "\n" + parsed.author.email + "\n" +
                             parsed.subject;
    return std::string(core::text::trim(core::process::decode_replace(text)));
  } catch (const core::git::Unusual&) {
    return std::nullopt;
  }
}

// _head_commit_facts from the files git just wrote: HEAD's reflog and the loose
// commit.  nullopt when anything there is not as git plainly writes it, or the
// reflog's newest entry is another commit's: git is asked then.
std::optional<CommitFacts> direct_facts(const std::filesystem::path& repo_root,
                                        const std::string& commit)
{
  const auto repo = core::git::open_plain(repo_root);
  if (!repo) {
    return std::nullopt;
  }
  const auto newest = core::git::newest_head_entry(*repo);
  if (!newest || (newest->present && newest->entry.new_oid != commit)) {
    return std::nullopt;
  }
  auto metadata = direct_metadata(*repo, commit);
  if (!metadata) {
    return std::nullopt;
  }
  CommitFacts facts{.metadata = std::move(*metadata), .reflog_subject = std::nullopt};
  if (newest->present) {
    facts.reflog_subject = core::process::decode_replace(newest->entry.message);
  }
  return facts;
}

} // namespace

std::optional<HeadRef> _head_ref(const std::filesystem::path& repo_root)
{
  if (const auto repo = core::git::open_plain(repo_root)) {
    if (auto head = core::git::read_head(*repo)) {
      return HeadRef{.commit = std::move(head->commit),
                     .branch = core::process::decode_replace(head->branch)};
    }
  }
  // rev-parse answers its arguments in order, each under the options before it.
  const std::string answer =
      _git({"rev-parse", "HEAD^{commit}", "--abbrev-ref", "HEAD"}, repo_root);
  const auto newline = answer.find('\n');
  if (newline == std::string::npos) {
    return std::nullopt;
  }
  HeadRef head{.commit = answer.substr(0, newline), .branch = answer.substr(newline + 1)};
  if (!_is_valid_commit_hash(head.commit) || head.branch.empty() ||
      head.branch.find('\n') != std::string::npos) {
    return std::nullopt;
  }
  return head;
}

std::string _commit_metadata(const std::filesystem::path& repo_root, const std::string& commit)
{
  return _git({"show", "-s", "--format=%aI%n%an%n%ae%n%s", commit}, repo_root);
}

CommitFacts _head_commit_facts(const std::filesystem::path& repo_root, const std::string& commit)
{
  if (auto facts = direct_facts(repo_root, commit)) {
    return std::move(*facts);
  }
  // NUL between the fields: none of them can hold one.
  try {
    const auto result = _git_result(
        {"log", "-g", "-1", "-z", "--format=%H%x00%gs%x00%aI%x00%an%x00%ae%x00%s", "HEAD"},
        repo_root);
    if (!result.timed_out && result.exit_code == 0) {
      const std::string out = core::process::decode_replace(result.out);
      std::vector<std::string_view> fields;
      std::size_t start = 0;
      for (std::size_t end = out.find('\0'); end != std::string::npos && fields.size() < 6;
           end = out.find('\0', start)) {
        fields.push_back(std::string_view(out).substr(start, end - start));
        start = end + 1;
      }
      if (fields.size() == 6 && fields[0] == commit) {
        // Joined as `show` separates them, then trimmed as `_git` trims its answer.
        std::string text;
        for (std::size_t i = 2; i < 6; ++i) {
          text += fields[i];
          text += i < 5 ? "\n" : "";
        }
        return {.metadata = std::string(core::text::trim(text)),
                .reflog_subject = std::string(fields[1])};
      }
    }
  } catch (const std::exception&) {
    // git cannot start: `show` below says so the same way.
  }
  return {.metadata = _commit_metadata(repo_root, commit), .reflog_subject = std::nullopt};
}

bool _is_valid_commit_hash(std::string_view value) noexcept
{
  // A hand check of GIT_HASH_RE: it runs on every log line read, and the pattern
  // is simple enough that a regex engine would only add cost.
  return core::text::is_object_name(value);
}

} // namespace kolvex::services::relaycore::log
