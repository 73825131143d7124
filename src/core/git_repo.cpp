#include "core/git_repo.hpp"

#include "core/fs.hpp"
#include "core/logging.hpp"
#include "core/text.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace kolvex::core::git {

namespace {

namespace stdfs = std::filesystem;

// Every fall-back to git is told at debug level: a hook that asks git again is the
// slow one, and this says why.
const logging::Logger& logger()
{
  static const logging::Logger instance("kolvex.core.git_repo");
  return instance;
}

// Sizes past which a file is not one git wrote for a small repository's commit:
// such a repository is left to git.
constexpr std::size_t k_max_small_file = 64U << 10;
constexpr std::size_t k_max_config = 1U << 20;
constexpr std::size_t k_max_packed_refs = 8U << 20;
constexpr std::size_t k_max_object = 4U << 20;
// The end of HEAD's reflog that is read: many entries' worth, one is needed.
constexpr std::size_t k_reflog_tail = 16U << 10;

// The variables that move a repository or change what git reads in it.
constexpr const char* k_git_variables[] = {
    "GIT_DIR",
    "GIT_WORK_TREE",
    "GIT_COMMON_DIR",
    "GIT_OBJECT_DIRECTORY",
    "GIT_NAMESPACE",
    "GIT_REPLACE_REF_BASE",
    "GIT_CONFIG",
    "GIT_CONFIG_PARAMETERS",
    "GIT_CONFIG_COUNT",
    "GIT_CONFIG_GLOBAL",
    "GIT_CONFIG_SYSTEM",
    "GIT_CEILING_DIRECTORIES",
    "GIT_GRAFT_FILE",
};

std::optional<struct ::stat> lstat_of(const stdfs::path& path)
{
  struct ::stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    return std::nullopt;
  }
  return st;
}

bool present(const stdfs::path& path)
{
  return lstat_of(path).has_value();
}

// A real directory or regular file (not a link) owned by this user.
bool owned(const stdfs::path& path, bool directory)
{
  const auto st = lstat_of(path);
  return st && st->st_uid == ::geteuid() &&
         (directory ? S_ISDIR(st->st_mode) : S_ISREG(st->st_mode));
}

// The file `rel` beneath `root`, nullopt when it does not exist.  Throws for a link
// on the way, a special file, a read error or more than `max` bytes.
std::optional<std::string>
read_beneath(const stdfs::path& root, const stdfs::path& rel, std::size_t max = k_max_small_file)
{
  // Most absent files are absent on every commit (packed-refs): asked first, they
  // cost no exception.
  if (!present(root / rel)) {
    return std::nullopt;
  }
  try {
    return fs::read_bytes(fs::Confined{root, rel}, max);
  } catch (const std::system_error& e) {
    if (e.code() == std::errc::no_such_file_or_directory) {
      return std::nullopt;
    }
    throw;
  }
}

// A configuration file of the user's own (never one of the repository's): a
// missing one gives nothing.
bool plain_user_config(const stdfs::path& path, UserConfig& user)
{
  const auto st = fs::stat_path(path);
  if (!st) {
    return !present(path);
  }
  return st->regular && plain_config(fs::read_bytes(path, k_max_config), &user);
}

// Whether git reads /etc/gitconfig (GIT_CONFIG_NOSYSTEM unset or false); nullopt
// for a value git would read another way.
std::optional<bool> read_system_config()
{
  const char* value = std::getenv("GIT_CONFIG_NOSYSTEM");
  const std::string nosystem = value == nullptr ? "0" : text::lower(value);
  if (nosystem == "1" || nosystem == "true" || nosystem == "yes" || nosystem == "on") {
    return false;
  }
  if (nosystem == "0" || nosystem == "false" || nosystem == "no" || nosystem == "off") {
    return true;
  }
  return std::nullopt;
}

// The git directory a linked work tree's gitfile names, when git made it so: a
// real, absolute <main>/.git/worktrees/<name> whose "commondir" is "../.." and
// whose "gitdir" points back at `dot_git`.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the work tree, then its .git
std::optional<Repo> linked_work_tree(const stdfs::path& top, const stdfs::path& dot_git)
{
  const auto target = stdfs::path(parse_gitfile(*read_beneath(top, ".git")));
  if (!target.is_absolute() || target.lexically_normal() != target ||
      stdfs::weakly_canonical(target) != target || target.parent_path().filename() != "worktrees") {
    return std::nullopt;
  }
  const stdfs::path common = target.parent_path().parent_path();
  if (read_beneath(target, "commondir") != "../..\n" ||
      read_beneath(target, "gitdir") != dot_git.string() + "\n" || !owned(target, true) ||
      present(target / "config.worktree")) {
    return std::nullopt;
  }
  return Repo{.top = top, .git_dir = target, .common_dir = common, .user = {}, .packed_refs = {}};
}

