#pragma once

// Signed records: a note line carries a detached signature made with the signing
// set-up git already has for signed commits (user.signingKey with gpg.format ssh or
// openpgp), checked against git's own trust set-up (gpg.ssh.allowedSignersFile, the
// gpg keyring).  ssh-keygen and gpg run as children, argv only; the key and trust
// paths come from git's configuration, never from the repository's files.

#include "services/relaycore/sync/notes.hpp"

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kolvex::services::relaycore::sync {

// The ssh signature namespace of records, so that a record's signature is never
// taken for a commit's or a file's, nor the other way round.
inline constexpr std::string_view SSH_NAMESPACE = "kolvex-record";

// The key git signs with: user.signingKey and gpg.format (openpgp when unset).
struct SigningKey {
  std::string format; // "ssh" or "openpgp"
  std::string key;
};

// The key of `repo_root`'s git configuration, or nullopt when none is set or its
// format is one records are not signed with (x509).  Never throws.
[[nodiscard]] std::optional<SigningKey> signing_key(const std::filesystem::path& repo_root);

// A signature over `payload` made with `key`; nullopt when the tool is missing or
// fails (a locked key, no agent).  Never throws.
[[nodiscard]] std::optional<NoteSignature> sign_payload(const std::filesystem::path& repo_root,
                                                        const SigningKey& key,
                                                        std::string_view payload);

// A check that cannot be made here at all: the tool is missing, or git names no trust
// set-up (or one inside the repository).  The message says which.
class SigningUnavailable : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// What checking one note line's signature found.
enum class SignatureVerdict {
  good,      // signed by a trusted key over exactly this record of this commit
  unsigned_, // no signature
  untrusted, // signed by a key the trust set-up does not list
  altered,   // the signature does not cover this record (edited, copied, revoked key)
};

struct SignatureCheck {
  SignatureVerdict verdict = SignatureVerdict::unsigned_;
  std::string detail; // for the user, when not good
};

// Checks note lines against git's trust set-up of one repository.  The set-up is read
// when a signature of its format first needs it.
class SignatureChecker {
public:
  explicit SignatureChecker(std::filesystem::path repo_root);

  // Throws SigningUnavailable when the line is signed and cannot be checked here.
  [[nodiscard]] SignatureCheck check(const NoteVersion& version);

private:
  SignatureCheck check_ssh(const NoteVersion& version);
  SignatureCheck check_openpgp(const NoteVersion& version);

  std::filesystem::path repo_root_;
  std::optional<std::filesystem::path> allowed_signers_;
  std::optional<std::filesystem::path> revocations_;
};

} // namespace kolvex::services::relaycore::sync
