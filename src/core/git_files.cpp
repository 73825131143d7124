#include "core/git_files.hpp"

#include "core/text.hpp"

#include <array>
#include <cctype>
#include <cstdio>
#include <ctime>

namespace kolvex::core::git {

namespace {

constexpr std::size_t k_sha1_hex = 40;

// git's own isspace: space, \t, \n and \r (not \v or \f).
bool git_space(char c)
{
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool digit(char c)
{
  return c >= '0' && c <= '9';
}

bool sha1_hex(std::string_view text)
{
  return text.size() == k_sha1_hex && text::is_object_name(text);
}

// `text` up to its first "\n" (all of it when there is none); `rest` is what follows.
std::string_view next_line(std::string_view& rest)
{
  const auto end = rest.find('\n');
  const std::string_view line = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  return line;
}

// An author or committer value, split as git splits an ident line, but only in the
// form git writes: anything it would read another way is Unusual.
Ident parse_ident(std::string_view line)
{
  const auto mail_begin = line.find('<');
  const auto mail_end = line.find('>', mail_begin == std::string_view::npos ? 0 : mail_begin);
  if (mail_begin == std::string_view::npos || mail_end == std::string_view::npos ||
      line.find('>', mail_end + 1) != std::string_view::npos) {
    throw Unusual("an ident line git would split another way");
  }
  std::size_t name_end = mail_begin;
  while (name_end > 0 && git_space(line[name_end - 1])) {
    --name_end;
  }
  Ident ident;
  ident.name = std::string(line.substr(0, name_end));
  ident.email = std::string(line.substr(mail_begin + 1, mail_end - mail_begin - 1));
  // " <seconds> <+-hhmm>" and nothing after.
  std::string_view when = line.substr(mail_end + 1);
  if (when.size() < 8 || when[0] != ' ') {
    throw Unusual("an ident line without a plain date");
  }
  when.remove_prefix(1);
  const auto space = when.find(' ');
  const std::string_view seconds = when.substr(0, space);
  const std::string_view zone = space == std::string_view::npos ? "" : when.substr(space + 1);
  if (seconds.empty() || seconds.size() > 11 || zone.size() != 5 ||
      (zone[0] != '+' && zone[0] != '-')) {
    throw Unusual("an ident line without a plain date");
  }
  for (char c : seconds) {
    if (!digit(c)) {
      throw Unusual("an ident line without a plain date");
    }
    ident.time = ident.time * 10 + (c - '0');
  }
  for (char c : zone.substr(1)) {
    if (!digit(c)) {
      throw Unusual("an ident line without a plain zone");
    }
    ident.tz = ident.tz * 10 + (c - '0');
  }
  ident.tz = zone[0] == '-' ? -ident.tz : ident.tz;
  return ident;
}

// The length of `line` without git's trailing white space.
std::size_t trimmed_length(std::string_view line)
{
  std::size_t length = line.size();
  while (length > 0 && git_space(line[length - 1])) {
    --length;
  }
  return length;
}

// `%s` of a message: blank lines skipped, then the lines up to the next blank one,
// each without its trailing white space, joined by single spaces.
std::string subject_of(std::string_view message)
{
  std::string subject;
  bool started = false;
  while (!message.empty()) {
    const std::string_view line = next_line(message);
    const std::size_t length = trimmed_length(line);
    if (length == 0) {
      if (started) {
        break;
      }
      continue;
    }
    if (started) {
      subject += ' ';
    }
    subject.append(line.substr(0, length));
    started = true;
  }
  return subject;
}

// The name of a section header line ("[core]", "[remote \"origin\"]"), lower-cased
// with its subsection after a dot; nullopt for any other form.
std::optional<std::string> section_name(std::string_view line)
{
  if (line.back() != ']') {
    return std::nullopt;
  }
  const std::string_view inside = line.substr(1, line.size() - 2);
  const auto space = inside.find(' ');
  const std::string_view base = inside.substr(0, space);
  if (base.empty() || base.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                             "0123456789.-") != base.npos) {
    return std::nullopt;
  }
  std::string name = text::lower(base);
  if (space != inside.npos) {
    const std::string_view sub = inside.substr(space + 1);
    if (sub.size() < 2 || sub.front() != '"' || sub.back() != '"' ||
        sub.substr(1, sub.size() - 2).find_first_of("\"\\") != sub.npos) {
      return std::nullopt;
    }
    name += "." + std::string(sub.substr(1, sub.size() - 2));
  }
  return name;
}

// Whether `key` is a variable name as git writes one: a letter, then letters,
// digits and dashes.
bool config_key(std::string_view key)
{
  if (key.empty() || !std::isalpha(static_cast<unsigned char>(key.front()))) {
    return false;
  }
  return key.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                               "0123456789-") == key.npos;
}

} // namespace

