#include "core/process.hpp"
#include "core/process_secrets.hpp"

#include "core/deadline.hpp"
#include "core/text.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kolvex::core::process {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void throw_errno(int err, const std::string& what)
{
  throw std::system_error(err, std::generic_category(), what);
}

// Owns one descriptor.
class Fd {
public:
  Fd() = default;
  explicit Fd(int fd) : m_fd(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  [[nodiscard]] int get() const { return m_fd; }
  [[nodiscard]] bool open() const { return m_fd >= 0; }
  void reset(int fd = -1)
  {
    if (m_fd >= 0) {
      ::close(m_fd);
    }
    m_fd = fd;
  }

private:
  int m_fd = -1;
};

// A pipe whose descriptors are all above 2: were one of them 0-2 (the caller runs
// with a standard stream closed), the child's dup2 onto that number would be a no-op
// that leaves it close-on-exec.
struct Pipe {
  Fd read;
  Fd write;
};

int above_stdio(int fd)
{
  if (fd > 2) {
    return fd;
  }
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  const int err = errno;
  ::close(fd);
  if (moved < 0) {
    throw_errno(err, "fcntl(F_DUPFD_CLOEXEC)");
  }
  return moved;
}

void make_pipe(Pipe& pipe)
{
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    throw_errno(errno, "pipe2");
  }
  int read_end = -1;
  try {
    read_end = above_stdio(fds[0]);
  } catch (...) {
    ::close(fds[1]);
    throw;
  }
  pipe.read.reset(read_end);
  pipe.write.reset(above_stdio(fds[1]));
}

void set_nonblocking(int fd)
{
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    throw_errno(errno, "fcntl(O_NONBLOCK)");
  }
}

