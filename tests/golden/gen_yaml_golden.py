#!/usr/bin/python3
"""Writes the YAML golden files from PyYAML, the reference our YAML module matches.

Run from anywhere with the system Python that has PyYAML 6.0:
    /usr/bin/python3 tests/golden/gen_yaml_golden.py

Outputs, under tests/golden/yaml/:
  dump_corpus.jsonl   one {"name", "value"} per line: the typed input of a dump case
  dump/<name>.yaml    the bytes of yaml.dump(value, default_flow_style=False, sort_keys=False)
  load_corpus.jsonl   one {"name", "yaml", "value"} or {"name", "yaml", "error": true} per
                      line: what yaml.safe_load makes of the text

Typed encoding (plain JSON, ASCII only), decoded by tests/core/yaml_test.cpp:
  null, true, false, strings, arrays    themselves
  integers within 64 bits               JSON integers
  {"$int": "<digits>"}                  integers beyond 64 bits
  {"$float": "<repr>"}                  floats, as Python's repr ("inf", "nan" included)
  {"$date": [y, m, d]}                  dates
  {"$datetime": [y, m, d, H, M, S, us, offset]}
                                        date-times; offset in minutes east of UTC, or null
  {"$map": [[key, value], ...]}         mappings, in order (keys are strings)

The dump values are rebuilt from their encoding before dumping, so no two places
share one Python object (PyYAML would write anchors for those) and the C++ test
rebuilds exactly what was dumped.
"""

import datetime
import json
import math
import os
import sys

import yaml

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "yaml")

UTC = datetime.timezone.utc


def tz(minutes):
    return datetime.timezone(datetime.timedelta(minutes=minutes))


def encode(v):
    if v is None or isinstance(v, bool) or isinstance(v, str):
        return v
    if isinstance(v, int):
        return v if -(2**63) <= v < 2**63 else {"$int": str(v)}
    if isinstance(v, float):
        return {"$float": repr(v)}
    if isinstance(v, datetime.datetime):
        off = v.utcoffset()
        minutes = None if off is None else int(off.total_seconds()) // 60
        return {"$datetime": [v.year, v.month, v.day, v.hour, v.minute, v.second,
                              v.microsecond, minutes]}
    if isinstance(v, datetime.date):
        return {"$date": [v.year, v.month, v.day]}
    if isinstance(v, list):
        return [encode(x) for x in v]
    if isinstance(v, dict):
        for k in v:
            if not isinstance(k, str):
                raise TypeError("golden mappings need string keys, got %r" % (k,))
        return {"$map": [[k, encode(x)] for k, x in v.items()]}
    raise TypeError("cannot encode %r" % (v,))


def decode(e):
    if isinstance(e, list):
        return [decode(x) for x in e]
    if not isinstance(e, dict):
        return e
    (tag, body), = e.items()
    if tag == "$int":
        return int(body)
    if tag == "$float":
        return float(body)
    if tag == "$date":
        return datetime.date(*body)
    if tag == "$datetime":
        zone = None if body[7] is None else tz(body[7])
        return datetime.datetime(*body[:7], tzinfo=zone)
    if tag == "$map":
        return {k: decode(x) for k, x in body}
    raise ValueError(tag)


