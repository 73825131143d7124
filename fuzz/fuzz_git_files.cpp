// Arbitrary bytes as the git files the commit hook reads itself: HEAD or a loose
// ref, a gitfile, packed-refs, the end of a reflog, a configuration, and a commit
// object (raw, and zlib-compressed as a loose object file read through the safe
// file helpers).  Each parser must only ever throw Unusual, and what it returns must
// be of the form its callers rely on.
#include "core/git_files.hpp"
#include "core/git_repo.hpp"
#include "core/text.hpp"
#include "fuzz_check.hpp"

#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace {

using kolvex::fuzz::check;
namespace git = kolvex::core::git;
namespace stdfs = std::filesystem;

const std::string k_oid = "0123456789abcdef0123456789abcdef01234567";

bool object_name(std::string_view text)
{
  return text.size() == 40 && kolvex::core::text::is_object_name(text);
}

// A scratch repository whose one loose object is rewritten for each input.
const git::Repo& scratch_repo()
{
  static const git::Repo repo = [] {
    std::string name = (stdfs::temp_directory_path() / "kolvex-fuzz-git-XXXXXX").string();
    if (::mkdtemp(name.data()) == nullptr) {
      std::abort();
    }
    const stdfs::path top(name);
    stdfs::create_directories(top / ".git/objects" / k_oid.substr(0, 2));
    return git::Repo{.top = top,
                     .git_dir = top / ".git",
                     .common_dir = top / ".git",
                     .user = {},
                     .packed_refs = {}};
  }();
  return repo;
}

void commit_invariants(const git::Commit& commit)
{
  check(commit.subject.find('\n') == std::string::npos, "a subject spans lines");
  check(commit.author.email.find('>') == std::string::npos, "an email holds its closing bracket");
  try {
    const std::string date = git::iso8601_strict(commit.author.time, commit.author.tz);
    check(date.size() >= 25, "a date shorter than its fields");
  } catch (const git::Unusual&) {
  }
}

void loose_object(std::string_view body)
{
  std::string compressed(compressBound(body.size()), '\0');
  uLongf length = compressed.size();
  if (compress(reinterpret_cast<Bytef*>(compressed.data()),
               &length,
               reinterpret_cast<const Bytef*>(body.data()),
               body.size()) != Z_OK) {
    std::abort();
  }
  compressed.resize(length);
  const git::Repo& repo = scratch_repo();
  // Half the inputs as they are, as a corrupt object file would be.
  const bool raw = !body.empty() && body.front() == 'x';
  std::ofstream(repo.common_dir / "objects" / k_oid.substr(0, 2) / k_oid.substr(2),
                std::ios::binary | std::ios::trunc)
      << (raw ? body : compressed);
  const auto object = git::read_loose_object(repo, k_oid);
  check(raw || (object && *object == body), "a loose object inflates to other bytes");
  if (object) {
    try {
      commit_invariants(git::parse_commit_object(*object));
    } catch (const git::Unusual&) {
    }
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  if (size == 0) {
    return 0;
  }
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  try {
    switch (data[0] % 7) {
    case 0: {
      const git::RefFile ref = git::parse_ref_file(bytes);
      check(ref.symref.has_value() != ref.oid.has_value(), "a ref file read as both or neither");
      check(!ref.oid || object_name(*ref.oid), "a ref names no object");
      break;
    }
    case 1:
      check(!git::parse_gitfile(bytes).empty(), "an empty gitfile target");
      break;
    case 2: {
      const auto found = git::packed_ref(bytes, "refs/heads/main");
      check(!found || object_name(*found), "a packed ref names no object");
      break;
    }
    case 3: {
      const git::ReflogEntry entry = git::newest_reflog_entry(bytes);
      check(object_name(entry.old_oid) && object_name(entry.new_oid), "a reflog entry's names");
      check(entry.message.find('\n') == std::string::npos, "a reflog message spans lines");
      break;
    }
    case 4: {
      git::UserConfig user;
      (void)git::plain_config(bytes, &user);
      check(!user.name || user.name->find('\n') == std::string::npos, "a name spans lines");
      (void)git::plain_branch_name(bytes);
      break;
    }
    case 5:
      commit_invariants(git::parse_commit_object(bytes));
      break;
    default:
      loose_object(bytes);
      break;
    }
  } catch (const git::Unusual&) {
  }
  return 0;
}
