#include "version.hpp"

namespace kolvex {

std::string_view version()
{
  return KOLVEX_VERSION;
}

} // namespace kolvex
