// Arbitrary bytes as a git note under refs/notes/kolvex (anyone who can push can
// write one; a merged note holds many lines, signed ones among them) and as
// `git cat-file --batch` output: the readers must never crash, a note they accept
// must name the commit it annotates, and every object split out must lie inside the
// input.
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
  for (const auto& version : rsync::parse_note_versions(text, commit)) {
    const auto* named = version.record.find("commit");
    check(named != nullptr && named->is_string() && named->as_string() == commit,
          "every version names its commit");
    check(version.signed_payload == rsync::signed_payload(commit, version.record_text),
          "a version's signature covers its commit and record text");
    check(version.record_text.size() <= size, "a record's text lies inside the note");
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
