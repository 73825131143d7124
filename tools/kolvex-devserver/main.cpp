// kolvex-devserver: the cloud API of kolvex on a loopback port, for tests, the demo
// and offline work.  Not shipped in kolvex.
#include "api.hpp"

#include <CLI/CLI.hpp>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <thread>

#include <pthread.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

using namespace kolvex::devserver;

// The payload limit sits well above the client's largest batch (6 MiB plus one
// oversized record); anything beyond is a 413.
constexpr std::size_t k_max_body = std::size_t{256} << 20;

void log_request(const httplib::Request& request, const httplib::Response& response)
{
  // One write per line, so the lines of concurrent requests never mix; headers
  // (and with them the key) are never logged.
  const std::string line =
      request.method + " " + request.path + " " + std::to_string(response.status) + "\n";
  (void)!::write(STDERR_FILENO, line.data(), line.size());
}

} // namespace

int main(int argc, char** argv)
{
  CLI::App app{"The kolvex cloud API on a loopback port, backed by SQLite, with faults on demand. "
               "Prints 'listening on http://127.0.0.1:<port>' first and serves until SIGTERM."};
  app.name("kolvex-devserver");
  std::string db;
  std::string content_dir;
  std::string api_key;
  int port = 0;
  std::vector<std::string> fails;
  std::vector<std::string> delays;
  std::vector<std::string> refusals;
  app.add_option("--db", db, "SQLite file for projects and attestations (created when missing)")
      ->required();
  app.add_option("--content", content_dir, "Directory of what the context endpoints serve")
      ->check(CLI::ExistingDirectory);
  app.add_option("--api-key", api_key, "The one API key accepted (Bearer)")->required();
  app.add_option("--port", port, "Port on 127.0.0.1; 0 (the default) picks a free one")
      ->check(CLI::Range(0, 65535));
  app.add_option("--fail",
                 fails,
                 "REGEX=STATUS[xN][@K]: answer requests whose path matches REGEX with STATUS "
                 "(N times, from the K-th match; always when xN is left out)");
  app.add_option("--delay", delays, "REGEX=MS: delay matching requests by MS milliseconds");
  app.add_option("--refuse",
                 refusals,
                 "REGEX=CODE: refuse matching requests with refusal CODE (key_rejected, "
                 "ambiguous_team, repo_ambiguous, repo_conflict, not_a_member, capacity, "
                 "bad_remote, or any other)");
  CLI11_PARSE(app, argc, argv);

  // Signals are taken by one thread with sigwait; every other thread (httplib's
  // pool included) inherits the blocked mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  try {
    Faults faults;
    for (const auto& spec : fails) {
      faults.add_fail(spec);
    }
    for (const auto& spec : delays) {
      faults.add_delay(spec);
    }
    for (const auto& spec : refusals) {
      faults.add_refuse(spec);
    }
    Store store(db);
    const Content content(content_dir.empty() ? std::nullopt
                                              : std::optional<std::filesystem::path>(content_dir));
    Api api(api_key, store, content, faults);

    httplib::Server server;
    server.set_payload_max_length(k_max_body);
    // Stopping waits for the threads that hold an idle keep-alive connection, so
    // keep that wait short: a client that pauses longer simply reconnects.
    server.set_keep_alive_timeout(1);
    server.set_logger(log_request);
    const auto handler = [&api](const httplib::Request& request, httplib::Response& response) {
      api.handle(request, response);
    };
    server.Get(".*", handler);
    server.Post(".*", handler);
    const int bound = port == 0 ? server.bind_to_any_port("127.0.0.1")
                                : (server.bind_to_port("127.0.0.1", port) ? port : -1);
    if (bound <= 0) {
      std::cerr << "kolvex-devserver: cannot listen on 127.0.0.1:" << port << "\n";
      return 1;
    }
    // stop() does nothing before listen_after_bind() is running, and a signal may
    // come right after the first line is printed: keep asking until it returns.
    std::atomic<bool> finished{false};
    std::thread stopper([&] {
      int signal = 0;
      sigwait(&stop_signals, &signal);
      api.stop();
      while (!finished.load()) {
        server.stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
    std::printf("listening on http://127.0.0.1:%d\n", bound);
    std::fflush(stdout);
    const bool served = server.listen_after_bind();
    finished.store(true);
    // After a failure the stopper still waits for its signal: send it one (a
    // pending extra one is harmless).
    if (!served) {
      ::kill(::getpid(), SIGTERM);
    }
    stopper.join();
    return served ? 0 : 1;
  } catch (const std::exception& e) {
    std::cerr << "kolvex-devserver: " << e.what() << "\n";
    return 1;
  }
}
