// Arbitrary bytes as a tool-server file the repository ships (.mcp.json, a Codex
// config.toml): the first byte picks the format.  Whatever the scan accepts is
// merged into so that the result is accepted again and registers kolvex (a second
// merge has nothing to add), and every byte of the input but a null it fills stays.
// The removal of the entry is put through the same: on any input it either declines
// or gives a file the scan accepts with no entry of kolvex's left, and the entry just
// merged always comes out again.
#include "core/json.hpp"
#include "core/text.hpp"
#include "services/mcp_registration.hpp"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace mcp = kolvex::services::mcp_registration;

namespace {

// `text` with kolvex's entry taken out: a file the scan accepts in which a merge
// finds kolvex unregistered, or nothing to take out.  `must` asks that there be an
// entry to take out.
void check_removal(std::string_view text, bool toml, bool must)
{
  std::optional<std::string> kept;
  try {
    kept = toml ? mcp::remove_codex_registration(text) : mcp::remove_json_registration(text);
  } catch (const std::exception&) {
    if (must) {
      std::abort();
    }
    return; // refused: the file is left alone
  }
  if (!kept) {
    if (must) {
      std::abort();
    }
    return;
  }
  if (kept->size() >= text.size()) {
    std::abort(); // a removal only ever takes bytes out
  }
  try {
    const auto again =
        toml ? mcp::merge_codex_registration(*kept) : mcp::merge_json_registration(*kept);
    if (!again) {
      std::abort(); // still registered
    }
  } catch (const mcp::NameTakenError&) {
    // A server of the user's own named kolvex (a repeated key) stays theirs.
  } catch (const std::exception&) {
    std::abort(); // what the removal wrote, the scan refuses
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  if (size == 0) {
    return 0;
  }
  const bool toml = (data[0] & 1) != 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  check_removal(input, toml, false);
  std::optional<std::string> merged;
  try {
    if (toml) {
      merged = mcp::merge_codex_registration(input);
    } else {
      merged = mcp::merge_json_registration(input);
    }
  } catch (const std::exception&) {
    return 0; // refused: the file is left alone
  }
  if (!merged) {
    return 0;
  }
  if (!toml) {
    // What the splice accepts and writes, a JSON reader accepts.
    try {
      (void)kolvex::core::json::parse(*merged);
    } catch (const std::exception&) {
      std::abort();
    }
  }
  check_removal(*merged, toml, true);
  if (kolvex::core::text::trim(input).empty()) {
    return 0; // a file of blanks (any ASCII space, as the merge reads it) is written anew
  }
  // The merge inserts text in one place (replacing at most a null "mcpServers"):
  // what comes before and after it is the input's.
  std::size_t head = 0;
  while (head < input.size() && head < merged->size() && input[head] == (*merged)[head]) {
    ++head;
  }
  std::size_t tail = 0;
  while (tail < input.size() - head && tail < merged->size() - head &&
         input[input.size() - 1 - tail] == (*merged)[merged->size() - 1 - tail]) {
    ++tail;
  }
  const std::string_view removed = input.substr(head, input.size() - head - tail);
  if (!removed.empty() && removed != "null") {
    std::abort();
  }
  try {
    const auto again =
        toml ? mcp::merge_codex_registration(*merged) : mcp::merge_json_registration(*merged);
    if (again) {
      std::abort();
    }
  } catch (const std::exception&) {
    std::abort();
  }
  return 0;
}
