#include "hooks/user_files.hpp"

#include "core/fs.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <system_error>

namespace kolvex::hooks::user_files {

namespace stdfs = std::filesystem;

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

mode_t mode_of(const stdfs::path& path)
{
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    throw std::system_error(errno, std::generic_category(), path.string());
  }
  return st.st_mode & 07777;
}

void write_file(const stdfs::path& path, const std::string& content, mode_t mode)
{
  core::fs::atomic_replace(path, content);
  if (::chmod(path.c_str(), mode) != 0) {
    throw std::system_error(errno, std::generic_category(), "chmod " + path.string());
  }
}

} // namespace kolvex::hooks::user_files
