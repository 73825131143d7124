// Arbitrary bytes as a tool-server file the repository ships (.mcp.json, a Codex
// config.toml): the first byte picks the format.  Whatever the scan accepts is
// merged into so that the result is accepted again and registers kolvex (a second
// merge has nothing to add), and every byte of the input but a null it fills stays.
#include "core/json.hpp"
#include "services/mcp_registration.hpp"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace mcp = kolvex::services::mcp_registration;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  if (size == 0) {
    return 0;
  }
  const bool toml = (data[0] & 1) != 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
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
  if (input.find_first_not_of(" \t\r\n") == std::string_view::npos) {
    return 0; // a file of blanks is written anew
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
