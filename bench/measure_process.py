"""Runs a command in a directory and writes what it cost as JSON: wall seconds, CPU
seconds (user + system, its children included) and the bytes it handed to write(2)
and pwrite(2) (the `wchar` of /proc/<pid>/io, read before the process is reaped),
and the peak resident memory of the largest process in its tree, in bytes.
Usage: python3 measure_process.py <out.json> <dir> <command...>"""
import json
import os
import resource
import subprocess
import sys
import time

out, cwd, argv = sys.argv[1], sys.argv[2], sys.argv[3:]
start = time.monotonic()
before = resource.getrusage(resource.RUSAGE_CHILDREN)
child = subprocess.Popen(argv, cwd=cwd, stdin=subprocess.DEVNULL)
# Waits for the exit without reaping, so that its counters can still be read.
os.waitid(os.P_PID, child.pid, os.WEXITED | os.WNOWAIT)
written = 0
with open(f"/proc/{child.pid}/io") as io:
    for line in io:
        key, value = line.split(":")
        if key == "wchar":
            written = int(value)
code = child.wait()
wall = time.monotonic() - start
after = resource.getrusage(resource.RUSAGE_CHILDREN)
cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
# ru_maxrss of the children is the largest of those reaped so far: this is the
# only child this script starts, and the measure is its own process.
peak = after.ru_maxrss * 1024
json.dump({"wall": wall, "cpu": cpu, "written": written, "exit": code, "peak_rss": peak},
          open(out, "w"))
