// Arbitrary bytes as a log file and as a commit subject: the already-logged check,
// which reads the log's end first, later only what was appended, and only the lines
// around the sha's bytes, must answer exactly as a parse of every whole line does,
// and the task-type inference must never crash.
#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/lines.hpp"
#include "core/process.hpp"
#include "core/text.hpp"
#include "fuzz_check.hpp"
#include "paths.hpp"
#include "services/relaycore/capture/capture.hpp"
#include "services/relaycore/capture/commit_record.hpp"
#include "services/relaycore/log/commit_search.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

using kolvex::fuzz::check;

namespace capture = kolvex::services::relaycore::capture;
namespace core = kolvex::core;

const std::filesystem::path& scratch_file()
{
  static const std::filesystem::path path = [] {
    std::string name =
        (std::filesystem::temp_directory_path() / "kolvex-fuzz-capture-XXXXXX").string();
    const int fd = ::mkstemp(name.data());
    if (fd < 0) {
      std::abort();
    }
    ::close(fd);
    return std::filesystem::path(name);
  }();
  return path;
}

bool python_space(std::uint32_t cp)
{
  return (cp >= 0x09 && cp <= 0x0d) || (cp >= 0x1c && cp <= 0x20) || cp == 0x85 || cp == 0xa0 ||
         cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200a) || cp == 0x2028 || cp == 0x2029 ||
         cp == 0x202f || cp == 0x205f || cp == 0x3000;
}

std::uint32_t code_point(std::string_view s, std::size_t pos, std::size_t len)
{
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[pos + k]); };
  switch (len) {
  case 1:
    return b(0);
  case 2:
    return ((b(0) & 0x1fU) << 6) | (b(1) & 0x3fU);
  case 3:
    return ((b(0) & 0x0fU) << 12) | ((b(1) & 0x3fU) << 6) | (b(2) & 0x3fU);
  default:
    return ((b(0) & 0x07U) << 18) | ((b(1) & 0x3fU) << 12) | ((b(2) & 0x3fU) << 6) | (b(3) & 0x3fU);
  }
}

// str.strip() of valid UTF-8 `line`, the slow way: character by character.
std::string_view strip(std::string_view line)
{
  std::vector<std::pair<std::size_t, std::size_t>> chars;
  for (std::size_t pos = 0; pos < line.size();) {
    const auto step = core::text::utf8_step(line, pos);
    chars.emplace_back(pos, step.length);
    pos += step.length;
  }
  std::size_t first = 0;
  std::size_t last = chars.size();
  while (first < last && python_space(code_point(line, chars[first].first, chars[first].second))) {
    ++first;
  }
  while (last > first &&
         python_space(code_point(line, chars[last - 1].first, chars[last - 1].second))) {
    --last;
  }
  if (first == last) {
    return {};
  }
  const std::size_t begin = chars[first].first;
  return line.substr(begin, chars[last - 1].first + chars[last - 1].second - begin);
}

void write_file(std::string_view text)
{
  FILE* out = std::fopen(scratch_file().c_str(), "wb");
  check(out != nullptr, "scratch file");
  std::fwrite(text.data(), 1, text.size(), out);
  std::fclose(out);
}

// The reference: every whole line (a last piece without a line end is still being
// written) decoded, stripped and parsed.
bool reference(std::string_view bytes, const std::string& commit)
{
  bytes = bytes.substr(0, core::lines::whole_lines_size(bytes));
  const std::string text = core::process::decode_replace(bytes);
  for (const auto line : core::fs::splitlines(text)) {
    const auto stripped = strip(line);
    if (stripped.empty()) {
      continue;
    }
    try {
      const core::Value value = core::json::parse(stripped);
      const core::Value* found = value.get("commit");
      if (found != nullptr && found->is_string() && found->as_string() == commit) {
        return true;
      }
    } catch (const core::json::JsonError&) {
    }
  }
  return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  if (size == 0) {
    return 0;
  }
  static const std::string sha = "0123456789abcdef0123456789abcdef01234567";
  const std::string commits[] = {sha, "unknown", "a/b \"q\"", ""};
  const std::string& commit = commits[data[0] % 4];
  // '@' stands for the sha, so that the fuzzer reaches matching lines at once.
  std::string text;
  for (std::size_t i = 1; i < size; ++i) {
    if (data[i] == '@') {
      text += sha;
    } else {
      text += static_cast<char>(data[i]);
    }
  }
  write_file(text);
  const bool expected = reference(text, commit);
  check(capture::_commit_already_logged(scratch_file(), commit) == expected,
        "already-logged check disagrees with a parse of every line");

  // Asked again after more was appended, a search reads only what is new.
  const std::string_view first(text.data(), text.size() / 3);
  write_file(first);
  kolvex::services::relaycore::log::CommitSearch search(commit);
  check(search.run(kolvex::paths::confined(scratch_file())).value_or(false) ==
            reference(first, commit),
        "search of the first part disagrees");
  {
    FILE* out = std::fopen(scratch_file().c_str(), "ab");
    check(out != nullptr, "scratch file");
    std::fwrite(text.data() + first.size(), 1, text.size() - first.size(), out);
    std::fclose(out);
  }
  check(search.run(kolvex::paths::confined(scratch_file())).value_or(false) == expected,
        "resumed search disagrees with a parse of every line");

  const std::string_view half(text.data(), text.size() / 2);
  const auto inferred = capture::infer_task_type(half, std::string_view(text).substr(half.size()));
  if (inferred) {
    bool known = false;
    for (const auto& [prefix, task_type] : capture::TASK_TYPE_PREFIXES) {
      known = known || task_type == *inferred;
    }
    check(known, "inferred task type outside the table");
  }
  return 0;
}