std::optional<Repo> open_checked(const stdfs::path& dir)
{
  for (const char* name : k_git_variables) {
    if (std::getenv(name) != nullptr) {
      return std::nullopt;
    }
  }
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') {
    return std::nullopt;
  }
  // git prints the top as the real path of the directory it was run in.
  const stdfs::path top = stdfs::canonical(dir);
  const stdfs::path dot_git = top / ".git";
  const auto st = lstat_of(dot_git);
  if (!st || !owned(top, true)) {
    return std::nullopt;
  }
  std::optional<Repo> repo;
  if (S_ISDIR(st->st_mode)) {
    repo =
        Repo{.top = top, .git_dir = dot_git, .common_dir = dot_git, .user = {}, .packed_refs = {}};
    if (present(dot_git / "commondir")) {
      return std::nullopt;
    }
  } else if (S_ISREG(st->st_mode)) {
    repo = linked_work_tree(top, dot_git);
  }
  if (!repo || !owned(dot_git, S_ISDIR(st->st_mode)) || !owned(repo->common_dir, true) ||
      !owned(repo->git_dir / "HEAD", false) || !owned(repo->common_dir / "objects", true) ||
      !owned(repo->common_dir / "refs", true) || present(repo->common_dir / "refs/replace") ||
      present(repo->common_dir / "info/grafts")) {
    return std::nullopt;
  }
  // user.name and user.email are taken in git's order, the last one winning:
  // system, global (XDG, then ~/.gitconfig), then the repository's.
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  const stdfs::path xdg_config = xdg != nullptr && *xdg != '\0'
                                     ? stdfs::path(xdg) / "git/config"
                                     : stdfs::path(home) / ".config/git/config";
  const auto local = read_beneath(repo->common_dir, "config", k_max_config);
  const auto system = read_system_config();
  if (!local || !system || (*system && !plain_user_config("/etc/gitconfig", repo->user)) ||
      !plain_user_config(xdg_config, repo->user) ||
      !plain_user_config(stdfs::path(home) / ".gitconfig", repo->user) ||
      !plain_config(*local, &repo->user)) {
    return std::nullopt;
  }
  // Replace refs may be packed only: what git shows of a commit is then another's.
  repo->packed_refs = read_beneath(repo->common_dir, "packed-refs", k_max_packed_refs).value_or("");
  if (repo->packed_refs.find("refs/replace/") != std::string::npos) {
    return std::nullopt;
  }
  return repo;
}

// Whether a ref or root ref `name` exists in either git directory, loose or packed.
bool ref_exists(const Repo& repo, const std::string& name)
{
  return present(repo.git_dir / name) || present(repo.common_dir / name) ||
         packed_ref(repo.packed_refs, name);
}

// Inflates a whole zlib stream of at most `max` bytes.
std::string inflate(std::string_view compressed, std::size_t max)
{
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) {
    throw Unusual("zlib cannot start");
  }
  // A commit deflates to about half its size: four times the input seldom grows.
  std::string out(std::min(max, std::max<std::size_t>(compressed.size() * 4, 1024)), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
  stream.avail_in = static_cast<uInt>(compressed.size());
  int status = Z_OK;
  while (status == Z_OK) {
    if (stream.total_out == out.size()) {
      if (out.size() >= max) {
        break;
      }
      out.resize(std::min(max, out.size() * 2));
    }
    stream.next_out = reinterpret_cast<Bytef*>(out.data() + stream.total_out);
    stream.avail_out = static_cast<uInt>(out.size() - stream.total_out);
    status = ::inflate(&stream, Z_NO_FLUSH);
  }
  out.resize(stream.total_out);
  inflateEnd(&stream);
  if (status != Z_STREAM_END) {
    throw Unusual("an object that is not one whole zlib stream");
  }
  return out;
}

} // namespace

namespace {

struct OpenedMemo {
  bool on = false;
  // By the directory as asked: the hook asks for its working directory and then
  // for the top it found there.
  std::map<stdfs::path, std::optional<Repo>> answers;
  // Loose objects by their path: an object never changes, and the hook reads its
  // commit for HEAD, for its metadata and for aider's mark.
  std::map<stdfs::path, std::optional<std::string>> objects;
};

OpenedMemo& opened_memo()
{
  static OpenedMemo memo;
  return memo;
}

std::optional<Repo> open_uncached(const stdfs::path& dir)
{
  try {
    return open_checked(dir);
  } catch (const std::exception& e) {
    logger().debug_exception("the git directory is not read directly; git is asked", e);
    return std::nullopt;
  }
}

std::optional<std::string> read_object_file(const Repo& repo, const stdfs::path& rel)
{
  try {
    const auto compressed = read_beneath(repo.common_dir, rel, k_max_object);
    if (!compressed) {
      return std::nullopt;
    }
    return inflate(*compressed, k_max_object);
  } catch (const std::exception& e) {
    logger().debug_exception("a loose object is not read directly; git is asked", e);
    return std::nullopt;
  }
}

} // namespace

