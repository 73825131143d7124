#!/usr/bin/env python3
"""Writes the golden files of the JSON writer with Python's own json module.

tests/golden/json/corpus.jsonl   one case per line: {"name": ..., "value": <tagged value>}
tests/golden/json/dump.txt       line i: json.dumps(value_i, default=str)
tests/golden/json/indented.txt   "=== i name" then json.dumps(value_i, indent=2, default=str)

Tagged values let the C++ test rebuild exactly the Python value without trusting the
number parser under test: {"$int": "digits"}, {"$float": "repr"} (inf, -inf, nan
included), {"$date": "YYYY-MM-DD"}, {"$datetime": [y, mo, d, h, mi, s, us, offset
minutes or null]}. Strings, booleans, null, lists and maps are plain JSON; no map of
the corpus has a single key starting with "$".

Run from anywhere: python3 tests/golden/gen_json_golden.py
"""
import datetime as dt
import json
import math
import pathlib

OUT = pathlib.Path(__file__).resolve().parent / "json"


def tz(minutes):
    return dt.timezone(dt.timedelta(minutes=minutes))


LONG_WORD = "x" * 97 + "END"
LONG_TEXT = ("The quick brown fox jumps over the lazy dog while the agent commits "
             "its work and the hook records every step of it, line by line.")

LOG_LINE = {
    "commit": "3f2a9c1e5b7d4f60a8e2c9b1d3f5a7c9e1b3d5f7",
    "branch": "feature/json-writer",
    "timestamp": "2024-05-01T10:00:00+00:00",
    "agent": "claude_code",
    "summary": "Add the JSON writer: \"byte-identical\" output, caf\u00e9 \u2713",
    "synced": False,
    "developer": {"name": "Ada Lovelace", "email": "ada@example.com"},
    "telemetry": {"tokens": {"input": 12345, "output": 678, "cache_read": 0},
                  "cost_usd": 0.0421, "duration_s": 12.5},
}

