// output.cpp: the lines of the synchronisation and its status line.
//
// Progress lines, deletion lines and error lines are written whole, under
// one lock, so that lines of different threads never mix; the status line
// of a long copy is erased before each of them and drawn again at the
// copy's next chunk.  Of the copies running at once, one shows its status
// line: the first that runs long enough, until it ends.

#include "output.h"

#include <cstring>
#include <iostream>
#include <mutex>

#include "path.h"

namespace {

std::mutex output_mutex;
CopyStatus* status_owner = nullptr;

// Erases the status line before other output.  Under output_mutex.
void hide_status() {
  if (status_owner != nullptr) erase_status(status_owner->line);
}

}  // namespace

void say(const std::string& line) {
  std::lock_guard lock(output_mutex);
  hide_status();
  std::cout << line;
  output_error();
}

void report(const std::string& message) {
  if (message.empty()) return;
  std::lock_guard lock(output_mutex);
  hide_status();
  report_error(message);
}

std::string failure_line(const char* action, const std::string& path,
                         const std::string& reason) {
  return std::string("Fehler beim ") + action + " " + quoted_path(path, 2) +
         ": " + reason + "\n";
}

std::string failure_line(const char* action, const std::string& path,
                         int error) {
  return failure_line(action, path, std::strerror(error));
}

std::string copy_failure_line(const std::string& source,
                              const std::string& target,
                              const std::string& reason) {
  return "Fehler beim Kopieren von " + quoted_path(source, 2) + " nach " +
         quoted_path(target, 2) + ": " + reason + "\n";
}

bool failed(const char* action, const std::string& path, int error) {
  report(failure_line(action, path, error));
  return false;
}

void show_copy_status(CopyStatus& status, std::uint64_t copied) {
  std::lock_guard lock(output_mutex);
  if (status_owner != nullptr && status_owner != &status) return;
  update_copy_status(status, copied);
  if (status.line.shown) status_owner = &status;
}

void end_shown_status(CopyStatus& status) {
  std::lock_guard lock(output_mutex);
  if (status_owner != &status) return;
  end_copy_status(status);
  status_owner = nullptr;
}
