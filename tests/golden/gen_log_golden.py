#!/usr/bin/env python3
"""Writes the golden files of the attestation-log writer with PyYAML and Python's json.

tests/golden/log/cases.jsonl        one case per line: {"name", "commit", "event", "input"}
                                    where "input" is the attestation as YAML text
tests/golden/log/lines.jsonl        line i: the log line of case i, json.dumps(entry, default=str)
tests/golden/log/<name>.archive.yaml  the archived attestation of case i,
                                    yaml.dump(parsed, default_flow_style=False, sort_keys=False)

The entry is built the way the writer builds it: commit, branch ("main", the test
repository's branch), timestamp, agent, summary (each "" when absent), synced false,
then event when given, then the five copied keys when their value is non-empty.

Run from anywhere: python3 tests/golden/gen_log_golden.py
"""
import json
import pathlib

import yaml

OUT = pathlib.Path(__file__).resolve().parent / "log"
BRANCH = "main"
SHA1 = "3f2a9c1e5b7d4f60a8e2c9b1d3f5a7c9e1b3d5f7"
SHA256 = "9b74c9897bac770ffc029102a200c5de" "e0b1f3a3c1e0d4b2a1f9e8d7c6b5a4f3"

CASES = [
    ("full", SHA1, None, """\
timestamp: 2024-05-01T10:00:00Z
agent: claude_code
model: claude-sonnet-4-5
summary: "R\\u00e9sum\\u00e9 of the change \\u2014 na\\u00efve caf\\u00e9, \\u65e5\\u672c\\u8a9e, emoji \\U0001F600"
agent_provider: anthropic
agent_id: claude-code
agent_session_id: 7f3c2a10-55e1-4c1e-9d2b-0a1b2c3d4e5f
developer:
  name: "Zo\\u00eb \\u00c5ngstr\\u00f6m"
  email: zoe@example.com
telemetry:
  model: claude-sonnet-4-5
  input_tokens: 123456
  output_tokens: 7890
  cache_read_tokens: 0
  cost_usd: 0.4213
  duration_s: 93.5
  tools: [Read, Edit, Bash]
  started_at: 2024-05-01 09:58:30.250000+02:00
  day: 2024-05-01
rules:
- id: R1
  compliant: true
"""),
    ("datetime_naive_fraction", SHA256, None, """\
timestamp: 2024-05-01 10:00:00.5
agent: codex
summary: Long summary that goes on well past the eighty columns of the YAML emitter so that it folds over lines
"""),
    ("unattested_empty_fields", SHA1, "commit_unattested", """\
agent: unknown
summary: ''
agent_provider: ''
agent_id: null
agent_session_id: ~
developer: {}
telemetry:
  input_tokens: 0
"""),
    ("skipped_empty", SHA1, "attestation_skipped", "{}\n"),
    ("typed_values", "unknown", None, """\
timestamp: 1714557600
agent: aider
summary: "tab\\there, \\"quoted\\", back\\\\slash / slash\\nsecond line \\x7f"
agent_provider: 0
telemetry: []
developer:
  name: O'Brien
  nested: {list: [1, 2.5, -3e-7, .inf, null, yes]}
"""),
]

COPIED = ("agent_provider", "agent_id", "agent_session_id", "developer", "telemetry")


def entry_of(parsed, commit, event):
    entry = {
        "commit": commit,
        "branch": BRANCH,
        "timestamp": parsed.get("timestamp", ""),
        "agent": parsed.get("agent", ""),
        "summary": parsed.get("summary", ""),
        "synced": False,
    }
    if event:
        entry["event"] = event
    for key in COPIED:
        if parsed.get(key):
            entry[key] = parsed[key]
    return entry


def main():
    OUT.mkdir(exist_ok=True)
    cases, lines = [], []
    for name, commit, event, text in CASES:
        parsed = yaml.safe_load(text) or {}
        cases.append(json.dumps({"name": name, "commit": commit, "event": event, "input": text}))
        lines.append(json.dumps(entry_of(parsed, commit, event), default=str))
        archive = yaml.dump(parsed, default_flow_style=False, sort_keys=False)
        (OUT / f"{name}.archive.yaml").write_text(archive, encoding="utf-8")
    (OUT / "cases.jsonl").write_text("\n".join(cases) + "\n", encoding="utf-8")
    (OUT / "lines.jsonl").write_text("\n".join(lines) + "\n", encoding="utf-8")


if __name__ == "__main__":
    main()
