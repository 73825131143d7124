#!/usr/bin/env python3
"""Writes the pending-attestation files that `kolvex attest` must produce, byte for
byte, for the cases in tests/e2e/attest_test.cpp.

Each case is the attestation map as the command assembles it from its flags (keys
in the written order, JSON values as json.loads reads them), serialised the way the
file format is defined: "---", PyYAML's block dump, "---".  Run it from anywhere:

    python3 tests/golden/gen_attest_golden.py

The staged change in every case is one new file hello.txt holding "hello\\n" in a
SHA-1 repository with git's default configuration; its diff is spelled out below so
that the hash in the goldens is the SHA-256 of exactly those bytes.
"""

import hashlib
import json
import pathlib

import yaml

STAGED_DIFF = (
    "diff --git a/hello.txt b/hello.txt\n"
    "new file mode 100644\n"
    "index 0000000..ce01362\n"
    "--- /dev/null\n"
    "+++ b/hello.txt\n"
    "@@ -0,0 +1 @@\n"
    "+hello\n"
)
HASH = hashlib.sha256(STAGED_DIFF.encode()).hexdigest()
TIMESTAMP = "2026-01-15T10:30:00Z"
V2_PRIMITIVES = ["architecture", "data_model", "api", "dependencies", "configuration"]


def changes(arch_json):
    given = json.loads(arch_json)
    return {p: given[p] for p in V2_PRIMITIVES if p in given}


ARCH_FULL = json.dumps({
    "bogus": {"elements": []},
    "dependencies": {"elements": [{"name": "redis", "change": "added"}]},
    "architecture": {"elements": [{
        "name": "web-api",
        "change": "modified",
        "description": "Rate limiting sits in front of every auth endpoint and answers "
                       "429 with a Retry-After header once a client passes its budget",
        "fact_changes": {"add": ["Auth endpoints allow 10 requests per minute"],
                         "update": [], "remove": []},
    }], "notes": "kept as given"},
})

PROVENANCE_ODD = ('{"type": "spec", "ref": "SPEC-9", "priority": 1.5, "count": 3, '
                  '"extra": null, "flag": "yes", "big": 12345678901234567890, '
                  '"ratio": 1e20, "when": "2024-05-01", "nested": {"empty": [], "none": {}}}')

CASES = {
    "minimal": {
        "staged_diff_hash": HASH,
        "timestamp": TIMESTAMP,
        "agent_model": "claude-opus-4-6",
        "summary": "Added rate limiting to auth endpoints",
    },
    "full": {
        "staged_diff_hash": HASH,
        "timestamp": TIMESTAMP,
        "agent_model": "claude-opus-4-6",
        "agent": "claude-code",
        "agent_provider": "anthropic",
        "agent_id": "agent-7",
        "provenance": {"type": "ticket", "ref": "AUTH-142"},
        "task_type": "feature",
        "rules": {"checked": True,
                  "applicable": ["no-secrets-in-code", "tests-for-new-endpoints"]},
        "changes": changes(ARCH_FULL),
        "summary": "Añadido límite de peticiones — auth",
    },
    "odd_values": {
        "staged_diff_hash": HASH,
        "timestamp": "yesterday",
        "agent_model": "",
        "agent": "123",
        "provenance": json.loads(PROVENANCE_ODD),
        "rules": True,
        "summary": "null",
    },
    "unknown_changes": {
        "staged_diff_hash": HASH,
        "timestamp": TIMESTAMP,
        "agent_model": "claude-opus-4-6",
        "changes": changes('{"frontend": {"elements": []}}'),
        "summary": "Only unknown primitives",
    },
}


def main():
    out_dir = pathlib.Path(__file__).resolve().parent / "attest"
    out_dir.mkdir(exist_ok=True)
    for name, attestation in CASES.items():
        body = yaml.dump(attestation, default_flow_style=False, sort_keys=False)
        (out_dir / f"{name}.yaml").write_bytes(("---\n" + body + "---\n").encode("utf-8"))
    # The flags the tests pass, for reference next to the goldens.
    (out_dir / "arch_full.json").write_text(ARCH_FULL + "\n")
    (out_dir / "provenance_odd.json").write_text(PROVENANCE_ODD + "\n")


if __name__ == "__main__":
    main()