void keep_opened_repositories()
{
  opened_memo().on = true;
}

std::optional<Repo> open_plain(const stdfs::path& dir)
{
  OpenedMemo& memo = opened_memo();
  if (!memo.on) {
    return open_uncached(dir);
  }
  auto found = memo.answers.find(dir);
  if (found == memo.answers.end()) {
    found = memo.answers.emplace(dir, open_uncached(dir)).first;
  }
  return found->second;
}

std::optional<std::string> read_loose_object(const Repo& repo, const std::string& oid)
{
  if (oid.size() != 40 || !text::is_object_name(oid)) {
    return std::nullopt;
  }
  const stdfs::path rel = stdfs::path("objects") / oid.substr(0, 2) / oid.substr(2);
  OpenedMemo& memo = opened_memo();
  if (!memo.on) {
    return read_object_file(repo, rel);
  }
  const stdfs::path key = repo.common_dir / rel;
  auto found = memo.objects.find(key);
  if (found == memo.objects.end()) {
    found = memo.objects.emplace(key, read_object_file(repo, rel)).first;
  }
  return found->second;
}

std::optional<Head> read_head(const Repo& repo)
{
  try {
    const RefFile head = parse_ref_file(read_beneath(repo.git_dir, "HEAD").value());
    Head found;
    if (head.oid) {
      found = {.commit = *head.oid, .branch = "HEAD"};
    } else {
      const std::string& refname = *head.symref;
      if (!refname.starts_with("refs/heads/") || !plain_branch_name(refname.substr(11))) {
        return std::nullopt;
      }
      std::optional<std::string> commit;
      if (const auto loose = read_beneath(repo.common_dir, refname)) {
        commit = parse_ref_file(*loose).oid;
      } else {
        commit = packed_ref(repo.packed_refs, refname);
      }
      if (!commit) {
        return std::nullopt;
      }
      // rev-parse shortens the name only when no other ref could be meant by it.
      const std::string name = refname.substr(11);
      for (const std::string& other : {name,
                                       "refs/" + name,
                                       "refs/tags/" + name,
                                       "refs/remotes/" + name,
                                       "refs/remotes/" + name + "/HEAD"}) {
        if (ref_exists(repo, other)) {
          return std::nullopt;
        }
      }
      found = {.commit = *commit, .branch = name};
    }
    const auto object = read_loose_object(repo, found.commit);
    if (!object || !object->starts_with("commit ")) {
      return std::nullopt;
    }
    return found;
  } catch (const std::exception& e) {
    logger().debug_exception("HEAD is not read directly; git is asked", e);
    return std::nullopt;
  }
}

std::optional<NewestEntry> newest_head_entry(const Repo& repo)
{
  try {
    fs::Fd fd;
    try {
      fd = fs::open_regular(fs::Confined{repo.git_dir, "logs/HEAD"}, O_RDONLY);
    } catch (const std::system_error& e) {
      if (e.code() == std::errc::no_such_file_or_directory) {
        return NewestEntry{};
      }
      throw;
    }
    struct ::stat st {};
    if (::fstat(fd.get(), &st) != 0) {
      return std::nullopt;
    }
    const auto size = static_cast<std::size_t>(st.st_size);
    if (size == 0) {
      return NewestEntry{};
    }
    const std::size_t offset = size > k_reflog_tail ? size - k_reflog_tail : 0;
    std::string tail(size - offset, '\0');
    if (::pread(fd.get(), tail.data(), tail.size(), static_cast<off_t>(offset)) !=
        static_cast<ssize_t>(tail.size())) {
      return std::nullopt;
    }
    // Without the newline before it, the last line may begin before the tail.
    if (offset > 0 && (tail.size() < 2 || tail.rfind('\n', tail.size() - 2) == std::string::npos)) {
      return std::nullopt;
    }
    return NewestEntry{.present = true, .entry = newest_reflog_entry(tail)};
  } catch (const std::exception& e) {
    logger().debug_exception("the reflog is not read directly; git is asked", e);
    return std::nullopt;
  }
}

} // namespace kolvex::core::git
