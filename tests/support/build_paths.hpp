// Where the build put what the tests run, and where the tests' data lies.  Every
// test file sees these names (the build force-includes this header); only
// build_paths.cpp is compiled with the paths themselves, so that the other test
// objects' compile commands are the same in every checkout and a compiler cache
// filled by one clone serves the next.
#pragma once

namespace kolvex::testing::build {
const char* kolvex_bin();
const char* devserver_bin();
const char* source_dir();
const char* golden_dir();
const char* fixtures_dir();
const char* tools_dir();
} // namespace kolvex::testing::build

#define KOLVEX_BIN (::kolvex::testing::build::kolvex_bin())
#define KOLVEX_DEVSERVER_BIN (::kolvex::testing::build::devserver_bin())
#define KOLVEX_SOURCE_DIR (::kolvex::testing::build::source_dir())
#define KOLVEX_GOLDEN_DIR (::kolvex::testing::build::golden_dir())
#define KOLVEX_FIXTURES_DIR (::kolvex::testing::build::fixtures_dir())
#define KOLVEX_TOOLS_DIR (::kolvex::testing::build::tools_dir())