// posix_spawn's attribute and file-action objects, destroyed with the scope.
class SpawnSetup {
public:
  SpawnSetup()
  {
    if (const int rc = ::posix_spawn_file_actions_init(&m_actions); rc != 0) {
      throw_errno(rc, "posix_spawn_file_actions_init");
    }
    if (const int rc = ::posix_spawnattr_init(&m_attr); rc != 0) {
      ::posix_spawn_file_actions_destroy(&m_actions);
      throw_errno(rc, "posix_spawnattr_init");
    }
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  ~SpawnSetup()
  {
    ::posix_spawnattr_destroy(&m_attr);
    ::posix_spawn_file_actions_destroy(&m_actions);
  }
  posix_spawn_file_actions_t* actions() { return &m_actions; }
  posix_spawnattr_t* attr() { return &m_attr; }

private:
  posix_spawn_file_actions_t m_actions{};
  posix_spawnattr_t m_attr{};
};

void check(int rc, const char* what)
{
  if (rc != 0) {
    throw_errno(rc, what);
  }
}

// The started child.  Until reap() it stays unreaped (a zombie once it exits), which
// keeps its pid, and so the process group id we signal, from being reused.  The
// destructor kills and reaps a child that an exception left behind.
class Child {
public:
  Child(pid_t pid, Session session) : m_pid(pid), m_session(session)
  {
    // A pidfd becomes readable when the child exits, so poll() can wait for the exit
    // and the pipes together; without one (old kernels) we poll with short ticks.
    // Through syscall(2): glibc 2.36's <sys/pidfd.h> lacks C linkage in C++.
    m_pidfd.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child()
  {
    if (!m_reaped) {
      kill();
      reap();
    }
  }

  [[nodiscard]] int pidfd() const { return m_pidfd.get(); }

  // True once the child has exited; it is not reaped by asking.
  bool exited()
  {
    if (!m_exited) {
      siginfo_t info{};
      if (::waitid(P_PID, m_pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == m_pid) {
        m_exited = true;
      }
    }
    return m_exited;
  }

  // SIGKILL to the child, or to its whole group, which still exists while the child
  // is unreaped or while any grandchild lives.
  void kill()
  {
    if (m_session == Session::new_group) {
      ::killpg(m_pid, SIGKILL);
    } else if (!exited()) {
      ::kill(m_pid, SIGKILL);
    }
  }

  // Waits for the child (it has exited or been killed) and returns its exit code,
  // -1 for a death by signal.
  int reap()
  {
    int status = 0;
    pid_t rc = -1;
    do {
      rc = ::waitpid(m_pid, &status, 0);
    } while (rc < 0 && errno == EINTR);
    m_reaped = true;
    m_pidfd.reset();
    if (rc == m_pid && WIFEXITED(status)) {
      return WEXITSTATUS(status);
    }
    return -1;
  }

private:
  pid_t m_pid;
  Session m_session;
  Fd m_pidfd;
  bool m_exited = false;
  bool m_reaped = false;
};

// A write to a pipe whose reader has gone raises SIGPIPE, which would kill us.  The
// signal is blocked for the write and a SIGPIPE it raised is taken off the pending
// set, so only EPIPE is seen.
ssize_t write_without_sigpipe(int fd, const char* data, std::size_t size)
{
  sigset_t pipe_set;
  sigset_t old_mask;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  sigset_t pending_before;
  sigpending(&pending_before);
  const bool was_pending = sigismember(&pending_before, SIGPIPE) == 1;
  pthread_sigmask(SIG_BLOCK, &pipe_set, &old_mask);
  ssize_t n = -1;
  do {
    n = ::write(fd, data, size);
  } while (n < 0 && errno == EINTR);
  const int err = errno;
  if (n < 0 && err == EPIPE && !was_pending) {
    const timespec zero{};
    while (::sigtimedwait(&pipe_set, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  errno = err;
  return n;
}

// Reads what is available from a non-blocking pipe into `sink`; closes `fd` at end
// of file or on an error.
void read_available(Fd& fd, std::string& sink)
{
  char buffer[65536];
  // Bounded so that a child writing without pause cannot keep us here.
  for (int round = 0; round < 16 && fd.open(); ++round) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n > 0) {
      sink.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return;
    }
    fd.reset();
  }
}

int ceil_millis(Clock::duration d)
{
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(d).count();
  return static_cast<int>(std::clamp<long long>(ms, 0, 60'000));
}

// The names of variables that carry kolvex's own secrets (the API key, and any
// KOLVEX_ token, secret or password a later version adds).
bool is_secret(std::string_view entry)
{
  const std::string_view name = entry.substr(0, entry.find('='));
  if (!name.starts_with("KOLVEX_")) {
    return false;
  }
  for (const std::string_view word : {"KEY", "TOKEN", "SECRET", "PASSWORD", "CREDENTIAL"}) {
    if (name.find(word) != std::string_view::npos) {
      return true;
    }
  }
  return false;
}

std::atomic<bool> g_pass_secrets{false};

// The caller's environment without kolvex's secrets: no child (git, a hook
// manager, npx and the package it fetches) has any use for them.
std::vector<char*> child_environment()
{
  const bool all = g_pass_secrets.load(std::memory_order_relaxed);
  std::vector<char*> env;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    if (all || !is_secret(*entry)) {
      env.push_back(*entry);
    }
  }
  env.push_back(nullptr);
  return env;
}

} // namespace

void pass_secrets_to_children(bool on)
{
  g_pass_secrets.store(on, std::memory_order_relaxed);
}

namespace {

// Checked up front so that a missing directory is told apart from a missing
// program: posix_spawn reports both as ENOENT.
void check_working_directory(const std::string& program, const std::filesystem::path& cwd)
{
  struct stat st {};
  if (::stat(cwd.c_str(), &st) != 0) {
    throw_errno(errno, "cannot run " + program + ": working directory " + cwd.string());
  }
  if (!S_ISDIR(st.st_mode)) {
    throw_errno(ENOTDIR, "cannot run " + program + ": working directory " + cwd.string());
  }
}

// The child's standard streams.  The parent's ends are non-blocking once it runs.
struct Pipes {
  Pipe out;
  Pipe err;
  Pipe in; // only with Options::input
};

// The child's stdio on `pipes`, its descriptors and signals as a program expects.
void configure(SpawnSetup& setup, const Pipes& pipes, const Options& options)
{
  if (options.input) {
    check(::posix_spawn_file_actions_adddup2(setup.actions(), pipes.in.read.get(), 0),
          "spawn stdin");
  } else {
    check(::posix_spawn_file_actions_addopen(setup.actions(), 0, "/dev/null", O_RDONLY, 0),
          "spawn stdin");
  }
  check(::posix_spawn_file_actions_adddup2(setup.actions(), pipes.out.write.get(), 1),
        "spawn stdout");
  check(::posix_spawn_file_actions_adddup2(setup.actions(), pipes.err.write.get(), 2),
        "spawn stderr");
  // Descriptors some library opened without O_CLOEXEC must not leak into the child:
  // a leaked pipe end would keep our reads from ever seeing end of file.
  check(::posix_spawn_file_actions_addclosefrom_np(setup.actions(), 3), "spawn closefrom");
  if (options.cwd) {
    check(::posix_spawn_file_actions_addchdir_np(setup.actions(), options.cwd->c_str()),
          "spawn chdir");
  }
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (options.session == Session::new_group) {
    flags |= POSIX_SPAWN_SETSID;
  }
  check(::posix_spawnattr_setflags(setup.attr(), flags), "spawn flags");
  sigset_t empty;
  sigemptyset(&empty);
  check(::posix_spawnattr_setsigmask(setup.attr(), &empty), "spawn sigmask");
  // Signals a caller may ignore or handle (SIGPIPE above all) start at their default
  // in the child, as a program expects.
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGXFSZ, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD, SIGALRM}) {
    sigaddset(&defaults, sig);
  }
  check(::posix_spawnattr_setsigdefault(setup.attr(), &defaults), "spawn sigdefault");
}

// Looked up here rather than by posix_spawnp, whose search takes an empty or
// relative PATH entry to mean the working directory: the repository.
std::string program_path(const std::string& name)
{
  if (name.find('/') != std::string::npos) {
    return name;
  }
  const auto found = find_program(name);
  if (!found) {
    throw_errno(ENOENT, "cannot run " + name);
  }
  return found->string();
}

// Starts `argv` with its stdio on new `pipes` and returns its pid; the child's ends
// are closed here and ours made non-blocking.
pid_t spawn(const std::vector<std::string>& argv, const Options& options, Pipes& pipes)
{
  make_pipe(pipes.out);
  make_pipe(pipes.err);
  if (options.input) {
    make_pipe(pipes.in);
  }
  SpawnSetup setup;
  configure(setup, pipes, options);
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  const std::string program = program_path(argv[0]);
  std::vector<char*> env = child_environment();
  pid_t pid = -1;
  if (const int rc = ::posix_spawn(
          &pid, program.c_str(), setup.actions(), setup.attr(), args.data(), env.data());
      rc != 0) {
    throw_errno(rc, "cannot run " + argv[0]);
  }
  return pid;
}

// Our ends of the pipes once `child` runs: theirs closed, ours non-blocking, and the
// input pipe closed at once when there is nothing to write.
void hand_over(Pipes& pipes, bool has_input)
{
  pipes.out.write.reset();
  pipes.err.write.reset();
  pipes.in.read.reset();
  set_nonblocking(pipes.out.read.get());
  set_nonblocking(pipes.err.read.get());
  if (has_input) {
    set_nonblocking(pipes.in.write.get());
  }
}

// Writes the next piece of `input` to the child; closes the pipe when all is
// written or the child has closed its end.
void feed(Fd& in, std::string_view& input)
{
  const std::size_t chunk = std::min<std::size_t>(input.size(), 65536);
  const ssize_t n = write_without_sigpipe(in.get(), input.data(), chunk);
  if (n > 0) {
    input.remove_prefix(static_cast<std::size_t>(n));
    if (input.empty()) {
      in.reset();
    }
  } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
    // EPIPE: the child does not want the rest of its input.
    in.reset();
  }
}

// Feeds `input` to the child and gathers its output into `result` until it has
// exited and closed both pipes, or `deadline` passes (result.timed_out).
void pump(
    Child& child, Pipes& pipes, std::string_view input, Clock::time_point deadline, Result& result)
{
  if (input.empty()) {
    pipes.in.write.reset();
  }
  auto tick = std::chrono::milliseconds(1);
  for (;;) {
    const bool exited = child.exited();
    if (!pipes.out.read.open() && !pipes.err.read.open() && exited) {
      return;
    }
    const Clock::duration remaining = deadline - Clock::now();
    if (remaining <= Clock::duration::zero()) {
      result.timed_out = true;
      return;
    }
    // The slots of the open pipes (-1: closed), then the child's pidfd.
    std::array<pollfd, 4> fds{};
    std::size_t count = 0;
    const auto watch = [&fds, &count](const Fd& fd, short events) {
      if (!fd.open()) {
        return -1;
      }
      fds[count] = {fd.get(), events, 0};
      return static_cast<int>(count++);
    };
    const int out_slot = watch(pipes.out.read, POLLIN);
    const int err_slot = watch(pipes.err.read, POLLIN);
    const int in_slot = watch(pipes.in.write, POLLOUT);
    int wait_ms = ceil_millis(remaining);
    if (!exited) {
      if (child.pidfd() >= 0) {
        fds[count++] = {child.pidfd(), POLLIN, 0};
      } else {
        wait_ms = std::min(wait_ms, static_cast<int>(tick.count()));
        tick = std::min(tick * 2, std::chrono::milliseconds(50));
      }
    }
    if (::poll(fds.data(), count, wait_ms) < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw_errno(errno, "poll");
    }
    const auto ready = [&fds](int slot) {
      return slot >= 0 && fds[static_cast<std::size_t>(slot)].revents != 0;
    };
    if (ready(in_slot)) {
      feed(pipes.in.write, input);
    }
    if (ready(out_slot)) {
      read_available(pipes.out.read, result.out);
    }
    if (ready(err_slot)) {
      read_available(pipes.err.read, result.err);
    }
  }
}

// Ends the run: a child out of time is killed, the child is reaped into
// result.exit_code.
void reap(Child& child, Pipes& pipes, Result& result)
{
  pipes.in.write.reset();
  if (result.timed_out) {
    child.kill();
  }
  result.exit_code = child.reap();
  if (result.timed_out) {
    // What was already in the pipes is kept, but we do not wait for end of file: a
    // descendant that left the group may hold the pipes open for good.
    if (pipes.out.read.open()) {
      read_available(pipes.out.read, result.out);
    }
    if (pipes.err.read.open()) {
      read_available(pipes.err.read, result.err);
    }
  }
}

} // namespace

Result run(const std::vector<std::string>& argv, const Options& options)
{
  if (argv.empty()) {
    throw_errno(EINVAL, "run: empty argument list");
  }
  // A process that has run out of time starts nothing more: the child counts as
  // one that ran out of its own limit.
  const auto limit = core::deadline::clamp(options.timeout);
  Result result;
  if (core::deadline::passed()) {
    result.timed_out = true;
    return result;
  }
  if (options.cwd) {
    check_working_directory(argv[0], *options.cwd);
  }
  Pipes pipes;
  const Clock::time_point deadline = Clock::now() + limit;
  Child child(spawn(argv, options, pipes), options.session);
  hand_over(pipes, options.input.has_value());
  const std::string_view input =
      options.input ? std::string_view(*options.input) : std::string_view();
  pump(child, pipes, input, deadline, result);
  reap(child, pipes, result);
  return result;
}

std::optional<std::filesystem::path> find_program(std::string_view name)
{
  const char* path_env = std::getenv("PATH");
  if (name.empty() || path_env == nullptr) {
    return std::nullopt;
  }
  for (const auto& dir : text::split(path_env, ':')) {
    // An empty or relative entry names a place under whatever directory we run in,
    // and that is a repository someone else may have written.
    if (dir.empty() || dir.front() != '/') {
      continue;
    }
    std::filesystem::path candidate = std::filesystem::path(dir) / name;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return std::nullopt;
}

std::string decode_replace(std::string_view bytes)
{
  static constexpr std::string_view k_replacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const text::Utf8Step step = text::utf8_step(bytes, i);
    if (step.valid) {
      out.append(bytes.substr(i, step.length));
    } else {
      out.append(k_replacement);
    }
    i += step.length;
  }
  return out;
}

} // namespace kolvex::core::process
