#include "hooks/scripts.hpp"

namespace kolvex::hooks::scripts {

std::string example_attestation()
{
  // Kept in the order `kolvex attest` writes the fields, so that the template reads
  // like the file it produces.
  return R"yaml(# Example commit attestation: what `kolvex attest` writes to
# .kolvex/.commit-attestation.yaml just before a commit.  Let the command write it:
#
#   kolvex attest --staged-diff-hash "$(git diff --staged | shasum -a 256 | cut -d' ' -f1)" \
#     --model claude-opus-4-6 --summary "Added rate limiting to auth endpoints" ...
#
# It checks the hash against what is staged and the fields below.  Developer
# identity, agent session id and telemetry are added after the commit; do not put
# them here.  Replace every <PLACEHOLDER>; drop optional fields you have nothing for.

# Required.  SHA-256 of `git diff --staged` (64 lower-case hex characters), taken
# after the last `git add`.
staged_diff_hash: <STAGED_DIFF_HASH>
# When the attestation was made, UTC, ISO 8601 (--timestamp; generated if omitted).
timestamp: '2026-01-15T10:30:00Z'
# Required.  The model that made the change (--model).
agent_model: claude-opus-4-6
# Optional (--agent, --provider, --agent-id); sync fills agent and provider from
# the active adapter when they are missing.
agent: claude-code
agent_provider: anthropic
agent_id: <AGENT_ID>
# Optional.  Where the request came from (--provenance): type is one of spec,
# ticket, bug-fix, ad-hoc; ref is required for spec and ticket.
provenance:
  type: ticket
  ref: <TICKET_ID>
# Optional.  What kind of change this is (--task-type): one of feature, bug-fix,
# refactor, docs, test, chore.
task_type: feature
# Optional.  Rule compliance (--rules): checked is true once the change was
# checked against the project's rules; applicable lists the rules that apply.
rules:
  checked: true
  applicable:
  - <RULE_NAME>
# Optional.  Architecture changes (--arch-changes), by primitive: architecture,
# data_model, api, dependencies, configuration.  Each primitive lists its
# elements; change is one of added, modified, removed; description and
# fact_changes (add / update / remove lists) are optional.
changes:
  architecture:
    elements:
    - name: web-api
      change: modified
      description: Rate limiting in front of the auth endpoints
      fact_changes:
        add:
        - Auth endpoints allow 10 requests per minute per client
        update: []
        remove: []
  dependencies:
    elements:
    - name: redis
      change: added
      description: Holds the rate-limit counters
# Required.  One line: the impact of the change (--summary).
summary: Added rate limiting to auth endpoints
)yaml";
}

} // namespace kolvex::hooks::scripts
