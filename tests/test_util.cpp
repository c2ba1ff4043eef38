#include "test_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "kalvern-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
  path = pattern;
}

TempDir::~TempDir() {
  std::error_code error;
  // Restore search and write permission a test may have taken away.
  for (auto it = fs::recursive_directory_iterator(
           path, fs::directory_options::skip_permission_denied, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (it->is_directory(error) && !it->is_symlink(error)) {
      chmod(it->path().c_str(), 0700);
    }
  }
  chmod(path.c_str(), 0700);
  fs::remove_all(path, error);
}

void make_file(const std::string& path, std::int64_t seconds, long nanoseconds,
               const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
  timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
  if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
    throw std::runtime_error("utimensat " + path);
  }
}