def same(a, b):
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a):
        return math.isnan(b)
    if type(a) is not type(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


LONG_WORDS = ("The quick brown fox jumps over the lazy dog while the staged diff hash is "
              "computed twice and compared against the attestation on record.")
ATTESTATION = {
    "staged_diff_hash": "sha256:9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08",
    "timestamp": datetime.datetime(2024, 5, 1, 10, 0, 0, tzinfo=UTC),
    "agent_model": "claude-3-5-sonnet-20241022",
    "provenance": {
        "harness": "claude-code",
        "session_id": "0b7c1e2a-5f3d-4c61-9d8e-2f1a3b4c5d6e",
        "prompt_excerpt": "Refactor the parser so that 'yes' stays a string: \"quoted\"",
        "tools": ["Edit", "Bash", "Read"],
    },
    "rules": [
        {"id": "no-secrets", "checked": True, "applicable": True},
        {"id": "tests-pass", "checked": False, "applicable": True, "note": None},
        {"id": "license-header", "checked": False, "applicable": False},
    ],
    "changes": [
        {
            "path": "src/core/yaml.cpp",
            "status": "modified",
            "lines_added": 120,
            "lines_removed": 7,
            "architecture_elements": ["core", "core/yaml"],
        },
        {
            "path": "docs/ñandú.md",
            "status": "added",
            "lines_added": 3,
            "lines_removed": 0,
            "architecture_elements": [],
        },
    ],
    "summary": "Adds the YAML loader.\nKeeps PyYAML's typing: on, off, 0x1F, 3:20.\n"
               "Dates like 2024-05-01 stay dates.",
    "confidence": 0.85,
    "tokens": 123456789012345678901234567890,
}

DUMP_CASES = [
    # Scalars of every kind, at the top level (plain ones get a `...` line).
    ("null", None),
    ("true", True),
    ("false", False),
    ("int_zero", 0),
    ("int_negative", -42),
    ("int_max64", 2**63 - 1),
    ("int_min64", -(2**63)),
    ("bigint_positive", 2**64),
    ("bigint_negative", -(10**40)),
    ("float_one", 1.0),
    ("float_negative_zero", -0.0),
    ("float_tenth", 0.1),
    ("float_pi", 3.141592653589793),
    ("float_1e15", 1e15),
    ("float_1e16", 1e16),
    ("float_1e-05", 1e-05),
    ("float_tiny", 5e-324),
    ("float_inf", float("inf")),
    ("float_neg_inf", float("-inf")),
    ("float_nan", float("nan")),
    ("date", datetime.date(2024, 5, 1)),
    ("date_year_one", datetime.date(1, 1, 1)),
    ("datetime_naive", datetime.datetime(2024, 5, 1, 10, 0, 0)),
    ("datetime_utc", datetime.datetime(2024, 5, 1, 10, 0, 0, tzinfo=UTC)),
    ("datetime_offset", datetime.datetime(2024, 5, 1, 10, 0, 0, tzinfo=tz(330))),
    ("datetime_negative_offset", datetime.datetime(2024, 12, 31, 23, 59, 59, tzinfo=tz(-480))),
    ("datetime_micro", datetime.datetime(2024, 5, 1, 10, 0, 0, 123000, tzinfo=UTC)),
    ("datetime_one_micro", datetime.datetime(2024, 5, 1, 10, 0, 0, 1)),
    ("str_plain", "hello"),
    ("str_words", "hello world"),
    ("str_empty", ""),
    # Strings that would read back as something else if left plain.
    ("ambiguous_strings", ["yes", "Yes", "YES", "no", "on", "On", "off", "NO", "true", "False",
                           "y", "n", "yES", "123", "-42", "+7", "0x1F", "0o17", "017", "09",
                           "0b101", "1_000", "3:20", "1:20.5", ".5", "5.", "1e3", "1.0e+3",
                           "1.0e3", ".inf", "-.Inf", ".NaN", "2024-01-01", "2024-1-1",
                           "2024-01-01 10:00:00", "2024-01-01T10:00:00Z", "null", "Null", "NULL",
                           "nULL", "~", "<<", "=", "-", "?", ":", "--- x", "...", "-1:30"]),
    ("str_yes_top", "yes"),
    ("str_number_top", "123"),
    ("indicator_strings", ["- a", "? a", ": a", "a: b", "a:b", "a :b", "a #b", "a#b", "#a",
                           "[a]", "{a}", "a, b", "a,b", "!x", "&a", "*a", "|", ">", "%x", "@x",
                           "`x", "'a", '"a', "a'b", 'a"b', "it's \"both\"", ",", "a?", "x:"]),
    ("blanks", [" lead", "trail ", "  ", " ", "a  b", "\t", "a\tb", "tab\t"]),
    ("control_characters", ["\x00", "\x01\x07\x08\x1b\x7f", "\r", "a\r\nb", "\x0b\x0c",
                            "bell\x07end"]),
    ("non_ascii", ["é", "naïve café", "Ω≈ç√", "中文字符", "😀", "mixed 😀 emoji",
                   "\u2028", "\u2029", "\x85", "\xa0", "\ufeff", "\ufffd"]),
    ("multiline", ["line1\nline2", "a\n\nb", "trailing\n", "\nleading", "a \nb", "a\n b",
                   "\n", "x\n\n\n", "'quoted'\nline"]),
    ("long_with_spaces", LONG_WORDS),
    ("long_without_spaces", "x" * 100),
    ("long_in_map", {"description": LONG_WORDS, "hash": "ab" * 60}),
    ("long_single_quoted", "'" + LONG_WORDS + "'"),
    ("long_non_ascii", "Ünïcödé " + LONG_WORDS + " — fin"),
    ("long_multiline", LONG_WORDS + "\n" + LONG_WORDS),
    # Folding right after escapes measures the line one column short, as PyYAML does.
    ("long_escapes_at_width", "x " * 30 + "\U0001F600" * 3 + " end of it"),
    ("long_escapes_only", "\t" * 50 + "é" * 30),
    ("long_key", {"k" * 122: 1, "j" * 123: 2, "spaces " * 20: 3}),
    ("odd_keys", {"": "empty key", "yes": "bool-like key", "1": "int-like key",
                  "a\nb": "multi-line key", "a\rb": "carriage return key", "é": "non-ascii",
                  "- x": "dash", "<<": "merge-like key"}),
    # Collections.
    ("empty_list", []),
    ("empty_map", {}),
    ("list_of_empties", [[], {}, [[]], [{}]]),
    ("map_of_empties", {"a": [], "b": {}}),
    ("list_of_scalars", [1, "two", 3.0, None, True, datetime.date(2024, 5, 1)]),
    ("nested_lists", [[1, 2], [3, [4, [5, []]]]]),
    ("map_of_lists", {"fruits": ["apple", "banana"], "empty": [], "nested": [["x"]]}),
    ("list_of_maps", [{"name": "a", "tags": ["x", "y"]}, {"name": "b", "meta": {"k": "v"}}]),
    ("nested_maps", {"a": {"b": {"c": {"d": "deep"}}}, "e": 1}),
    ("deep_mixed", {"l": [{"m": [{"n": [1, {"o": []}]}]}]}),
    ("map_all_kinds", {"null": None, "bool": False, "int": 7, "big": 2**70, "float": 2.5,
                       "str": "s", "date": datetime.date(2000, 2, 29),
                       "datetime": datetime.datetime(2000, 2, 29, 23, 59, 59, 999999,
                                                     tzinfo=tz(-90))}),
    ("big_integers", [2**63, -(2**63) - 1, 10**30, -(10**30), 2**200]),
    ("floats", [1.5, -2.25, 123456789.125, 1.5e300, -1e-300, 1e16, 1.2345678901234567e-7,
                float("inf"), float("nan")]),
    ("dates_and_times", [datetime.date(2024, 5, 1),
                         datetime.datetime(2024, 5, 1, 10, 0, 0),
                         datetime.datetime(2024, 5, 1, 10, 0, 0, tzinfo=UTC),
                         datetime.datetime(2024, 5, 1, 10, 0, 0, tzinfo=tz(60)),
                         datetime.datetime(2024, 5, 1, 10, 0, 0, 123000, tzinfo=tz(-300)),
                         datetime.datetime(2024, 5, 1, 10, 0, 0, 500)]),
    ("attestation", ATTESTATION),
]

LOAD_CASES = [
    # Booleans: three casings only.
    ("bool_words", "[yes, Yes, YES, no, No, NO, true, True, TRUE, false, False, FALSE, "
                   "on, On, ON, off, Off, OFF]"),
    ("bool_lookalikes", "[yES, y, n, Y, N, tRUE, oN, 'yes', \"on\"]"),
    ("null_forms", "[~, null, Null, NULL, nULL, '', '~', \"null\"]"),
    ("null_empty_values", "a:\nb: ~\nc: !!null whatever\n"),
    ("int_decimal", "[0, -0, +12, -42, 1_000, 12_, 9223372036854775807, -9223372036854775808]"),
    ("int_bases", "[0x1F, -0x1f, 0x_1F, 0b1010, -0b1_0, 017, 0_17, +017, 00, 09, 0o17, 08_1]"),
    ("int_sexagesimal", "[3:20, -1:30:00, 190:20:30, 1:60, 1:5, 0:30, 1_0:20]"),
    ("int_big", "[18446744073709551616, -9223372036854775809, 0xFFFFFFFFFFFFFFFFFFFF, "
                "0b" + "1" * 70 + ", 07777777777777777777777777, 123456789012:00:59]"),
    ("float_forms", "[1.0, .5, 5., -.5, 1e3, 1.0e+3, 1.0e3, 1.0E-3, 1_000.5_0, 6.8523015e+5, "
                    "685.230_15e+03, +12.5, -0.0, 0.1]"),
    ("float_sexagesimal", "[1:20.5, 190:20:30.15, -1:00.5, 1:20.]"),
    ("float_special", "[.inf, -.Inf, +.INF, .nan, .NaN, .NAN, inf, -.inF, 1.0e+400, -1.0e+400, "
                      "1.0e-400]"),
    ("timestamps", "[2001-12-14t21:59:43.10-05:00, 2001-12-14 21:59:43.10 -5, "
                   "2001-12-15 2:59:43.10, 2002-12-14, 2001-12-14T21:59:43Z, "
                   "2024-05-01 10:00:00.1234567, 2024-1-1, 2024-1-1 1:02:03, 2024-02-29, "
                   "2001-12-14 21:59:43 +05:30, 2001-12-14 21:59:43z, '2024-05-01']"),
    ("timestamp_bad_date", "2023-02-29"),
    ("timestamp_bad_month", "2024-13-01"),
    ("timestamp_bad_hour", "2024-01-01 24:00:00"),
    ("timestamp_bad_offset", "2024-01-01 10:00:00 +24:00"),
    ("timestamp_year_zero", "0000-01-01"),
    ("strings_plain", "[hello world, a:b, 'single', \"double\\ttab\", -x, 1.2.3, 0x, 0b2, "
                      "._, 1__, +_1, 1e+3.5, 1.e3, 2024-01-01x, <<x, ==]"),
    ("quoted_are_strings", "['123', \"yes\", '~', \"2024-05-01\", '1.5', \"\", '3:20']"),
    ("block_scalars", "literal: |\n  line 1\n  line 2\nfolded: >\n  folded\n  text\n\n  para\n"
                      "strip: |-\n  x\nkeep: |+\n  y\n\nnumber: |\n  123\n"),
    ("multiline_plain", "key: this is\n  a multi-line\n\n  plain scalar\n"),
    ("quoted_folding", "a: \"first\n  second \\\n  third\"\nb: 'it''s\n\n  here'\n"),
    ("escapes", "[\"\\x41\\u00e9\\U0001F600\", \"\\0\\a\\b\\t\\n\\v\\f\\r\\e\\ \\\"\\/\\\\\", "
                "\"\\N\\_\\L\\P\"]"),
    ("explicit_tags", "[!!str 123, !!int '42', !!float 1, !!float '1e3', !!bool yES, "
                      "!!timestamp 2024-5-1, !!int 0o17, !!str , ! 12, ! '7', !!seq [1], !!map {a: 1}, "
                      "!!int -0x10, !!float .5, !!str yes]"),
    ("verbatim_tag", "!<tag:yaml.org,2002:str> 12"),
    ("tag_directive", "%TAG !e! tag:yaml.org,2002:\n---\n!e!int '7'\n"),
    ("tag_bad_int", "!!int abc"),
    ("tag_bad_bool", "!!bool maybe"),
    ("tag_unknown", "!foo bar"),
    ("tag_unknown_on_map", "!python/object {a: 1}"),
    ("tag_python", "!!python/object:os.system {}"),
    ("tag_str_on_seq", "!!str [1]"),
    ("tag_map_on_seq", "!!map [1]"),
    ("nested", "a:\n  b:\n  - 1\n  - c: d\n    e: [f, {g: h}]\n  - - x\n    - y\n"),
    ("flow", "{a: [1, 2, {b: c}], d: {}, e: [], 'f': \"g\"}"),
    ("comments", "# head\na: 1 # trailing\n# middle\nb: '# not a comment'\nc: x#y\n"),
    ("duplicate_keys", "a: 1\nb: 2\na: 3\n"),
    ("anchors", "base: &b {x: 1, y: [1, 2]}\ncopy: *b\nscalar: &s hello\nagain: *s\n"
                "list: &l [a, b]\nlists: [*l, *l]\n"),
    ("merge_single", "base: &b {x: 1, y: 2}\nderived:\n  <<: *b\n  y: 3\n  z: 4\n"),
    ("merge_list", "a: &a {x: 1, k: a}\nb: &b {y: 2, k: b}\nc:\n  <<: [*a, *b]\n  z: 3\n"),
    ("merge_order", "a: &a {p: 1, q: 2}\nb: &b {q: 3, r: 4}\nc: {s: 0, <<: [*a, *b], p: 9}\n"),
    ("merge_nested", "a: &a {x: 1}\nb: &b {<<: *a, y: 2}\nc: {<<: *b, z: 3}\n"),
    ("merge_inline", "c:\n  <<: {x: 1}\n  <<: [{y: 2}]\n  z: 3\n"),
    ("merge_quoted_key", "a: {'<<': {x: 1}}\n"),
    ("merge_bad_scalar", "a: {<<: 1}\n"),
    ("merge_bad_list_item", "a: {<<: [1]}\n"),
    ("value_key", "{=: 1, a: 2}"),
    ("document_start", "--- a\n"),
    ("document_end", "a: 1\n...\n"),
    ("empty_stream", ""),
    ("only_comments", "# nothing here\n"),
    ("empty_document", "---\n...\n"),
    ("two_documents", "a\n---\nb\n"),
    ("bad_unclosed_quote", "a: 'unclosed\n"),
    ("bad_indentation", "a:\n  b: 1\n c: 2\n"),
    ("bad_tab_indent", "a:\n\tb: 1\n"),
    ("bad_flow", "[a, b\n"),
    ("bad_mapping_in_plain", "a: b: c\n"),
    ("undefined_alias", "a: *nowhere\n"),
    ("duplicate_anchor", "a: &x 1\nb: &x 2\n"),
    ("collection_key", "? [a, b]\n: c\n"),
    ("unicode", "name: \"na\\u00efve\"\nraw: naïve café 😀\n"),
]


def write(path, data):
    with open(path, "w", encoding="ascii", newline="") as f:
        f.write(data)


def main():
    if not yaml.__version__.startswith("6."):
        sys.exit("PyYAML 6 expected, found %s" % yaml.__version__)
    os.makedirs(os.path.join(OUT, "dump"), exist_ok=True)
    names = set()

    dump_lines = []
    for name, value in DUMP_CASES:
        assert name not in names, name
        names.add(name)
        encoded = encode(value)
        fresh = decode(json.loads(json.dumps(encoded)))
        assert same(fresh, value), name
        text = yaml.dump(fresh, default_flow_style=False, sort_keys=False)
        assert same(yaml.safe_load(text), value) or name == "odd_keys", name
        write(os.path.join(OUT, "dump", name + ".yaml"), text)
        dump_lines.append(json.dumps({"name": name, "value": encoded}, ensure_ascii=True))
    write(os.path.join(OUT, "dump_corpus.jsonl"), "\n".join(dump_lines) + "\n")

    load_lines = []
    for name, text in LOAD_CASES:
        assert name not in names, name
        names.add(name)
        record = {"name": name, "yaml": text}
        try:
            loaded = yaml.safe_load(text)
        except Exception:  # PyYAML lets ValueError and others through: all are refusals
            record["error"] = True
        else:
            record["value"] = encode(loaded)
        load_lines.append(json.dumps(record, ensure_ascii=True))
    write(os.path.join(OUT, "load_corpus.jsonl"), "\n".join(load_lines) + "\n")
    print("wrote %d dump cases and %d load cases to %s" % (len(DUMP_CASES), len(LOAD_CASES), OUT))


if __name__ == "__main__":
    main()