RefFile parse_ref_file(std::string_view content)
{
  if (content.empty() || content.back() != '\n') {
    throw Unusual("a ref file not ended by a newline");
  }
  content.remove_suffix(1);
  RefFile ref;
  if (content.starts_with("ref: ")) {
    const std::string_view name = content.substr(5);
    if (name.empty() || name.find_first_of(std::string_view(" \t\r\n\0", 5)) != name.npos) {
      throw Unusual("a symbolic ref of an unusual form");
    }
    ref.symref = std::string(name);
  } else if (sha1_hex(content)) {
    ref.oid = std::string(content);
  } else {
    throw Unusual("a ref file of an unusual form");
  }
  return ref;
}

bool plain_branch_name(std::string_view name)
{
  if (name.empty() || name.back() == '/' || name.back() == '.' || name == "@" ||
      name.find("..") != name.npos || name.find("@{") != name.npos ||
      name.find("//") != name.npos) {
    return false;
  }
  for (unsigned char c : name) {
    if (c <= ' ' || c == 0x7f ||
        std::string_view("~^:?*[\\").find(static_cast<char>(c)) != std::string_view::npos) {
      return false;
    }
  }
  std::string_view rest = name;
  while (!rest.empty()) {
    const auto slash = rest.find('/');
    const std::string_view component = rest.substr(0, slash);
    if (component.starts_with('.') || component.ends_with(".lock")) {
      return false;
    }
    rest = slash == rest.npos ? std::string_view() : rest.substr(slash + 1);
  }
  return true;
}

