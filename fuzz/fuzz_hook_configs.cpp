// A repository's hook manager configuration and hook scripts, whatever they hold:
// adding kolvex either refuses cleanly or gives a file that already holds the entry
// (a second edit changes nothing), the block is found again in any script, and so
// is a line that runs kolvex added to it.
#include "hooks/installer.hpp"
#include "hooks/manager_configs.hpp"
#include "hooks/shell_block.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using Editor = kolvex::hooks::manager_configs::Edit (*)(std::string_view,
                                                        std::string_view,
                                                        std::string_view);

void twice(Editor edit, std::string_view text)
{
  namespace configs = kolvex::hooks::manager_configs;
  constexpr std::string_view k_command = "command -v kolvex >/dev/null 2>&1 || exit 0";
  try {
    const auto first = edit(text, "post-commit", k_command);
    if (edit(first.text, "post-commit", k_command).changed) {
      std::abort(); // the entry written was not found again
    }
  } catch (const configs::ConfigLayoutError&) {
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  namespace shell_block = kolvex::hooks::shell_block;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  twice(&kolvex::hooks::manager_configs::add_to_lefthook, text);
  twice(&kolvex::hooks::manager_configs::add_to_pre_commit, text);

  (void)shell_block::interpreter(text);
  const std::string wired = std::string(text) + "\nkolvex sync --record-commit\n";
  if (!kolvex::hooks::installer::runs_kolvex(wired, "sync --record-commit")) {
    std::abort(); // a line of ours, not found again
  }
  const std::string block = shell_block::render("post-commit", "  true\n");
  if (shell_block::find(text, "post-commit").found == shell_block::Found::none) {
    const std::string script = shell_block::insert(text, block);
    const auto span = shell_block::find(script, "post-commit");
    if (span.found != shell_block::Found::block ||
        script.compare(span.begin, span.end - span.begin, block) != 0) {
      std::abort(); // the block put in is not the block found
    }
  }
  return 0;
}
