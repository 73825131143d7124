#include "hooks/user_files.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <system_error>

namespace kolvex::hooks::user_files {

namespace stdfs = std::filesystem;

namespace {

// `path` beneath `root`, or nullopt when it is not.
std::optional<stdfs::path> beneath(const stdfs::path& root, const stdfs::path& path)
{
  const stdfs::path rel = path.lexically_normal().lexically_relative(root.lexically_normal());
  if (rel.empty() || rel == "." || *rel.begin() == "..") {
    return std::nullopt;
  }
  return rel;
}

} // namespace

stdfs::path write_target(const stdfs::path& path)
{
  stdfs::path target = path;
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code ec;
    if (!stdfs::is_symlink(target, ec)) {
      return target;
    }
    const stdfs::path link = stdfs::read_symlink(target);
    target = link.is_absolute() ? link : target.parent_path() / link;
  }
  throw std::system_error(ELOOP, std::generic_category(), path.string());
}

core::fs::Confined locate(const stdfs::path& repo_root, const stdfs::path& path)
{
  std::error_code ec;
  stdfs::path root = repo_root;
  std::optional<stdfs::path> rel = beneath(root, path);
  if (!rel) { // git may name it from the root's real path
    root = stdfs::weakly_canonical(repo_root, ec);
    rel = ec ? std::nullopt : beneath(root, path);
  }
  if (!rel) {
    const stdfs::path target = write_target(path);
    return {target.parent_path(), target.filename()};
  }
  // The first link on the way, if any.
  stdfs::path walked = root;
  std::optional<stdfs::path> link;
  for (const auto& part : *rel) {
    walked /= part;
    std::error_code ec;
    if (stdfs::is_symlink(walked, ec)) {
      link = walked;
      break;
    }
  }
  if (!link) {
    return {root, *rel};
  }
  const stdfs::path real_root = stdfs::weakly_canonical(root, ec);
  const stdfs::path real = ec ? stdfs::path() : stdfs::weakly_canonical(path, ec);
  const auto inside = ec ? std::nullopt : beneath(real_root, real);
  if (!inside) {
    throw core::fs::UnsafePathError(*link, ELOOP, "a symbolic link out of the repository");
  }
  return {real_root, *inside};
}

std::optional<mode_t> mode_of(const core::fs::Confined& at)
{
  const auto st = core::fs::stat_regular(at);
  if (!st) {
    return std::nullopt;
  }
  return st->st_mode & 07777;
}

void write_file(const core::fs::Confined& at, std::string_view content, mode_t mode)
{
  core::fs::create_directories(at.parent());
  core::fs::atomic_replace(at, content, mode);
}

} // namespace kolvex::hooks::user_files
