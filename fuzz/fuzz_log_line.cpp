// Arbitrary bytes as a log file: read_attestation_log must never crash, must throw
// only DecodeError (for bytes that are not UTF-8), must keep its counters
// consistent, must count what the counting read counts, must read a file as the
// text of its whole lines, and its one-pass line scan must agree with the full JSON
// parser.
#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/lines.hpp"
#include "fuzz_check.hpp"
#include "services/relaycore/log/attestation_log.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

using kolvex::fuzz::check;

namespace attlog = kolvex::services::relaycore::log;
namespace core = kolvex::core;

const std::filesystem::path& scratch_file()
{
  static const std::filesystem::path path = [] {
    std::string name = (std::filesystem::temp_directory_path() / "kolvex-fuzz-log-XXXXXX").string();
    const int fd = ::mkstemp(name.data());
    if (fd < 0) {
      std::abort();
    }
    ::close(fd);
    return std::filesystem::path(name);
  }();
  return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  {
    FILE* out = std::fopen(scratch_file().c_str(), "wb");
    check(out != nullptr, "scratch file");
    std::fwrite(data, 1, size, out);
    std::fclose(out);
  }
  // A last piece without a line end is a line still being written: not read.
  const std::string_view whole = text.substr(0, core::lines::whole_lines_size(text));
  const bool utf8 = core::fs::is_valid_utf8(whole);
  attlog::AttestationLog log;
  try {
    log = attlog::read_attestation_log(scratch_file());
    check(utf8, "bad UTF-8 was read without an error");
  } catch (const core::fs::DecodeError&) {
    check(!utf8, "valid UTF-8 was refused");
    return 0;
  }
  check(attlog::count_attestation_log(scratch_file()) == log.counts(),
        "counting read differs from the full read");

  const auto from_text = attlog::read_attestation_log_text(whole);
  check(from_text.pending == log.pending && from_text.corrupt == log.corrupt,
        "file and text differ");
  const std::int64_t objects = log.skipped + log.unattested + log.attested;
  check(objects == log.uploaded + log.unaddressable + static_cast<std::int64_t>(log.size()),
        "the two partitions of object lines differ");

  if (!core::fs::is_valid_utf8(text)) {
    return 0; // the scan is judged on UTF-8 text, as the reader gives it
  }
  for (const std::string_view line : core::fs::splitlines(text)) {
    const attlog::LogLineScan scan = attlog::scan_log_line(line);
    std::optional<core::Value> parsed;
    try {
      parsed = core::json::parse(line);
    } catch (const core::json::JsonError&) {
    }
    if (!parsed) {
      check(scan.shape == attlog::LogLineScan::Shape::invalid,
            "scan accepted what the parser refused");
      continue;
    }
    if (!parsed->is_map()) {
      check(scan.shape == attlog::LogLineScan::Shape::non_object, "scan misjudged a non-object");
      continue;
    }
    check(scan.shape == attlog::LogLineScan::Shape::object,
          "scan refused an object the parser read");
    if (const auto verdict = attlog::classify_log_line(scan)) {
      check(*verdict == attlog::classify_log_line(parsed->as_map()), "scan verdict differs");
    }
  }
  return 0;
}
