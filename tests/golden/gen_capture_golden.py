#!/usr/bin/env python3
"""Writes the golden records of commit capture with PyYAML and Python's json.

tests/golden/capture/cases.json          the inputs of every case (commit metadata,
                                         adapter answers, pending file text), read by
                                         tests/services/relaycore/capture/golden_test.cpp
tests/golden/capture/<name>.line.json    the log line, json.dumps(entry, default=str),
                                         with the commit sha written as <COMMIT>
tests/golden/capture/<name>.archive.yaml the archived record,
                                         yaml.dump(record, default_flow_style=False,
                                         sort_keys=False)

Each record is built here the way the capture path builds it: the deterministic
record's keys in their fixed order, the adapter's telemetry followed by "source" and
"agent_runtime" (and "session_id" when it has none), the pending attestation as the
YAML loader reads it plus what enrichment adds on a machine without an agent
harness and without a synced rule cache (rules.available null, the developer).

Run from anywhere: python3 tests/golden/gen_capture_golden.py
"""
import json
import pathlib

import yaml

OUT = pathlib.Path(__file__).resolve().parent / "capture"
COMMIT = "<COMMIT>"
# The identity tests/support/repo.hpp configures in every test repository.
CONFIGURED = {"git_author_name": "Test Dev", "git_author_email": "dev@example.com"}

CASES = [
    {
        "name": "post_commit_ambient",
        "author_name": "Zo\u00eb \u00c5ngstr\u00f6m",
        "author_email": "zoe@example.com",
        "author_date": "2026-01-15T10:30:00+01:00",
        "subject": "feat(auth): add login \u2014 na\u00efve caf\u00e9",
        "branch": "main",
        "adapter": {"name": "claude-code", "provider": "anthropic", "session": "sess-42"},
        "telemetry": {
            "model": "claude-opus-4-6",
            "tokens": {"input": 1200, "output": 345, "cache_read": 0},
            "cost_usd": 0.0123,
            "turns": 7,
        },
    },
    {
        "name": "catch_up_author",
        "author_name": "Jos\u00e9 O'Brien",
        "author_email": "jose@example.com",
        "author_date": "2025-12-31T23:59:59-08:00",
        "subject": "update readme",
        "branch": "docs/readme",
    },
    {
        "name": "backfill",
        "author_name": "Test Dev",
        "author_email": "dev@example.com",
        "author_date": "2026-02-01T08:00:00+00:00",
        "subject": "Fix!: crash on empty input",
        "branch": "main",
        "adapter": {"name": "codex", "provider": "openai", "session": "sess-7"},
        "telemetry": {"model": "gpt-5-codex", "tokens": {"total": 99}, "session_id": "rollout-7"},
        "task_type": "refactor",
    },
    {
        "name": "pending_attested",
        "author_name": "Test Dev",
        "author_email": "dev@example.com",
        "author_date": "2026-01-15T10:31:00+00:00",
        "subject": "Rate limiting",
        "branch": "main",
        "pending": (
            "---\n"
            "timestamp: 2026-01-15T10:30:00Z\n"
            "agent: claude-code\n"
            "model: claude-opus-4-6\n"
            "staged_diff_hash: 9f2c1e0b7a6d5c4b3a29180f7e6d5c4b3a29180f7e6d5c4b3a29180f7e6d5c4b\n"
            'summary: "Rate limiting \\u2014 10/min per client, \\"quoted\\""\n'
            "task_type: feature\n"
            "rules:\n"
            "  checked: true\n"
            "  applicable:\n"
            "  - no-secrets-in-code\n"
            "provenance:\n"
            "  type: ticket\n"
            "  ref: AUTH-142\n"
            "---\n"
        ),
    },
]

COPIED = ("agent_provider", "agent_id", "agent_session_id", "developer", "telemetry")


def line_of(record, branch, event):
    entry = {
        "commit": COMMIT,
        "branch": branch,
        "timestamp": record.get("timestamp", ""),
        "agent": record.get("agent", ""),
        "summary": record.get("summary", ""),
        "synced": False,
    }
    if event:
        entry["event"] = event
    for key in COPIED:
        if record.get(key):
            entry[key] = record[key]
    return entry


def telemetry_of(case, source):
    telemetry = dict(case["telemetry"])
    telemetry["source"] = source
    telemetry["agent_runtime"] = case["adapter"]["name"]
    return telemetry


def post_commit_ambient(case):
    adapter = case["adapter"]
    telemetry = telemetry_of(case, "post_commit")
    telemetry.setdefault("session_id", adapter["session"])
    record = {
        "source": "post_commit",
        "timestamp": case["author_date"],
        "agent": adapter["name"],
        "agent_provider": adapter["provider"],
        "agent_model": telemetry["model"],
        "agent_session_id": adapter["session"],
        "developer": CONFIGURED,
        "task_type": "feature",
        "task_type_source": "inferred",
        "summary": case["subject"],
        "telemetry": telemetry,
    }
    return record, "commit_unattested"


def catch_up_author(case):
    record = {
        "source": "catch_up",
        "timestamp": case["author_date"],
        "agent": "unknown",
        "developer": {
            "git_author_name": case["author_name"],
            "git_author_email": case["author_email"],
        },
        "summary": case["subject"],
    }
    return record, "commit_unattested"


def backfill(case):
    adapter = case["adapter"]
    telemetry = telemetry_of(case, "backfill")
    telemetry.setdefault("session_id", adapter["session"])
    record = {
        "source": "backfill",
        "timestamp": case["author_date"],
        "agent": adapter["name"],
        "agent_provider": adapter["provider"],
        "agent_model": telemetry["model"],
        "agent_session_id": adapter["session"],
        "provenance": {"type": "ad-hoc", "ref": "backfill"},
        "task_type": case["task_type"],
        "task_type_source": "declared",
        "summary": case["subject"],
        "telemetry": telemetry,
    }
    return record, None


def pending_attested(case):
    text = case["pending"]
    lines = text.splitlines(keepends=True)
    body = "".join(line for line in lines if line.strip() != "---")
    record = yaml.safe_load(body) or {}
    record["rules"]["available"] = None
    record["developer"] = CONFIGURED
    return record, None


BUILDERS = {
    "post_commit_ambient": post_commit_ambient,
    "catch_up_author": catch_up_author,
    "backfill": backfill,
    "pending_attested": pending_attested,
}


def main():
    OUT.mkdir(exist_ok=True)
    for case in CASES:
        record, event = BUILDERS[case["name"]](case)
        line = json.dumps(line_of(record, case["branch"], event), default=str) + "\n"
        (OUT / f"{case['name']}.line.json").write_text(line, encoding="utf-8")
        archive = yaml.dump(record, default_flow_style=False, sort_keys=False)
        (OUT / f"{case['name']}.archive.yaml").write_text(archive, encoding="utf-8")
    (OUT / "cases.json").write_text(json.dumps(CASES, indent=2) + "\n", encoding="utf-8")


if __name__ == "__main__":
    main()
