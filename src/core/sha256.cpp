#include "core/sha256.hpp"

#include <nettle/sha2.h>

namespace kolvex::core {

std::string sha256_hex(std::string_view bytes)
{
  sha256_ctx context;
  sha256_init(&context);
  // Nettle takes a size_t length, so any std::string_view fits in one update.
  sha256_update(&context, bytes.size(), reinterpret_cast<const std::uint8_t*>(bytes.data()));
  std::uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_digest(&context, SHA256_DIGEST_SIZE, digest);
  static constexpr char k_hex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * SHA256_DIGEST_SIZE);
  for (std::uint8_t b : digest) {
    out += k_hex[b >> 4];
    out += k_hex[b & 0xF];
  }
  return out;
}

} // namespace kolvex::core
