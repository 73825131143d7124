#include "core/fs.hpp"

#include "core/text.hpp"
#include "support/repo.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <system_error>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = kolvex::core::fs;
namespace stdfs = std::filesystem;
using kolvex::testing::TempDir;

namespace {

// Names in `dir` other than `keep`: what a failed replace must not leave behind.
std::vector<std::string> leftovers(const stdfs::path& dir, const std::string& keep)
{
  std::vector<std::string> names;
  for (const auto& entry : stdfs::directory_iterator(dir)) {
    if (entry.path().filename() != keep) {
      names.push_back(entry.path().filename().string());
    }
  }
  return names;
}

// Runs `body` in a forked child and returns its exit status (body's return value).
template <typename Body> int in_child(Body body)
{
  const pid_t pid = ::fork();
  if (pid == 0) {
    int code = 99;
    try {
      code = body();
    } catch (...) {
      code = 98;
    }
    ::_exit(code);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST(Utf8, AcceptsEveryWellFormedLength)
{
  EXPECT_TRUE(fs::is_valid_utf8(""));
  EXPECT_TRUE(fs::is_valid_utf8("plain ASCII, longer than one eight-byte word"));
  EXPECT_TRUE(fs::is_valid_utf8("\xC2\x80 \xDF\xBF"));                 // U+0080, U+07FF
  EXPECT_TRUE(fs::is_valid_utf8("\xE0\xA0\x80 \xEF\xBF\xBF"));         // U+0800, U+FFFF
  EXPECT_TRUE(fs::is_valid_utf8("\xED\x9F\xBF \xEE\x80\x80"));         // around surrogates
  EXPECT_TRUE(fs::is_valid_utf8("\xF0\x90\x80\x80 \xF4\x8F\xBF\xBF")); // U+10000, U+10FFFF
  EXPECT_TRUE(fs::is_valid_utf8("d\xC3\xA9j\xC3\xA0 vu \xF0\x9F\x98\x80 and more ASCII after"));
}

TEST(Utf8, RejectsOverlongsSurrogatesAndOutOfRange)
{
  EXPECT_EQ(fs::first_invalid_utf8("ab\xC0\x80"), 2U);       // overlong NUL
  EXPECT_EQ(fs::first_invalid_utf8("\xC1\xBF"), 0U);         // overlong 2-byte
  EXPECT_EQ(fs::first_invalid_utf8("\xE0\x9F\xBF"), 0U);     // overlong 3-byte
  EXPECT_EQ(fs::first_invalid_utf8("\xF0\x8F\xBF\xBF"), 0U); // overlong 4-byte
  EXPECT_EQ(fs::first_invalid_utf8("x\xED\xA0\x80"), 1U);    // U+D800
  EXPECT_EQ(fs::first_invalid_utf8("\xED\xBF\xBF"), 0U);     // U+DFFF
  EXPECT_EQ(fs::first_invalid_utf8("\xF4\x90\x80\x80"), 0U); // U+110000
  EXPECT_EQ(fs::first_invalid_utf8("\xF5\x80\x80\x80"), 0U); // lead past F4
  EXPECT_EQ(fs::first_invalid_utf8("\xFF"), 0U);
  EXPECT_EQ(fs::first_invalid_utf8("ok\x80"), 2U);      // stray continuation
  EXPECT_EQ(fs::first_invalid_utf8("abc\xE2\x82"), 3U); // cut off at the end
  EXPECT_EQ(fs::first_invalid_utf8("\xE2\x82"
                                   "Aaaaaaaaa"),
            0U); // cut off by ASCII
  EXPECT_FALSE(fs::is_valid_utf8("\xF0\x9F\x98"));
}

TEST(Utf8, OffsetIsExactAtEveryAlignmentOfTheFastPath)
{
  for (std::size_t at = 0; at < 40; ++at) {
    std::string bytes(48, 'a');
    bytes[at] = '\xFE';
    EXPECT_EQ(fs::first_invalid_utf8(bytes), at) << "bad byte at " << at;
    bytes[at] = '\xC3'; // a valid two-byte sequence in the same place
    bytes[at + 1] = '\xA9';
    EXPECT_TRUE(fs::is_valid_utf8(bytes)) << "sequence at " << at;
  }
}

// The eight-byte fast path must agree with plain step-by-step decoding on any input.
TEST(Utf8, FastPathAgreesWithStepwiseDecoding)
{
  std::mt19937 rng(1234);
  const std::string alphabet[] = {"a",
                                  "z",
                                  "\n",
                                  "\xC3\xA9",
                                  "\xE2\x82\xAC",
                                  "\xF0\x9F\x98\x80",
                                  "\x80",
                                  "\xC0",
                                  "\xED\xA0",
                                  "\xF4\x90",
                                  "\xE2\x82"};
  for (int round = 0; round < 2000; ++round) {
    std::string bytes;
    const int pieces = static_cast<int>(rng() % 40);
    for (int i = 0; i < pieces; ++i) {
      // Mostly ASCII, as real text is, so that long fast runs happen.
      const std::size_t pick = rng() % 10 < 7 ? rng() % 3 : rng() % std::size(alphabet);
      bytes += alphabet[pick];
    }
    std::size_t expected = std::string_view::npos;
    for (std::size_t i = 0; i < bytes.size();) {
      const auto step = kolvex::core::text::utf8_step(bytes, i);
      if (!step.valid) {
        expected = i;
        break;
      }
      i += step.length;
    }
    ASSERT_EQ(fs::first_invalid_utf8(bytes), expected) << testing::PrintToString(bytes);
  }
}

TEST(ReadText, ReturnsValidTextAndNamesFileAndOffsetOfBadBytes)
{
  TempDir dir;
  const auto good = dir.write("good.txt", "caf\xC3\xA9\n");
  EXPECT_EQ(fs::read_text(good), "caf\xC3\xA9\n");

  const auto bad = dir.write("bad.txt", "line one\nx\xED\xA0\x80");
  try {
    (void)fs::read_text(bad);
    FAIL() << "expected DecodeError";
  } catch (const fs::DecodeError& e) {
    EXPECT_EQ(e.offset(), 10U);
    EXPECT_NE(std::string(e.what()).find(bad.string()), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("offset 10"), std::string::npos) << e.what();
  }
  // The same bytes read fine as bytes.
  EXPECT_EQ(fs::read_bytes(bad).size(), 13U);
}

TEST(ReadText, MissingOrUnreadableFileIsSystemError)
{
  TempDir dir;
  try {
    (void)fs::read_bytes(dir.path() / "absent");
    FAIL() << "expected system_error";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
  }
  EXPECT_THROW((void)fs::read_text(dir.path()), std::system_error); // a directory
}

TEST(Splitlines, BreaksAtEveryPythonBoundary)
{
  const std::string text = "a\x1c"
                           "b\x1d"
                           "c\x1e"
                           "d\x0b"
                           "e\x0c"
                           "f\xC2\x85"
                           "g\xE2\x80\xA8"
                           "h\xE2\x80\xA9"
                           "i\r\nj\rk\nl";
  const std::vector<std::string_view> expected{
      "a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l"};
  EXPECT_EQ(fs::splitlines(text), expected);
}

TEST(Splitlines, EdgesMatchPython)
{
  using Lines = std::vector<std::string_view>;
  EXPECT_EQ(fs::splitlines(""), Lines{});
  EXPECT_EQ(fs::splitlines("\n"), Lines{""});
  EXPECT_EQ(fs::splitlines("a\n\nb\n"), (Lines{"a", "", "b"}));
  EXPECT_EQ(fs::splitlines("\r\r\n"), (Lines{"", ""})); // CR, then CR LF as one
  EXPECT_EQ(fs::splitlines("no newline"), Lines{"no newline"});
  // Look-alikes that are not boundaries: US (0x1F), Å (C3 85), U+202A (E2 80 AA).
  EXPECT_EQ(fs::splitlines("x\x1f"), Lines{"x\x1f"});
  EXPECT_EQ(fs::splitlines("\xC3\x85\xE2\x80\xAA"), Lines{"\xC3\x85\xE2\x80\xAA"});
  // A NEL or separator cut off at the end is no boundary either.
  EXPECT_EQ(fs::splitlines("a\xC2"), Lines{"a\xC2"});
  EXPECT_EQ(fs::splitlines("a\xE2\x80"), Lines{"a\xE2\x80"});
}

TEST(AppendLine, CreatesTheFileAndAppendsWholeLines)
{
  TempDir dir;
  const auto log = dir.path() / "log.jsonl";
  const mode_t old_umask = ::umask(022);
  fs::append_line(log, "{\"a\": 1}\n");
  ::umask(old_umask);
  struct stat st {};
  ASSERT_EQ(::stat(log.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644U);

  fs::append_line(log, "{\"b\": 2}"); // the missing newline is supplied
  fs::append_line(log, "");           // nothing to write
  fs::append_line(log, "{\"c\": 3}\n");
  EXPECT_EQ(dir.read("log.jsonl"), "{\"a\": 1}\n{\"b\": 2}\n{\"c\": 3}\n");

  EXPECT_THROW(fs::append_line(dir.path() / "missing" / "log", "x\n"), std::system_error);
}

// Several processes appending long lines at once, without the log lock: every line
// must come out whole.  A line still being written can make the file look torn to
// another appender for a moment, which costs a blank line (readers skip those),
// never a record.
TEST(AppendLine, ConcurrentWritersNeverInterleaveWithinALine)
{
  TempDir dir;
  const auto log = dir.path() / "log.jsonl";
  constexpr int k_writers = 4;
  constexpr int k_lines = 200;
  std::vector<pid_t> pids;
  for (int w = 0; w < k_writers; ++w) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      const std::string line = std::string(5000, static_cast<char>('a' + w)) + "\n";
      for (int i = 0; i < k_lines; ++i) {
        fs::append_line(log, line);
      }
      ::_exit(0);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const std::string content = fs::read_bytes(log);
  std::vector<std::string_view> lines;
  for (const auto line : fs::splitlines(content)) {
    if (!line.empty()) {
      lines.push_back(line);
    }
  }
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(k_writers * k_lines));
  for (const auto line : lines) {
    ASSERT_EQ(line.size(), 5000U);
    ASSERT_EQ(line.find_first_not_of(line[0]), std::string_view::npos);
  }
}

TEST(AtomicReplace, ReplacesContentWithOwnerOnlyModeAndNoLeftovers)
{
  TempDir dir;
  const auto target = dir.write("state.json", "old");
  ::chmod(target.c_str(), 0644);
  fs::atomic_replace(target, "new content");
  EXPECT_EQ(dir.read("state.json"), "new content");
  struct stat st {};
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600U);
  EXPECT_TRUE(leftovers(dir.path(), "state.json").empty());

  fs::atomic_replace(dir.path() / "fresh", ""); // creates an absent target
  EXPECT_TRUE(stdfs::exists(dir.path() / "fresh"));
}

TEST(AtomicReplace, RenameFailureLeavesTargetAndNoTemporary)
{
  TempDir dir;
  const auto target = dir.path() / "is_a_dir";
  stdfs::create_directory(target);
  dir.write("is_a_dir/inside", "kept");
  EXPECT_THROW(fs::atomic_replace(target, "x"), std::system_error);
  EXPECT_EQ(dir.read("is_a_dir/inside"), "kept");
  EXPECT_TRUE(leftovers(dir.path(), "is_a_dir").empty());

  try {
    fs::atomic_replace(dir.path() / "no" / "such" / "file", "x");
    FAIL() << "expected system_error";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
  }
}

// A write that fails half-way (here: the file size limit) must remove the
// temporary file that was already created.
TEST(AtomicReplace, WriteFailureRemovesTheTemporary)
{
  TempDir dir;
  const auto target = dir.write("log.jsonl", "original\n");
  const int code = in_child([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{16, 16};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    try {
      fs::atomic_replace(target, std::string(4096, 'x'));
    } catch (const std::system_error& e) {
      return e.code() == std::errc::file_too_large ? 0 : 2;
    }
    return 1;
  });
  EXPECT_EQ(code, 0);
  EXPECT_EQ(dir.read("log.jsonl"), "original\n");
  EXPECT_TRUE(leftovers(dir.path(), "log.jsonl").empty());
}

// A directory we may not write to.  Root ignores permission bits, so the attempt is
// made by an unprivileged user in a child process when the tests run as root.
TEST(AtomicReplace, UnwritableDirectoryLeavesOriginalUntouched)
{
  TempDir dir;
  const auto sub = dir.path() / "ro";
  stdfs::create_directory(sub);
  const auto target = dir.write("ro/log.jsonl", "original\n");
  ::chmod(sub.c_str(), 0555);
  ::chmod(dir.path().c_str(), 0755);
  const int code = in_child([&] {
    if (::geteuid() == 0 && ::setuid(65534) != 0) {
      return 3;
    }
    try {
      fs::atomic_replace(target, "replacement\n");
    } catch (const std::system_error& e) {
      return e.code() == std::errc::permission_denied ? 0 : 2;
    }
    return 1;
  });
  ::chmod(sub.c_str(), 0755);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(dir.read("ro/log.jsonl"), "original\n");
  EXPECT_TRUE(leftovers(sub, "log.jsonl").empty());
}

// A file whose last line was torn (a crash, a full disk, `truncate -s -1`) gets its
// line end before the next line, so the two records stay two lines.
TEST(AppendLine, ATornLastLineNeverSwallowsTheNext)
{
  TempDir dir;
  const auto log = dir.write("log.jsonl", "{\"a\": 1}\n{\"b\": ");
  fs::append_line(log, "{\"c\": 3}");
  EXPECT_EQ(dir.read("log.jsonl"), "{\"a\": 1}\n{\"b\": \n{\"c\": 3}\n");
  // Through a confined location alike; a file ending in "\n" gets nothing extra.
  fs::append_line(fs::Confined{dir.path(), "log.jsonl"}, "{\"d\": 4}\n");
  EXPECT_EQ(dir.read("log.jsonl"), "{\"a\": 1}\n{\"b\": \n{\"c\": 3}\n{\"d\": 4}\n");
}

// A real short write: a child under RLIMIT_FSIZE (SIGXFSZ ignored, so write(2)
// returns what fitted) appends a line that does not fit.  The bytes that did are
// taken back, the error is reported, and the next append is a line of its own.
TEST(AppendLine, AShortWriteIsTakenBackAndReported)
{
  for (const std::string& old : {std::string("{\"a\": 1}\n"), std::string("{\"a\": 1}\n{\"torn")}) {
    TempDir dir;
    const auto log = dir.write("log.jsonl", old);
    const int code = in_child([&] {
      ::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{old.size() + 10, old.size() + 10};
      ::setrlimit(RLIMIT_FSIZE, &limit);
      try {
        fs::append_line(fs::Confined{dir.path(), "log.jsonl"}, std::string(200, 'x'));
      } catch (const std::system_error& e) {
        const std::string what = e.what();
        return e.code() == std::errc::io_error && what.find("taken back") != std::string::npos ? 0
                                                                                               : 2;
      }
      return 1;
    });
    EXPECT_EQ(code, 0) << old;
    EXPECT_EQ(dir.read("log.jsonl"), old);
    fs::append_line(log, "{\"next\": 2}");
    const std::string after = dir.read("log.jsonl");
    const auto lines = fs::splitlines(after);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "{\"next\": 2}") << after;
    EXPECT_EQ(after.substr(0, old.size()), old);
  }
}
