#pragma once

// The local API server (tools/kolvex-devserver) for one test:
//
//   kolvex::testing::DevServer server;                        // free loopback port
//   kolvex::testing::DevServer slow({.args = {"--delay", "attestations=5000"}});
//   client.upload_attestations(server.target(), ...);
//
// It starts the real server on port 0, reads the port from its first line
// ("listening on http://127.0.0.1:<port>") and stops it with SIGTERM when the object
// goes out of scope.  Its database and request log live in a temporary directory
// that goes with it.  BackgroundProcess, which it is built on, runs any other
// server a test needs (openssl s_server for TLS).  Header-only, like repo.hpp.

#include "contracts/api_client.hpp"
#include "core/json.hpp"
#include "support/repo.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kolvex::testing {

// A child process that runs beside a test: started with `argv` (no shell), its
// stdout read line by line until one starts with what the test waits for, its
// stderr kept in `log_path`, and SIGTERM (SIGKILL after 10 s) when it goes.
class BackgroundProcess {
public:
  BackgroundProcess(const std::vector<std::string>& argv, const stdfs::path& log_path)
  {
    if (::pipe2(m_out, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, m_out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(
        &actions, STDERR_FILENO, log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> args;
    for (const std::string& arg : argv) {
      args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const int rc = ::posix_spawnp(&m_pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(m_out[1]);
    if (rc != 0) {
      ::close(m_out[0]);
      m_pid = -1;
      throw std::runtime_error("cannot start " + argv[0]);
    }
  }
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;
  ~BackgroundProcess()
  {
    (void)stop();
    ::close(m_out[0]);
  }

  // The first stdout line that starts with `prefix` (earlier lines are skipped), or
  // "" when none came within `limit`.
  std::string wait_for_line(std::string_view prefix,
                            std::chrono::seconds limit = std::chrono::seconds(20))
  {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string line;
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd waiting{m_out[0], POLLIN, 0};
      if (::poll(&waiting, 1, 100) <= 0) {
        continue;
      }
      char c = 0;
      if (::read(m_out[0], &c, 1) <= 0) {
        break;
      }
      if (c != '\n') {
        line += c;
      } else if (line.starts_with(prefix)) {
        return line;
      } else {
        line.clear();
      }
    }
    return "";
  }

  // Sends SIGTERM and waits (SIGKILL after 10 s); returns the exit status, -1 when
  // it had to be killed.  Later calls return the first answer.
  int stop()
  {
    if (m_pid > 0) {
      ::kill(m_pid, SIGTERM);
      m_status = wait_for_exit(std::chrono::seconds(10));
      m_pid = -1;
    }
    return m_status;
  }

private:
  int wait_for_exit(std::chrono::seconds limit)
  {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
      if (done == m_pid) {
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      if (done < 0 && errno != EINTR) {
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, &status, 0);
    return -1;
  }

  int m_out[2] = {-1, -1};
  pid_t m_pid = -1;
  int m_status = -1;
};

// How to start a DevServer.
struct DevServerOptions {
  // The one key the server accepts.
  std::string api_key = "sk-devserver-test-key-0123456789";
  // Extra arguments: --fail, --delay, --refuse, --content ...
  std::vector<std::string> args{};
};

class DevServer {
public:
  using Options = DevServerOptions;

  explicit DevServer(Options options = {}) : m_api_key(std::move(options.api_key))
  {
    std::vector<std::string> argv{KOLVEX_DEVSERVER_BIN,
                                  "--db",
                                  (m_dir.path() / "server.sqlite").string(),
                                  "--api-key",
                                  m_api_key};
    argv.insert(argv.end(), options.args.begin(), options.args.end());
    m_process = std::make_unique<BackgroundProcess>(argv, m_dir.path() / "server.log");
    static const std::string k_prefix = "listening on http://127.0.0.1:";
    const std::string line = m_process->wait_for_line(k_prefix);
    if (line.empty()) {
      (void)stop();
      throw std::runtime_error("kolvex-devserver did not start: " + log());
    }
    m_port = std::stoi(line.substr(k_prefix.size()));
    m_url = "http://127.0.0.1:" + std::to_string(m_port);
  }

  // "http://127.0.0.1:<port>", the API URL to hand the client.
  [[nodiscard]] const std::string& url() const { return m_url; }
  [[nodiscard]] int port() const { return m_port; }
  [[nodiscard]] const std::string& api_key() const { return m_api_key; }
  // The server's URL and key, as the client takes them.
  [[nodiscard]] contracts::ApiTarget target() const { return {.url = m_url, .key = m_api_key}; }
  // What the server wrote to stderr so far: one "METHOD path status" line per request.
  [[nodiscard]] std::string log() const { return m_dir.read("server.log"); }
  // Stops the server (SIGTERM); returns its exit status (0 for a clean stop).
  int stop() { return m_process->stop(); }

  // The body of `GET <path>` with the server's key, over a plain socket: for what the
  // client has no operation for, such as the admin listing
  // ("/v1/_admin/attestations?project=1").  Throws when the server cannot be reached.
  [[nodiscard]] std::string get(const std::string& path) const
  {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(m_port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      if (fd >= 0) {
        ::close(fd);
      }
      throw std::runtime_error("cannot reach kolvex-devserver");
    }
    const std::string request = "GET " + path +
                                " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
                                m_api_key + "\r\nConnection: close\r\n\r\n";
    (void)!::write(fd, request.data(), request.size());
    std::string reply;
    char buffer[65536];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
      reply.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    const std::size_t body = reply.find("\r\n\r\n");
    return body == std::string::npos ? "" : reply.substr(body + 4);
  }

  // The attestations the server stored for `project`, from its admin listing; none
  // when it has no such project (its answer is then an error object).
  [[nodiscard]] core::List attestations(std::int64_t project = 1) const
  {
    const core::Value listing =
        core::json::parse(get("/v1/_admin/attestations?project=" + std::to_string(project)));
    const core::Value* found = listing.get("attestations");
    return found != nullptr && found->is_list() ? found->as_list() : core::List{};
  }

private:
  TempDir m_dir;
  std::string m_api_key;
  std::unique_ptr<BackgroundProcess> m_process;
  int m_port = 0;
  std::string m_url;
};

} // namespace kolvex::testing
