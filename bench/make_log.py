"""Writes an attestation log as the capture path writes it, for the benchmarks:
realistic records (attested and not, developer and telemetry maps, some non-ASCII),
one in <unsent every> not yet sent (0: all sent).
Usage: python3 make_log.py <file> <lines> <unsent every>"""
import hashlib
import json
import sys

path, total, every = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
with open(path, "w") as out:
    for i in range(total):
        sha = hashlib.sha1(b"scale %d" % i).hexdigest()
        e = {"commit": sha, "branch": "main", "timestamp": "2025-06-01T10:00:00Z",
             "agent": "claude-code" if i % 3 else "unknown",
             "summary": ("Refactor the caf\u00e9 menu \u2014 step %d" if i % 10 == 0
                         else "Change number %d to the billing service") % i,
             "synced": every == 0 or i % every != 0}
        if i % 3 == 0:
            e["event"] = "commit_unattested"
        e["developer"] = {"git_author_name": "Dev %d" % (i % 7),
                          "git_author_email": "dev%d@example.com" % (i % 7)}
        if i % 3:
            e["agent_session_id"] = "sess-%d" % (i // 20)
            e["telemetry"] = {"model": "claude-opus-4-6",
                              "tokens": {"input": 1000 + i % 997, "output": 200 + i % 89},
                              "source": "post_commit", "agent_runtime": "claude-code"}
        out.write(json.dumps(e) + "\n")
