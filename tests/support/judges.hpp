#pragma once

// The readers users' tools are built on, as judges of the files kolvex edits:
// Python's tomllib for TOML, Node's JSON.parse for JSON (Python's json where Node
// is missing).  Each reads the text on its standard input.

#include "core/process.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace kolvex::testing {

namespace judges_detail {

inline core::process::Result judge(std::vector<std::string> argv, const std::string& text)
{
  core::process::Options options;
  options.input = text;
  options.timeout = std::chrono::milliseconds(30'000);
  return core::process::run(argv, options);
}

} // namespace judges_detail

// `text` as tomllib reads it, dumped as JSON (sorted keys), or nullopt when tomllib
// refuses it.
inline std::optional<std::string> toml_as_json(const std::string& text)
{
  const auto result = judges_detail::judge(
      {"python3",
       "-c",
       "import json,sys,tomllib\n"
       "print(json.dumps(tomllib.loads(sys.stdin.buffer.read().decode()), sort_keys=True,"
       " default=str))"},
      text);
  if (result.exit_code != 0) {
    return std::nullopt;
  }
  return result.out;
}

// Whether JSON.parse accepts `text`.
inline bool json_parses(const std::string& text)
{
  if (core::process::find_program("node")) {
    return judges_detail::judge({"node",
                                 "-e",
                                 "let s='';process.stdin.setEncoding('utf8');"
                                 "process.stdin.on('data',d=>s+=d);"
                                 "process.stdin.on('end',()=>JSON.parse(s))"},
                                text)
               .exit_code == 0;
  }
  return judges_detail::judge({"python3",
                               "-c",
                               "import json,sys\n"
                               "json.loads(sys.stdin.buffer.read().decode(),"
                               " parse_constant=lambda c: 1/0)"},
                              text)
             .exit_code == 0;
}

} // namespace kolvex::testing
