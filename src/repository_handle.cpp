#include "repository_handle.hpp"

#include "paths.hpp"

#include <cerrno>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace kolvex::paths {

namespace {

namespace stdfs = std::filesystem;

[[noreturn]] void fail(int err, const stdfs::path& path, const std::string& doing)
{
  if (err == ELOOP || err == ENOTDIR) {
    throw core::fs::UnsafePathError(
        path, err, err == ELOOP ? "a symbolic link" : "not a directory");
  }
  throw std::system_error(err, std::generic_category(), doing + " " + path.string());
}

bool one_component(std::string_view name)
{
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

} // namespace

DirectoryHandle::DirectoryHandle(stdfs::path path, core::fs::Fd fd)
    : m_path(std::move(path)), m_fd(std::make_shared<const core::fs::Fd>(std::move(fd)))
{
}

core::fs::Confined DirectoryHandle::at(const stdfs::path& rel) const
{
  if (!is_open()) {
    return confined(m_path / rel);
  }
  return {m_path, rel, m_fd};
}

std::optional<std::string> DirectoryHandle::read_file(std::string_view name,
                                                      std::size_t max_bytes) const
{
  if (!one_component(name)) {
    throw core::fs::UnsafePathError(m_path / std::string(name), EINVAL, "not a file name");
  }
  if (!is_open()) {
    return std::nullopt;
  }
  try {
    return core::fs::read_bytes(at(std::string(name)), max_bytes);
  } catch (const core::fs::UnsafePathError&) {
    throw;
  } catch (const std::system_error& e) {
    if (e.code() == std::errc::no_such_file_or_directory) {
      return std::nullopt;
    }
    throw;
  }
}

DirectoryHandle DirectoryHandle::open(const stdfs::path& dir)
{
  try {
    return DirectoryHandle(dir, core::fs::open_directory(confined(dir)));
  } catch (const std::system_error& e) {
    if (e.code() == std::errc::no_such_file_or_directory) {
      return {};
    }
    throw;
  }
}

DirectoryHandle DirectoryHandle::subdirectory(std::string_view name) const
{
  const stdfs::path shown = name == "." ? m_path : m_path / std::string(name);
  if (name != "." && !one_component(name)) {
    throw core::fs::UnsafePathError(shown, EINVAL, "not a directory name");
  }
  if (!is_open()) {
    return {};
  }
  const std::string entry(name);
  const int fd =
      ::openat(m_fd->get(), entry.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    return {};
  }
  if (fd < 0) {
    fail(errno, shown, "cannot open");
  }
  return DirectoryHandle(shown, core::fs::Fd(fd));
}

RepositoryHandle::RepositoryHandle(const stdfs::path& repo_root)
    : m_root(repo_root), m_platform_path(platform_dir(repo_root))
{
  const core::fs::Confined platform = confined(m_platform_path);
  // The records root is the caller's anchor; the one directory walk opens it as it
  // opens every confined root.
  m_root_dir = DirectoryHandle(platform.root,
                               core::fs::open_directory(core::fs::Confined{platform.root, {}}));
  try {
    m_platform = DirectoryHandle(m_platform_path, core::fs::open_directory(platform));
  } catch (const std::system_error& e) {
    if (e.code() != std::errc::no_such_file_or_directory) {
      throw;
    }
  }
}

core::fs::Confined RepositoryHandle::at(const stdfs::path& p) const
{
  core::fs::Confined where = confined(p);
  if (!m_root_dir.is_open() ||
      where.root.lexically_normal() != m_root_dir.path().lexically_normal()) {
    return where;
  }
  if (m_platform.is_open()) {
    const stdfs::path below =
        p.lexically_normal().lexically_relative(m_platform_path.lexically_normal());
    if (below == ".") {
      return m_platform.at({}); // `.platform` itself: the held descriptor
    }
    if (!below.empty() && *below.begin() != "..") {
      return m_platform.at(below);
    }
  }
  return m_root_dir.at(where.rel);
}

DirectoryHandle RepositoryHandle::open_directory(const stdfs::path& dir) const
{
  const stdfs::path rel =
      dir.lexically_normal().lexically_relative(m_platform_path.lexically_normal());
  const bool beneath = !rel.empty() && *rel.begin() != "..";
  if (!beneath) {
    return DirectoryHandle::open(dir);
  }
  DirectoryHandle at = m_platform.subdirectory(".");
  for (const stdfs::path& part : rel) {
    if (!at.is_open() || part == ".") {
      continue;
    }
    at = at.subdirectory(part.string());
  }
  return at;
}

} // namespace kolvex::paths