std::string parse_gitfile(std::string_view content)
{
  if (!content.starts_with("gitdir: ") || content.back() != '\n') {
    throw Unusual("a gitfile of an unusual form");
  }
  const std::string_view target = content.substr(8, content.size() - 9);
  if (target.empty() ||
      target.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos ||
      git_space(target.back())) {
    throw Unusual("a gitfile of an unusual form");
  }
  return std::string(target);
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the file, then the name in it
std::optional<std::string> packed_ref(std::string_view content, std::string_view refname)
{
  if (!content.empty() && content.back() != '\n') {
    throw Unusual("a torn packed-refs file");
  }
  std::optional<std::string> found;
  bool first = true;
  while (!content.empty()) {
    const std::string_view line = next_line(content);
    if (first && line.starts_with("# pack-refs with:")) {
      first = false;
      continue;
    }
    first = false;
    if (line.starts_with('^') && sha1_hex(line.substr(1))) {
      continue;
    }
    if (line.size() <= k_sha1_hex + 1 || line[k_sha1_hex] != ' ' ||
        !sha1_hex(line.substr(0, k_sha1_hex)) || line.find('\0') != line.npos) {
      throw Unusual("a packed-refs line of an unusual form");
    }
    if (line.substr(k_sha1_hex + 1) == refname) {
      found = std::string(line.substr(0, k_sha1_hex));
    }
  }
  return found;
}

ReflogEntry newest_reflog_entry(std::string_view tail)
{
  if (tail.empty() || tail.back() != '\n') {
    throw Unusual("a reflog whose last line is torn");
  }
  const auto start = tail.rfind('\n', tail.size() - 2);
  const std::string_view line = start == std::string_view::npos ? tail : tail.substr(start + 1);
  if (line.find('\0') != line.npos) {
    throw Unusual("a reflog line with a NUL byte");
  }
  // old SP new SP name <email> SP time SP tz [TAB message] LF
  if (line.size() < 2 * k_sha1_hex + 2 || line[k_sha1_hex] != ' ' ||
      line[2 * k_sha1_hex + 1] != ' ' || !sha1_hex(line.substr(0, k_sha1_hex)) ||
      !sha1_hex(line.substr(k_sha1_hex + 1, k_sha1_hex))) {
    throw Unusual("a reflog line of an unusual form");
  }
  const auto email_end = line.find('>', 2 * k_sha1_hex + 2);
  if (email_end == line.npos || email_end + 2 >= line.size() || line[email_end + 1] != ' ') {
    throw Unusual("a reflog line of an unusual form");
  }
  std::size_t at = email_end + 2;
  bool nonzero = false;
  const std::size_t digits_start = at;
  while (at < line.size() && digit(line[at])) {
    nonzero = nonzero || line[at] != '0';
    ++at;
  }
  // " +hhmm", then a tab before the message or the end of the line.
  if (at == digits_start || !nonzero || at + 6 >= line.size() || line[at] != ' ' ||
      (line[at + 1] != '+' && line[at + 1] != '-') || !digit(line[at + 2]) ||
      !digit(line[at + 3]) || !digit(line[at + 4]) || !digit(line[at + 5]) ||
      (line[at + 6] != '\t' && line[at + 6] != '\n')) {
    throw Unusual("a reflog line of an unusual form");
  }
  std::string_view message = line.substr(at + 6);
  if (message.front() == '\t') {
    message.remove_prefix(1);
  }
  message.remove_suffix(1);
  return {.old_oid = std::string(line.substr(0, k_sha1_hex)),
          .new_oid = std::string(line.substr(k_sha1_hex + 1, k_sha1_hex)),
          .message = std::string(message)};
}

Commit parse_commit_object(std::string_view raw)
{
  const auto nul = raw.find('\0');
  if (!raw.starts_with("commit ") || nul == raw.npos || nul == 7) {
    throw Unusual("not a commit object");
  }
  std::size_t size = 0;
  for (char c : raw.substr(7, nul - 7)) {
    if (!digit(c) || size > (std::size_t{1} << 40)) {
      throw Unusual("a commit object with an unusual header");
    }
    size = size * 10 + static_cast<std::size_t>(c - '0');
  }
  std::string_view body = raw.substr(nul + 1);
  if (body.size() != size || body.find('\0') != body.npos) {
    throw Unusual("a commit object of another size, or with a NUL byte");
  }
  if (!body.starts_with("tree ")) {
    throw Unusual("a commit object without its tree first");
  }
  Commit commit;
  bool have_author = false;
  bool have_committer = false;
  // Headers up to the first empty line; the last author and committer win, as
  // git's pretty printer takes them.  Continuation lines (a signature's) start
  // with a space and so match neither.
  while (!body.empty()) {
    const std::string_view line = next_line(body);
    if (line.empty()) {
      break;
    }
    if (line.starts_with("author ")) {
      commit.author = parse_ident(line.substr(7));
      have_author = true;
    } else if (line.starts_with("committer ")) {
      commit.committer = parse_ident(line.substr(10));
      have_committer = true;
    } else if (line.starts_with("encoding ")) {
      throw Unusual("a commit in another encoding");
    }
  }
  if (!have_author || !have_committer) {
    throw Unusual("a commit without its author or committer");
  }
  commit.subject = subject_of(body);
  return commit;
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): as git stores an ident's date
std::string iso8601_strict(std::int64_t time, int tz)
{
  const int sign = tz < 0 ? -1 : 1;
  const int magnitude = sign * tz;
  const std::int64_t minutes = std::int64_t{sign} * ((magnitude / 100) * 60 + magnitude % 100);
  // git refuses a time that its offset would carry below the epoch.
  if (time < 0 || time > (std::int64_t{1} << 40) || (minutes < 0 && time < -minutes * 60)) {
    throw Unusual("a time git would not print as written");
  }
  const auto local = static_cast<std::time_t>(time + minutes * 60);
  std::tm tm{};
  if (::gmtime_r(&local, &tm) == nullptr) {
    throw Unusual("a time outside the calendar");
  }
  std::array<char, 64> text{};
  const int length = std::snprintf(text.data(),
                                   text.size(),
                                   "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d",
                                   tm.tm_year + 1900,
                                   tm.tm_mon + 1,
                                   tm.tm_mday,
                                   tm.tm_hour,
                                   tm.tm_min,
                                   tm.tm_sec,
                                   tz >= 0 ? '+' : '-',
                                   magnitude / 100,
                                   magnitude % 100);
  return {text.data(), static_cast<std::size_t>(length)};
}

bool plain_config(std::string_view text, UserConfig* user)
{
  std::string section;
  while (!text.empty()) {
    const std::string_view line = text::trim(next_line(text));
    if (line.empty() || line.front() == '#' || line.front() == ';') {
      continue;
    }
    if (line.find('\0') != line.npos || line.back() == '\\') {
      return false;
    }
    if (line.front() == '[') {
      const auto parsed = section_name(line);
      if (!parsed || parsed->starts_with("include") || parsed->starts_with("extensions")) {
        return false;
      }
      section = *parsed;
      continue;
    }
    const auto equals = line.find('=');
    const std::string_view key = text::trim(line.substr(0, equals));
    if (!config_key(key)) {
      return false;
    }
    const std::string_view value =
        equals == line.npos ? std::string_view() : text::trim(line.substr(equals + 1));
    const std::string name = section + "." + text::lower(key);
    if (name == "core.worktree" || name == "i18n.logoutputencoding" ||
        name == "log.showsignature" || (name == "core.bare" && text::lower(value) != "false")) {
      return false;
    }
    if (user != nullptr && (name == "user.name" || name == "user.email")) {
      // Quotes, escapes, comments and tabs change a value as git reads it: such a
      // value is git's to read.
      if (equals == line.npos || value.find_first_of("\"\\#;\t\r") != std::string_view::npos) {
        user->plain = false;
      }
      (name == "user.name" ? user->name : user->email) = std::string(value);
    }
  }
  return true;
}

} // namespace kolvex::core::git
