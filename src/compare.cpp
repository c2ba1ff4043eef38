// compare.cpp: the comparison of two scanned trees, and the time of a file.

#include <sys/stat.h>

#include <utility>

#include "compare.h"
#include "path.h"

std::int64_t get_file_time_sec(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    fatal("FEHLER: Konnte Meta-Daten der Änderungszeit nicht lesen: " +
          quoted_path(path, 2) + "\n");
  }
  return st.st_mtim.tv_sec;
}

// Removes the file at `it` from `files` and hands its key over.
static std::string take_key(FileTimeMap& files,
                            FileTimeMap::const_iterator it) {
  return std::move(files.extract(it).key());
}

CompareResult compare_dirs(FileTimeMap&& left, FileTimeMap&& right) {
  CompareResult result;
  result.left_total = left.size();
  result.right_total = right.size();
  // A listed key leaves its table for the entry; a differing key leaves only
  // the right table, so that the second loop still finds it on the left.
  for (auto it = left.begin(); it != left.end();) {
    auto found = right.find(it->first);
    if (found == right.end()) {
      result.entries.push_back({take_key(left, it++), MissingRight});
      ++result.missing_right_count;
      continue;
    }
    if (it->second == found->second) {
      ++result.same_count;
    } else {
      DiffKind kind = it->second > found->second ? LeftNewer : RightNewer;
      result.entries.push_back({take_key(right, found), kind});
      ++result.different_count;
    }
    ++it;
  }
  for (auto it = right.begin(); it != right.end();) {
    if (left.count(it->first) != 0) {
      ++it;
    } else {
      result.entries.push_back({take_key(right, it++), MissingLeft});
      ++result.missing_left_count;
    }
  }
  return result;
}

CompareResult compare_dirs(const FileTimeMap& left, const FileTimeMap& right) {
  // A copy keeps the original's order, so both forms list alike.
  return compare_dirs(FileTimeMap(left), FileTimeMap(right));
}
