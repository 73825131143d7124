// Arbitrary bytes as the post-rewrite hook's stdin (what git, or whatever a hook
// manager put in its place, hands the hook): the reader must never crash, and every
// pair it gives must be two full commit shas found at the start of one line.
#include "fuzz_check.hpp"
#include "services/relaycore/capture/rewrite.hpp"
#include "services/relaycore/log/git.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

using kolvex::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  namespace rlog = kolvex::services::relaycore::log;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto pairs = kolvex::services::relaycore::capture::parse_rewrite_pairs(text);
  for (const auto& pair : pairs) {
    check(rlog::_is_valid_commit_hash(pair.old_sha), "old sha is a full sha");
    check(rlog::_is_valid_commit_hash(pair.new_sha), "new sha is a full sha");
    check(text.find(pair.old_sha + " " + pair.new_sha) != std::string_view::npos,
          "the pair is in the input as one");
  }
  check(pairs.size() <= size / 81 + 1, "no more pairs than lines could hold");
  return 0;
}
