// Arbitrary bytes as the note beside an archive and as the archive itself (both
// files a repository can ship): completing the record must never crash, must throw
// nothing but file errors, and must leave the log naming the commit whenever the
// archive exists.
#include "core/fs.hpp"
#include "fuzz_check.hpp"
#include "paths.hpp"
#include "services/relaycore/log/commit_search.hpp"
#include "services/relaycore/log/log_writer.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

using kolvex::fuzz::check;

namespace log = kolvex::services::relaycore::log;
namespace stdfs = std::filesystem;

const stdfs::path& scratch_dir()
{
  static const stdfs::path dir = [] {
    std::string name = (stdfs::temp_directory_path() / "kolvex-fuzz-note-XXXXXX").string();
    if (::mkdtemp(name.data()) == nullptr) {
      std::abort();
    }
    return stdfs::path(name);
  }();
  return dir;
}

void write(const stdfs::path& path, std::string_view bytes)
{
  stdfs::create_directories(path.parent_path());
  FILE* out = std::fopen(path.c_str(), "wb");
  check(out != nullptr, "scratch file");
  std::fwrite(bytes.data(), 1, bytes.size(), out);
  std::fclose(out);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  if (size == 0) {
    return 0;
  }
  static const std::string commit = "0123456789abcdef0123456789abcdef01234567";
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::size_t cut = bytes.size() * (data[0] % 8) / 8;
  const stdfs::path root = scratch_dir() / ".kolvex";
  std::error_code ec;
  stdfs::remove_all(root, ec);
  const stdfs::path archives = root / "attestations";
  const stdfs::path log_path = root / "log.jsonl";
  const bool with_archive = (data[0] & 8) == 0;
  write(kolvex::paths::unlogged_note(archives, commit), bytes.substr(0, cut));
  if (with_archive) {
    write(archives / (commit + ".yaml"), bytes.substr(cut));
  }
  log::CommitSearch search(commit);
  bool named = false;
  try {
    named = log::_complete_record(kolvex::paths::confined(log_path),
                                  kolvex::paths::confined(archives),
                                  commit,
                                  "main",
                                  search);
  } catch (const std::system_error&) {
    return 0; // a file error, as a full disk would give
  }
  check(named == with_archive, "the log names the commit exactly when its archive exists");
  check(!stdfs::exists(kolvex::paths::unlogged_note(archives, commit)), "the note is gone");
  return 0;
}
