// casefold.cpp: paths folded for case, and an index of a tree's paths by
// their folded form.
//
// FAT folds the ASCII letters; exFAT compares names through the upper-case
// table written onto the drive, which covers all of Unicode.  Folded here
// are the ASCII letters and, for exFAT and the casefold attribute, the
// letters of Latin-1, Latin Extended-A, Greek and Cyrillic that have one
// other case, all of them two bytes long in either case: a folded path is
// as long as the path, and its prefixes are the folded prefixes.  A
// letter left unfolded (of another script) makes a clash go unseen, as
// without this check; none is folded that the drive tells apart.
//
// The index holds every file of a tree and every directory above one, as
// the scan saw them, by folded path.  A path is checked one prefix at a
// time from the top: the first prefix found with another spelling is the
// clash; a prefix not found at all ends the check.  A directory that holds
// no file is not in the index, so the directories of a path below the part
// found are looked up on the drive, where a name of another case answers;
// the usual answer, that nothing is there, takes one lookup.

#include "casefold.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "path.h"

CaseRule case_rule_of(FsKind kind, int fd) {
  if (kind == FsKind::Fat) return CaseRule::Ascii;
  if (kind == FsKind::Exfat) return CaseRule::Unicode;
  if (fd < 0) return CaseRule::Exact;
  int dir = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return CaseRule::Exact;
  int flags = 0;
  bool folds =
      ioctl(dir, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_CASEFOLD_FL) != 0;
  close(dir);
  return folds ? CaseRule::Unicode : CaseRule::Exact;
}

// The lower-case form of code point `c` (U+0080 to U+07FF), or `c` itself.
static char32_t fold_two_byte(char32_t c) {
  if ((c >= 0xC0 && c <= 0xDE && c != 0xD7) ||     // Latin-1
      (c >= 0x391 && c <= 0x3AB && c != 0x3A2) ||  // Greek
      (c >= 0x410 && c <= 0x42F)) {                // Cyrillic
    return c + 0x20;
  }
  if (c >= 0x400 && c <= 0x40F) return c + 0x50;  // Cyrillic Ѐ to Џ
  if (c == 0x178) return 0xFF;                    // Ÿ
  // Latin Extended-A: pairs, upper case first; dotted İ, dotless ı, ĸ, ŉ
  // and the long s are left alone.
  bool even_upper = (c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) ||
                    (c >= 0x14A && c <= 0x177);
  bool odd_upper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
  if ((even_upper && c % 2 == 0) || (odd_upper && c % 2 == 1)) return c + 1;
  // Greek with tonos, and the final sigma, which shares Σ with σ.
  if (c == 0x386) return 0x3AC;
  if (c >= 0x388 && c <= 0x38A) return c + 0x25;
  if (c == 0x38C) return 0x3CC;
  if (c == 0x38E || c == 0x38F) return c + 0x3F;
  if (c == 0x3C2) return 0x3C3;
  return c;
}

std::string fold_case(std::string_view text, CaseRule rule) {
  std::string folded(text);
  if (rule == CaseRule::Exact) return folded;
  for (std::size_t i = 0; i < folded.size(); ++i) {
    auto byte = static_cast<unsigned char>(folded[i]);
    if (byte >= 'A' && byte <= 'Z') {
      folded[i] = static_cast<char>(byte + ('a' - 'A'));
      continue;
    }
    if (rule != CaseRule::Unicode || byte < 0xC2 || byte > 0xDF ||
        i + 1 == folded.size()) {
      continue;
    }
    auto next = static_cast<unsigned char>(folded[i + 1]);
    if ((next & 0xC0) != 0x80) continue;
    char32_t c = fold_two_byte(((byte & 0x1Fu) << 6) | (next & 0x3Fu));
    folded[i] = static_cast<char>(0xC0 | (c >> 6));
    folded[++i] = static_cast<char>(0x80 | (c & 0x3F));
  }
  return folded;
}

CaseIndex index_tree(CaseRule rule, const FileTimeMap& both,
                     const std::vector<DiffEntry>& entries, std::int32_t own) {
  CaseIndex index;
  index.rule = rule;
  if (rule == CaseRule::Exact) return index;
  for (const auto& [path, seconds] : both) add_path(index, path);
  for (const DiffEntry& entry : entries) {
    if (entry.kind == own) add_path(index, entry.relative_path);
  }
  return index;
}

void add_path(CaseIndex& index, std::string_view path) {
  if (index.rule == CaseRule::Exact) return;
  std::string folded = fold_case(path, index.rule);
  // The path first, then its directories upwards, until one is known: the
  // directories above that one are known too.
  for (std::size_t end = path.size(); end != 0;) {
    auto [at, added] =
        index.paths.emplace(folded.substr(0, end), path.substr(0, end));
    if (!added) return;
    std::size_t slash = path.rfind('/', end - 1);
    end = slash == std::string_view::npos ? 0 : slash;
  }
}

std::string find_clash(const CaseIndex& index, std::string_view path,
                       std::size_t& seen) {
  seen = 0;
  if (index.rule == CaseRule::Exact) return "";
  std::string folded = fold_case(path, index.rule);
  for (std::size_t end = 0; end < path.size();) {
    end = path.find('/', end + 1);
    if (end == std::string_view::npos) end = path.size();
    auto found = index.paths.find(folded.substr(0, end));
    if (found == index.paths.end()) break;
    if (found->second != path.substr(0, end)) return std::string(found->second);
    seen = end;
  }
  return "";
}

std::string name_on_disk(const Tree& to, const std::string& dir,
                         const std::string& name, CaseRule rule) {
  int path_fd = open_beneath(to, dir);
  if (path_fd < 0) return "";
  struct stat st;
  int fd = -1;
  // Most names are not there at all: one lookup tells, the listing is read
  // only for a name that is.
  if (fstatat(path_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    fd = openat(path_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  close(path_fd);
  DIR* listing = fd < 0 ? nullptr : fdopendir(fd);
  if (listing == nullptr) {
    if (fd >= 0) close(fd);
    return "";
  }
  std::string wanted = fold_case(name, rule);
  std::string found;
  while (const dirent* entry = readdir(listing)) {
    if (fold_case(entry->d_name, rule) == wanted) {
      found = entry->d_name;
      if (found == name) break;
    }
  }
  closedir(listing);
  return found;
}

// The first directory of `path` below the `seen` bytes known as they stand
// that is on `to` in another spelling, or "": the index lacks it, as the
// scan saw no file in it.
static std::string clash_on_disk(const Tree& to, std::string_view path,
                                 std::size_t seen, CaseRule rule) {
  std::string dir(path.substr(0, seen));
  std::size_t start = seen == 0 ? 0 : seen + 1;
  for (std::size_t end; (end = path.find('/', start)) != path.npos;) {
    std::string name(path.substr(start, end - start));
    std::string there = name_on_disk(to, dir, name, rule);
    if (there.empty()) return "";
    dir = full_path(dir, there);
    if (there != name) return dir;
    start = end + 1;
  }
  return "";
}

std::string claim_path(CaseIndex& index, const Tree& to,
                       std::string_view path) {
  if (index.rule == CaseRule::Exact) return "";
  std::size_t seen = 0;
  std::string clash = find_clash(index, path, seen);
  if (clash.empty()) clash = clash_on_disk(to, path, seen, index.rule);
  if (clash.empty()) add_path(index, path);
  return clash;
}

std::string case_clash_reason(const std::string& existing) {
  return "Auf dem Ziel steht schon " + quoted_path(existing, 2) +
         ", das sich nur in Groß- und Kleinschreibung unterscheidet";
}
