// Arbitrary bytes as a git note under refs/notes/kolvex (anyone who can push can
// write one) and as `git cat-file --batch` output: the readers must never crash, a
// note they accept must name the commit it annotates, and every object split out
// must lie inside the input.
#include "fuzz_check.hpp"
#include "services/relaycore/sync/notes.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

using kolvex::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  namespace rsync = kolvex::services::relaycore::sync;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string commit(40, 'a');
  if (const auto record = rsync::parse_note(text, commit)) {
    const auto* named = record->find("commit");
    check(named != nullptr && named->is_string() && named->as_string() == commit,
          "an accepted note names its commit");
  }
  if (const auto objects = rsync::parse_cat_file_batch(text)) {
    std::size_t total = 0;
    for (const auto& object : *objects) {
      total += object.size();
    }
    check(total <= size, "objects lie inside the output");
  }
  return 0;
}