CASES = [
    # scalars
    ("null", None),
    ("true", True),
    ("false", False),
    ("int zero", 0),
    ("int one", 1),
    ("int negative", -1),
    ("int 42", 42),
    ("int64 max", 2**63 - 1),
    ("int64 min", -2**63),
    ("beyond int64 max", 2**63),
    ("beyond int64 min", -2**63 - 1),
    ("uint64 max", 2**64 - 1),
    ("2 to the 64", 2**64),
    ("big positive", 10**30),
    ("big negative", -(10**40) - 7),
    ("float 1.0", 1.0),
    ("float 1e16", 1e16),
    ("float 1e-05", 1e-05),
    ("float negative zero", -0.0),
    ("float inf", math.inf),
    ("float -inf", -math.inf),
    ("float nan", math.nan),
    ("float 0.1", 0.1),
    ("float 0.0001", 0.0001),
    ("float 1e22", 1e22),
    ("float 123.0", 123.0),
    ("float 1e15 plus", 999999999999999.9),
    ("float max", 1.7976931348623157e308),
    ("float min subnormal", 5e-324),
    ("float 3.14", 3.14),
    ("float -2.5e-10", -2.5e-10),
    # strings that another reader could take for something else
    ("empty string", ""),
    ("yes", "yes"),
    ("on", "on"),
    ("NO", "NO"),
    ("digits", "123"),
    ("hex", "0x1F"),
    ("underscored", "1_000"),
    ("sexagesimal", "3:20"),
    ("dot five", ".5"),
    ("exponent", "1e3"),
    ("date-like", "2024-01-01"),
    ("null word", "null"),
    ("tilde", "~"),
    ("two single quotes", "''"),
    ("merge key", "<<"),
    ("equals", "="),
    ("NaN word", "NaN"),
    ("Infinity word", "-Infinity"),
    # blanks and punctuation
    ("leading blank", " leading"),
    ("trailing blank", "trailing "),
    ("both blanks", "  both  "),
    ("colon space", "key: value"),
    ("dash space", "- item"),
    ("hash inside", "a # not a comment"),
    ("hash first", "#start"),
    ("double quotes", 'say "hi"'),
    ("single quotes", "it's"),
    ("both quotes", "'single' and \"double\""),
    ("backslashes", "C:\\path\\to\\file \\n not a newline"),
    ("slash", "a/b</script>"),
    ("tab", "tab\there"),
    ("control characters", "\x00\x01\x07\x08\x0b\x0c\x0e\x1b\x1f\x7f end"),
    ("newline only", "\n"),
    ("carriage return", "a\r\nb\rc"),
    ("multi-line", "line one\nline two\n\n  indented line\n"),
    # non-ASCII
    ("latin-1", "caf\u00e9 na\u00efve r\u00e9sum\u00e9 \u00ff"),
    ("greek", "\u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac"),
    ("cjk", "\u65e5\u672c\u8a9e\u306e\u30c6\u30ad\u30b9\u30c8"),
    ("emoji", "ship it \U0001F680\U0001F600"),
    ("astral music", "\U0001D11E clef"),
    ("highest code point", "\U0010FFFF"),
    ("line separators", "\u2028\u2029\u0085"),
    ("bom and nonchar", "\ufeff\uffff\ufffd"),
    ("combining", "e\u0301"),
    # long strings
    ("long without spaces", LONG_WORD),
    ("long with spaces", LONG_TEXT),
    ("long multi-line", (LONG_TEXT + "\n") * 3),
    # dates and date-times
    ("date", dt.date(2024, 5, 1)),
    ("date year 1", dt.date(1, 1, 1)),
    ("date year 9999", dt.date(9999, 12, 31)),
    ("datetime naive", dt.datetime(2024, 5, 1, 10, 0, 0)),
    ("datetime utc", dt.datetime(2024, 5, 1, 10, 0, 0, tzinfo=dt.timezone.utc)),
    ("datetime +05:30", dt.datetime(2024, 5, 1, 10, 0, 0, tzinfo=tz(330))),
    ("datetime -08:00", dt.datetime(2023, 12, 31, 23, 59, 59, tzinfo=tz(-480))),
    ("datetime -00:30", dt.datetime(2024, 2, 29, 0, 0, 1, tzinfo=tz(-30))),
    ("datetime micro naive", dt.datetime(2024, 5, 1, 10, 0, 0, 123000)),
    ("datetime micro utc", dt.datetime(2024, 5, 1, 10, 0, 0, 1, tzinfo=dt.timezone.utc)),
    ("datetime micro +14:00", dt.datetime(2024, 5, 1, 10, 0, 0, 999999, tzinfo=tz(840))),
    # collections
    ("empty list", []),
    ("empty map", {}),
    ("list of empties", [[], {}, [[]], {"a": {}}]),
    ("flat list", [1, "two", 3.0, None, True, False]),
    ("flat map", {"b": 1, "a": 2, "c": 3}),
    ("map keeps order", {"z": 1, "y": {"x": 2, "w": [3]}, "a": None}),
    ("keys needing escapes", {"": 0, "a\"b": 1, "tab\tkey": 2, "caf\u00e9": 3,
                              "\U0001F600": 4, "line\nbreak": 5}),
    ("nested lists", [[1, [2, [3, [4, []]]]], "x"]),
    ("nested mixed", {"list": [{"k": [1, 2, {"deep": [None]}]}, []],
                      "map": {"inner": {"more": {}}}}),
    ("scalars in a map", {"int": 7, "big": 2**70, "float": 0.5, "nan": math.nan,
                          "inf": math.inf, "neg": -0.0, "none": None, "bool": True}),
    ("dates in collections", {"when": dt.date(2024, 5, 1),
                              "times": [dt.datetime(2024, 5, 1, 10, 0, tzinfo=dt.timezone.utc),
                                        dt.datetime(2024, 5, 1, 10, 0, 0, 500)]}),
    ("ambiguous strings list", ["yes", "on", "NO", "123", "~", "null", "", "''"]),
    ("log line", LOG_LINE),
    ("list of log lines", [LOG_LINE, {"commit": "0" * 40, "synced": True}]),
    ("deep nesting", [[[[[[[[[[[[[[[[[[[[{"level": 21}]]]]]]]]]]]]]]]]]]]]),
]


def tag(value):
    """The corpus form of `value` (see the module docstring)."""
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, int):
        return {"$int": str(value)}
    if isinstance(value, float):
        return {"$float": repr(value)}
    if isinstance(value, dt.datetime):
        offset = value.utcoffset()
        minutes = None if offset is None else int(offset.total_seconds()) // 60
        return {"$datetime": [value.year, value.month, value.day, value.hour, value.minute,
                              value.second, value.microsecond, minutes]}
    if isinstance(value, dt.date):
        return {"$date": value.isoformat()}
    if isinstance(value, list):
        return [tag(item) for item in value]
    if isinstance(value, dict):
        assert not (len(value) == 1 and next(iter(value)).startswith("$")), value
        return {key: tag(item) for key, item in value.items()}
    raise TypeError(type(value))


def main():
    OUT.mkdir(exist_ok=True)
    names = [name for name, _ in CASES]
    assert len(names) == len(set(names)), "case names must be unique"
    corpus, dumps, indented = [], [], []
    for index, (name, value) in enumerate(CASES):
        corpus.append(json.dumps({"name": name, "value": tag(value)}))
        dumps.append(json.dumps(value, default=str))
        indented.append(f"=== {index} {name}\n{json.dumps(value, indent=2, default=str)}\n")
    (OUT / "corpus.jsonl").write_text("\n".join(corpus) + "\n", encoding="ascii")
    (OUT / "dump.txt").write_text("\n".join(dumps) + "\n", encoding="ascii")
    (OUT / "indented.txt").write_text("".join(indented), encoding="ascii")
    print(f"{len(CASES)} cases written to {OUT}")


if __name__ == "__main__":
    main()
