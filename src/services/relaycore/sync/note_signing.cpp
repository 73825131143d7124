#include "services/relaycore/sync/note_signing.hpp"

#include "core/fs.hpp"
#include "core/logging.hpp"
#include "core/process.hpp"
#include "core/text.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>
#include <utility>
#include <vector>

namespace kolvex::services::relaycore::sync {

namespace {

namespace stdfs = std::filesystem;

const core::logging::Logger& logger()
{
  static const core::logging::Logger instance("kolvex.relaycore.signing");
  return instance;
}

// A private directory for the files ssh-keygen and gpg only take by name (a
// signature, a literal public key), removed with everything in it.
class ScratchDir {
public:
  ScratchDir()
  {
    std::string pattern = (stdfs::temp_directory_path() / "kolvex-sig-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::system_error(errno, std::generic_category(), "creating a scratch directory");
    }
    path_ = pattern;
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir()
  {
    std::error_code ignored;
    stdfs::remove_all(path_, ignored);
  }

  // Writes `content` to a new file `name` in the directory (mode 0600).
  stdfs::path write(const std::string& name, std::string_view content) const
  {
    const stdfs::path file = path_ / name;
    // The directory is our own, fresh from mkdtemp: nothing in it to confine against,
    // but O_EXCL and O_NOFOLLOW still refuse anything planted there meanwhile.
    const core::fs::Fd fd(
        ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
      throw std::system_error(errno, std::generic_category(), "writing " + file.string());
    }
    core::fs::write_all(fd.get(), content, file.string());
    return file;
  }

private:
  stdfs::path path_;
};

core::process::Result run(std::vector<std::string> argv,
                          const stdfs::path& cwd,
                          std::optional<std::string> input = std::nullopt)
{
  core::process::Options options;
  options.cwd = cwd;
  options.input = std::move(input);
  options.timeout = std::chrono::seconds(30);
  return core::process::run(argv, options);
}

// `git config [--path] --get <key>` of `repo_root`, or "" when unset.
std::string git_config(const stdfs::path& repo_root, const std::string& key, bool path = false)
{
  std::vector<std::string> argv{"git", "config"};
  if (path) {
    argv.emplace_back("--path");
  }
  argv.insert(argv.end(), {"--get", key});
  try {
    const auto result = run(argv, repo_root);
    return result.exit_code == 0 ? std::string(core::text::trim(result.out)) : std::string();
  } catch (const std::exception&) {
    return "";
  }
}

// Whether `path` lies inside `root` (after resolving what exists of both).
bool inside(const stdfs::path& path, const stdfs::path& root)
{
  std::error_code ignored;
  const stdfs::path resolved = stdfs::weakly_canonical(path, ignored);
  const stdfs::path top = stdfs::weakly_canonical(root, ignored);
  const stdfs::path relative = resolved.lexically_relative(top);
  return !relative.empty() && *relative.begin() != "..";
}

// A trust file named by git's configuration: absolute, and outside the repository,
// whose files are whatever the last push made them.
std::optional<stdfs::path> trust_file(const stdfs::path& repo_root, const std::string& key)
{
  const std::string value = git_config(repo_root, key, true);
  if (value.empty()) {
    return std::nullopt;
  }
  const stdfs::path file(value);
  if (!file.is_absolute()) {
    throw SigningUnavailable(key + " is '" + value +
                             "', a relative path; name the file by its absolute path");
  }
  if (inside(file, repo_root)) {
    throw SigningUnavailable(key + " names " + value +
                             ", a file inside the repository: anyone who can push could trust "
                             "their own key there; keep it outside the repository");
  }
  return file;
}

void require_program(const char* program, const char* format)
{
  if (!core::process::find_program(program)) {
    throw SigningUnavailable(std::string(program) + " is not installed: it is needed to check " +
                             format + " signatures");
  }
}

std::optional<NoteSignature>
sign_ssh(const stdfs::path& repo_root, const std::string& key, std::string_view payload)
{
  ScratchDir scratch;
  std::vector<std::string> argv{"ssh-keygen", "-Y", "sign", "-n", std::string(SSH_NAMESPACE)};
  // As git takes it: a literal public key (the private half in the agent), or a
  // key file, public or private.
  if (key.starts_with("key::") || key.starts_with("ssh-") || key.starts_with("ecdsa-") ||
      key.starts_with("sk-")) {
    const std::string literal = key.starts_with("key::") ? key.substr(5) : key;
    argv.insert(argv.end(), {"-U", "-f", scratch.write("key.pub", literal + "\n").string()});
  } else {
    std::string file = key;
    if (file.starts_with("~/")) {
      const char* home = std::getenv("HOME");
      file = std::string(home != nullptr ? home : "") + file.substr(1);
    }
    argv.insert(argv.end(), {"-f", file});
  }
  const auto signed_ = run(argv, repo_root, std::string(payload));
  if (signed_.exit_code != 0 || signed_.out.find("-----BEGIN SSH SIGNATURE-----") != 0) {
    logger().debug("ssh-keygen could not sign the record: " + signed_.err);
    return std::nullopt;
  }
  return NoteSignature{"ssh", signed_.out};
}

std::optional<NoteSignature>
sign_openpgp(const stdfs::path& repo_root, const std::string& key, std::string_view payload)
{
  const auto signed_ = run({"gpg", "--status-fd=2", "-bsau", key}, repo_root, std::string(payload));
  if (signed_.exit_code != 0 || signed_.err.find("[GNUPG:] SIG_CREATED ") == std::string::npos) {
    logger().debug("gpg could not sign the record: " + signed_.err);
    return std::nullopt;
  }
  return NoteSignature{"openpgp", signed_.out};
}

} // namespace

std::optional<SigningKey> signing_key(const stdfs::path& repo_root)
{
  const std::string key = git_config(repo_root, "user.signingkey");
  if (key.empty()) {
    return std::nullopt;
  }
  std::string format = core::text::lower(git_config(repo_root, "gpg.format"));
  if (format.empty()) {
    format = "openpgp";
  }
  if (format != "ssh" && format != "openpgp") {
    return std::nullopt;
  }
  return SigningKey{format, key};
}

std::optional<NoteSignature>
sign_payload(const stdfs::path& repo_root, const SigningKey& key, std::string_view payload)
{
  try {
    return key.format == "ssh" ? sign_ssh(repo_root, key.key, payload)
                               : sign_openpgp(repo_root, key.key, payload);
  } catch (const std::exception& e) {
    logger().debug_exception("signing the record failed", e);
    return std::nullopt;
  }
}

SignatureChecker::SignatureChecker(stdfs::path repo_root) : repo_root_(std::move(repo_root)) {}

SignatureCheck SignatureChecker::check(const NoteVersion& version)
{
  if (!version.signature) {
    return {SignatureVerdict::unsigned_, "unsigned"};
  }
  if (version.signature->format == "ssh") {
    return check_ssh(version);
  }
  if (version.signature->format == "openpgp") {
    return check_openpgp(version);
  }
  return {SignatureVerdict::untrusted, "signed in a format kolvex does not check"};
}

SignatureCheck SignatureChecker::check_ssh(const NoteVersion& version)
{
  require_program("ssh-keygen", "ssh");
  if (!allowed_signers_) {
    allowed_signers_ = trust_file(repo_root_, "gpg.ssh.allowedSignersFile");
    if (!allowed_signers_) {
      throw SigningUnavailable("gpg.ssh.allowedSignersFile is not set: git's list of trusted ssh "
                               "keys is needed to check ssh signatures");
    }
    revocations_ = trust_file(repo_root_, "gpg.ssh.revocationFile");
  }
  ScratchDir scratch;
  const std::string signature = scratch.write("note.sig", version.signature->signature).string();
  const auto found = run(
      {"ssh-keygen", "-Y", "find-principals", "-f", allowed_signers_->string(), "-s", signature},
      repo_root_);
  const auto principals = core::fs::splitlines(found.out);
  if (found.exit_code != 0 || principals.empty() || core::text::trim(principals[0]).empty()) {
    return {SignatureVerdict::untrusted, "signed by a key not in " + allowed_signers_->string()};
  }
  std::vector<std::string> argv{"ssh-keygen",
                                "-Y",
                                "verify",
                                "-f",
                                allowed_signers_->string(),
                                "-I",
                                std::string(core::text::trim(principals[0])),
                                "-n",
                                std::string(SSH_NAMESPACE),
                                "-s",
                                signature};
  if (revocations_) {
    argv.insert(argv.end(), {"-r", revocations_->string()});
  }
  const auto verified = run(argv, repo_root_, version.signed_payload);
  if (verified.exit_code != 0) {
    return {SignatureVerdict::altered,
            "the signature does not match this record of this commit (altered or copied, or "
            "the key is revoked)"};
  }
  return {SignatureVerdict::good, ""};
}

SignatureCheck SignatureChecker::check_openpgp(const NoteVersion& version)
{
  require_program("gpg", "openpgp");
  ScratchDir scratch;
  const std::string signature = scratch.write("note.asc", version.signature->signature).string();
  const auto verified =
      run({"gpg", "--batch", "--no-tty", "--status-fd=1", "--verify", signature, "-"},
          repo_root_,
          version.signed_payload);
  const auto has = [&verified](std::string_view status) {
    return verified.out.find("[GNUPG:] " + std::string(status) + " ") != std::string::npos;
  };
  if (has("GOODSIG") && has("VALIDSIG") && verified.exit_code == 0) {
    return {SignatureVerdict::good, ""};
  }
  if (has("BADSIG")) {
    return {SignatureVerdict::altered,
            "the signature does not match this record of this commit (altered or copied)"};
  }
  return {SignatureVerdict::untrusted, "signed by a key not in the gpg keyring"};
}

} // namespace kolvex::services::relaycore::sync
