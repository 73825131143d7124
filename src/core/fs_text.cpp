// The text half of core/fs: what a file's bytes are checked and cut with.  Kept
// apart from the file operations (fs.cpp) so that each stays readable in one sitting.
#include "core/fs.hpp"

#include "core/lines.hpp"
#include "core/text.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

namespace kolvex::core::fs {

std::size_t first_invalid_utf8(std::string_view bytes)
{
  constexpr std::uint64_t k_high_bits = 0x8080808080808080ULL;
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    if (n - i >= 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, bytes.data() + i, sizeof word);
      const std::uint64_t high = word & k_high_bits;
      if (high == 0) {
        i += 8;
        continue;
      }
      // Skip the ASCII bytes in front of the first non-ASCII one in this word.
      if constexpr (std::endian::native == std::endian::little) {
        i += static_cast<std::size_t>(std::countr_zero(high)) / 8;
      } else {
        i += static_cast<std::size_t>(std::countl_zero(high)) / 8;
      }
    } else if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    const text::Utf8Step step = text::utf8_step(bytes, i);
    if (!step.valid) {
      return i;
    }
    i += step.length;
  }
  return std::string_view::npos;
}

bool is_valid_utf8(std::string_view bytes)
{
  return first_invalid_utf8(bytes) == std::string_view::npos;
}

void require_utf8(std::string_view bytes, const std::filesystem::path& path, std::size_t base)
{
  const std::size_t bad = first_invalid_utf8(bytes);
  if (bad == std::string_view::npos) {
    return;
  }
  static constexpr char k_hex[] = "0123456789abcdef";
  const auto byte = static_cast<unsigned char>(bytes[bad]);
  std::string what = path.string() + ": not valid UTF-8: byte 0x";
  what += k_hex[byte >> 4];
  what += k_hex[byte & 0xF];
  what += " at offset " + std::to_string(base + bad);
  throw DecodeError(what, base + bad);
}

std::vector<std::string_view> splitlines(std::string_view text)
{
  std::vector<std::string_view> lines;
  lines::for_each_line(text, [&](std::string_view line) { lines.push_back(line); });
  return lines;
}

} // namespace kolvex::core::fs
