// Arbitrary bytes as an agent's instruction file (CLAUDE.md ships with the
// repository): rewriting the kolvex block keeps every byte outside it, and a
// second rewrite with the same block changes nothing.
#include "hooks/agent_guidance.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace guidance = kolvex::hooks::agent_guidance;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string block = guidance::_guidance_block("42", std::nullopt);
  const auto once = guidance::_rewrite_marked_block(input, block);
  if (!once) {
    return 0; // an opened block that never closes is left alone
  }
  // Some occurrence of the block splits the result into a prefix of the input (with
  // at most the separating line ends after it) and a suffix of it: the user's bytes
  // around the block are untouched.
  bool kept = false;
  for (std::size_t at = once->find(block); at != std::string::npos && !kept;
       at = once->find(block, at + 1)) {
    const std::string_view before = std::string_view(*once).substr(0, at);
    const std::string_view after = std::string_view(*once).substr(at + block.size());
    kept = input.starts_with(before.substr(0, std::min(before.size(), input.size()))) &&
           input.ends_with(after);
  }
  if (!kept) {
    std::abort();
  }
  const auto twice = guidance::_rewrite_marked_block(*once, block);
  if (!twice || *twice != *once) {
    std::abort();
  }
  return 0;
}
