#include "support/build_paths.hpp"

namespace kolvex::testing::build {
const char* kolvex_bin()
{
  return KOLVEX_BUILD_KOLVEX_BIN;
}
const char* devserver_bin()
{
  return KOLVEX_BUILD_DEVSERVER_BIN;
}
const char* source_dir()
{
  return KOLVEX_BUILD_SOURCE_DIR;
}
const char* golden_dir()
{
  return KOLVEX_BUILD_GOLDEN_DIR;
}
const char* fixtures_dir()
{
  return KOLVEX_BUILD_FIXTURES_DIR;
}
const char* tools_dir()
{
  return KOLVEX_BUILD_TOOLS_DIR;
}
} // namespace kolvex::testing::build
