// UTF-8 handling of outside bytes: the eight-byte fast path of the validator must
// agree with plain stepwise decoding, replacement decoding must always yield valid
// UTF-8 (and change nothing in valid input), and splitlines must only cut.
#include "core/fs.hpp"
#include "core/process.hpp"
#include "core/text.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  std::size_t expected = std::string_view::npos;
  for (std::size_t i = 0; i < bytes.size();) {
    const auto step = kolvex::core::text::utf8_step(bytes, i);
    if (!step.valid) {
      expected = i;
      break;
    }
    i += step.length;
  }
  if (kolvex::core::fs::first_invalid_utf8(bytes) != expected) {
    std::abort();
  }

  const std::string decoded = kolvex::core::process::decode_replace(bytes);
  if (!kolvex::core::fs::is_valid_utf8(decoded)) {
    std::abort();
  }
  if (expected == std::string_view::npos && decoded != bytes) {
    std::abort();
  }

  for (const std::string_view line : kolvex::core::fs::splitlines(bytes)) {
    if (line.data() < bytes.data() || line.data() + line.size() > bytes.data() + bytes.size() ||
        line.find_first_of("\n\r\v\f\x1c\x1d\x1e") != std::string_view::npos) {
      std::abort();
    }
  }
  return 0;
}
