#pragma once

// Collects what the code under test writes to a standard descriptor (1 or 2) while
// the capture lives; used to check what goes to stderr and that stdout stays clean.

#include <cstdio>
#include <string>

#include <unistd.h>

namespace kolvex::testing {

class FdCapture {
public:
  // Redirects descriptor `fd` into a temporary file.
  explicit FdCapture(int fd) : m_fd(fd), m_file(std::tmpfile()), m_saved(::dup(fd))
  {
    std::fflush(nullptr);
    ::dup2(::fileno(m_file), fd);
  }
  FdCapture(const FdCapture&) = delete;
  FdCapture& operator=(const FdCapture&) = delete;
  ~FdCapture()
  {
    std::fflush(nullptr);
    ::dup2(m_saved, m_fd);
    ::close(m_saved);
    std::fclose(m_file);
  }
  // Everything written so far.
  [[nodiscard]] std::string text() const
  {
    std::fflush(nullptr);
    std::string out;
    std::rewind(m_file);
    char buffer[4096];
    while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, m_file)) {
      out.append(buffer, n);
    }
    return out;
  }

private:
  int m_fd;
  std::FILE* m_file;
  int m_saved;
};

} // namespace kolvex::testing
