#include "hooks/installer_detail.hpp"

#include "core/text.hpp"

#include <system_error>

namespace kolvex::hooks::installer::detail {

namespace stdfs = std::filesystem;

bool present(const stdfs::path& path)
{
  std::error_code ec;
  return stdfs::exists(stdfs::symlink_status(path, ec));
}

bool is_file(const stdfs::path& path)
{
  std::error_code ec;
  return stdfs::is_regular_file(path, ec);
}

bool file_contains(const core::fs::Confined& at, std::string_view text)
{
  try {
    return core::fs::regular_file_exists(at) &&
           core::fs::read_bytes(at).find(text) != std::string::npos;
  } catch (const std::system_error&) {
    return false;
  }
}

std::string shown(const stdfs::path& path, const stdfs::path& repo_root)
{
  const stdfs::path relative = path.lexically_relative(repo_root);
  return relative.empty() || *relative.begin() == ".." ? path.string() : relative.string();
}

bool is_husky_dir(const stdfs::path& hooks)
{
  return hooks.filename() == "_" &&
         (is_file(hooks / "h") || hooks.parent_path().filename() == ".husky");
}

ManualStep script_step(const HookSpec& spec,
                       const stdfs::path& file,
                       const std::optional<std::string>& interpreter,
                       const stdfs::path& program)
{
  ManualStep step;
  step.hook = std::string(spec.name);
  step.file = file;
  step.why = interpreter ? "it is a " + *interpreter + " script, not a shell script"
                         : "it is not a script";
  if (interpreter && interpreter->starts_with("python")) {
    std::string argv = "kolvex";
    for (const auto& word : core::text::split(spec.command, ' ')) {
      argv += ", " + manager_configs::double_quoted(word);
    }
    // As the shell block does: kolvex on PATH, else the one that ran setup.
    step.lines = "import shutil, subprocess\n"
                 "kolvex = shutil.which(\"kolvex\") or " +
                 manager_configs::double_quoted(program.empty() ? "kolvex" : program.string()) +
                 "\n"
                 "if shutil.which(kolvex):\n"
                 "    subprocess.run([" +
                 argv + "])\n";
  } else {
    // Any language: the one command, which never fails and prints nothing.
    step.lines = "kolvex " + std::string(spec.command) + "\n";
  }
  return step;
}

ManualStep lefthook_step(const HookSpec& spec, const stdfs::path& config)
{
  ManualStep step;
  step.hook = std::string(spec.name);
  step.file = config;
  step.why = "kolvex does not edit lefthook's " + config.extension().string().substr(1) +
             " files; merge this into its " + std::string(spec.name) + " section if it has one";
  const std::string run = manager_configs::double_quoted(manager_command(spec));
  const std::string hook = std::string(spec.name);
  if (config.extension() == ".toml") {
    step.lines = "[" + hook + ".commands." + std::string(manager_configs::LEFTHOOK_COMMAND) +
                 "]\nrun = " + run + "\n";
  } else {
    step.lines = manager_configs::double_quoted(hook) + ": {\n  \"commands\": {\n    " +
                 manager_configs::double_quoted(manager_configs::LEFTHOOK_COMMAND) +
                 ": {\n      \"run\": " + run + "\n    }\n  }\n}\n";
  }
  return step;
}

} // namespace kolvex::hooks::installer::detail
