#pragma once

// Values as the commands take them from a user and give them back in words.

#include <CLI/CLI.hpp>

#include <string>
#include <string_view>

namespace kolvex::frontend {

// `count` and `noun`, the noun taking an "s" unless the count is one: "1 record",
// "0 records", "2 notes".
[[nodiscard]] std::string counted(long long count, std::string_view noun);

// Accepts an id of the cloud service as a user types it: decimal digits only (no
// sign, no 0x), from 1 to the largest 64-bit integer; anything else is refused with a
// message naming the value, before CLI11 converts (and would clamp or round) it.
[[nodiscard]] CLI::Validator id_number();

} // namespace kolvex::frontend
