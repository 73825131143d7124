// The post-tool row's payload, as a harness (or anything else) writes it on stdin:
// the bounded reader never throws or hangs on any bytes, and the row acts only on
// an object naming a clean Bash call whose command matches the commit pattern, one
// that the byte-level filter (simdjson) never rules out.
#include "commands/attest/hook_row.hpp"
#include "core/json.hpp"
#include "frontend/hook_payload.hpp"
#include "fuzz_check.hpp"

#include <re2/re2.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace {

constexpr std::size_t k_max_bytes = 1 << 16;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  using kolvex::fuzz::check;
  namespace attest = kolvex::commands::attest;
  // A memory file stands in for the pipe: readable at once, end of file after the
  // input, so every read path runs without a writer thread.
  const int fd = ::memfd_create("payload", MFD_CLOEXEC);
  if (fd < 0) {
    return 0;
  }
  const ssize_t written = ::write(fd, data, size);
  ::lseek(fd, 0, SEEK_SET);
  const kolvex::core::Value payload =
      kolvex::services::shared::read_hook_payload_from(fd,
                                                       {.max_bytes = k_max_bytes,
                                                        .idle = std::chrono::milliseconds(50),
                                                        .total = std::chrono::milliseconds(200)});
  ::close(fd);
  if (written != static_cast<ssize_t>(size)) {
    return 0;
  }

  // What the reader returns is what the JSON parser makes of the whole input
  // (compared as text: NaN is not equal to itself), and nothing when it refuses it.
  std::optional<std::string> expected;
  try {
    expected = kolvex::core::json::dump(
        kolvex::core::json::parse(std::string(reinterpret_cast<const char*>(data), size)));
  } catch (const std::exception&) {
  }
  if (size <= k_max_bytes) {
    check(expected ? kolvex::core::json::dump(payload) == *expected : payload.is_null(),
          "the reader returns the parser's value, or nothing");
  } else {
    check(payload.is_null(), "an oversized payload is refused");
  }

  const bool failed = attest::_tool_failed(payload); // never throws, any shape
  if (attest::_is_commit_call(payload)) {
    // The row rules payloads out from their bytes first; never one it would act on.
    check(attest::_may_name_commit(std::string(reinterpret_cast<const char*>(data), size)),
          "the byte-level filter keeps every commit call");
    check(payload.is_map(), "a commit call is an object");
    check(payload.get_string("tool_name") == std::optional<std::string>("Bash"), "only Bash");
    const auto command = payload.get("tool_input")->get_string("command");
    check(command.has_value(), "the command is text");
    check(RE2::PartialMatch(*command, RE2(std::string(attest::GIT_COMMIT_RE))),
          "the command names a commit");
    check(!failed, "a failed call is never acted on");
  }
  return 0;
}
