// run.cpp: the command line, the run from start to exit status, and the two
// questions that lead into the synchronisation.

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "casefold.h"
#include "compare.h"
#include "leftovers.h"
#include "scan.h"
#include "path.h"
#include "placed.h"
#include "progress.h"
#include "report.h"
#include "sync.h"
#include "treelock.h"

namespace {

// What the command line asks for.
struct Options {
  std::uint64_t column_width = 47;  // width of the listing's left column
  bool auto_confirm = false;        // -y: do not ask whether to synchronise
  std::vector<std::string> dirs;    // the positional arguments
};

}  // namespace

// Columns of the terminal on standard output; 100 if unknown or below 40.
static unsigned get_terminal_width() {
  winsize size{};
  if (ioctl(1, TIOCGWINSZ, &size) != 0 || size.ws_col < 40) return 100;
  return size.ws_col;
}

// The value of -c, or the end of the run with its message.
static std::uint64_t parse_column_width(const std::string& text) {
  std::uint64_t value = 0;
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, value, 10);
  if (error != std::errc() || stop != end) {
    fatal("kalvern ERROR: -c benötigt eine gültige Zahl (5-300)\n\n");
  }
  if (value < 5 || value > 300) {
    fatal("kalvern ERROR: Wertebereich für -c ist 5-300\n\n");
  }
  return value;
}

// Reads the options left to right; a version request ends the run at once.
static Options parse_options(int argc, char** argv) {
  Options options;
  options.column_width = (get_terminal_width() - 6) / 2;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-v" || arg == "--version") {
      std::cout << "kalvern " << KALVERN_VERSION << "\n";
      std::exit(0);
    } else if (arg == "-y") {
      options.auto_confirm = true;
    } else if (arg == "-c") {
      if (i + 1 == argc)
        fatal("kalvern ERROR: -c benötigt eine Zahl (5-300)\n\n");
      options.column_width = parse_column_width(argv[++i]);
    } else if (!arg.empty() && arg[0] == '-') {
      fatal("kalvern ERROR: Unbekannte Option " + shown_path(arg, 2) + "\n\n");
    } else {
      options.dirs.push_back(arg);
    }
  }
  if (options.dirs.size() != 2) {
    fatal("Usage: kalvern [-v] [-c 5-300] [-y] dir1 dir2\n\n");
  }
  return options;
}

// The error about directory `dir` as typed, `what` said of it.
static std::string dir_error(const std::string& dir, const std::string& what) {
  return "kalvern Fehler - Verzeichnis " + shown_path(dir, 2) + " " + what +
         "\n\n";
}

// Ends the run unless `dir` names an existing object, links followed.
static void check_exists(const std::string& dir) {
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) return;
  int error = errno;
  if (error == ENOENT || error == ENOTDIR) {
    fatal(dir_error(dir, "nicht gefunden."));
  }
  fatal(dir_error(dir, std::string("nicht zugänglich (") +
                           std::strerror(error) + ")."));
}

// `dir` without one trailing slash.
static std::string strip_slash(const std::string& dir) {
  if (!dir.empty() && dir.back() == '/') return dir.substr(0, dir.size() - 1);
  return dir;
}

// The resolved form of a root, without a trailing slash; empty if unknown.
static std::string resolved_text(const std::string& root) {
  std::error_code error;
  std::string text = std::filesystem::weakly_canonical(root, error).string();
  if (error) return "";
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

// Whether resolved path `inner` lies strictly below resolved path `outer`.
static bool lies_inside(const std::string& inner, const std::string& outer) {
  if (inner.empty() || outer.empty() || inner.size() <= outer.size())
    return false;
  if (inner.compare(0, outer.size(), outer) != 0) return false;
  return outer.back() == '/' || inner[outer.size()] == '/';
}

// Ends the run when one tree lies inside the other: a synchronisation could
// then delete the files of one tree as one-sided files of the other.
static void check_not_nested(const Options& options, const std::string& left,
                             const std::string& right) {
  if (left.empty() || right.empty()) return;
  std::string left_resolved = resolved_text(left);
  std::string right_resolved = resolved_text(right);
  const std::string* inner = nullptr;
  const std::string* outer = nullptr;
  if (lies_inside(right_resolved, left_resolved)) {
    inner = &options.dirs[1], outer = &options.dirs[0];
  } else if (lies_inside(left_resolved, right_resolved)) {
    inner = &options.dirs[0], outer = &options.dirs[1];
  } else {
    return;
  }
  fatal(dir_error(*inner,
                  "liegt innerhalb von " + shown_path(*outer, 2) + "."));
}

// Scans both trees; on a terminal, a ticker thread shows the files found so
// far on standard error and is joined, its line erased, before this returns.
static TreeScans scan_with_status(const Tree& left, const Tree& right) {
  if (!status_line_wanted()) {
    return scan_trees(left.root, right.root, nullptr, nullptr, left.fd,
                      right.fd);
  }
  ScanCounter left_found{0};
  ScanCounter right_found{0};
  std::jthread ticker;
  try {
    ticker = std::jthread(run_scan_status, std::cref(left_found),
                          std::cref(right_found));
  } catch (const std::system_error&) {
    // No thread to spare: the scan runs without its status line.
  }
  TreeScans scans = scan_trees(left.root, right.root, &left_found, &right_found,
                               left.fd, right.fd);
  if (ticker.joinable()) {
    ticker.request_stop();
    ticker.join();
  }
  return scans;
}

// One answer: its folded first byte, or '\0' with the errno of a failed
// read, 0 when standard input ended.
struct Answer {
  char letter = '\0';
  int error = 0;
};

// Reads one line of standard input into `line`, without its newline, a
// byte at a time so that nothing after it is taken; false with `error` set
// (0 at the end of input, else the read's errno) when no line came.
static bool read_line(std::string& line, int& error) {
  line.clear();
  char byte = 0;
  while (true) {
    ssize_t got = read(0, &byte, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return error = errno, false;
    if (got == 0) return error = 0, !line.empty();
    if (byte == '\n') return true;
    line += byte;
  }
}

// Asks `question` until the folded first byte of an answer is in `valid`.
static Answer ask(const char* question, const std::string& valid,
                  const char* hint) {
  std::string line;
  int error = 0;
  while (true) {
    std::cout << question;
    output_error();
    if (!read_line(line, error)) return {'\0', error};
    if (line.empty()) {
      std::cout << "Sie haben nichts eingegeben!\n";
      continue;
    }
    char letter =
        static_cast<char>(std::tolower(static_cast<unsigned char>(line[0])));
    if (letter != '\0' && valid.find(letter) != std::string::npos)
      return {letter, 0};
    std::cout << hint;
  }
}

// Ends the process with `status` once standard output is written out.  The
// scanned tables hold a node per file: freeing them one by one at exit would
// cost a tenth of a large run, and the kernel takes the memory back at once.
[[noreturn]] static void finish(int status) {
  if (int error = output_error(); error != 0) {
    report_error(output_error_message(error));
    status = 2;
  }
  std::_Exit(status);
}

// Ends the run with status 1 when standard output could not be written;
// called only before anything changes.
static void check_output_written() {
  if (int error = output_error(); error != 0) {
    fatal(output_error_message(error));
  }
}

// Ends the prompt's line, so that the message stands on a line of its own,
// and says why no answer came: the end of input, or a read that failed with
// errno `error`.
static void report_no_input(int error) {
  std::cout << "\n" << std::flush;
  if (error == 0) {
    std::cerr << "kalvern Fehler - keine Eingabe, Abgleich abgebrochen.\n";
  } else {
    std::cerr << "kalvern Fehler - Eingabe nicht lesbar ("
              << std::strerror(error) << "), Abgleich abgebrochen.\n";
  }
}

// Whether both roots still lead to the directories that were compared; if
// not, says which does not, for the run to end before anything changes.
static bool roots_unchanged(const Options& options, const Tree& left,
                            const Tree& right) {
  bool same = true;
  for (const auto& [tree, typed] : {std::pair{&left, &options.dirs[0]},
                                    std::pair{&right, &options.dirs[1]}}) {
    if (is_same_root(*tree)) continue;
    report_error(dir_error(*typed,
                           "ist nicht mehr dasselbe wie beim Vergleich, "
                           "Abgleich abgebrochen."));
    same = false;
  }
  return same;
}

// Locks both roots for this synchronisation, the locks held until the run
// ends; if another run holds one, says which, for the run to end before
// anything changes.
static bool trees_locked(const Options& options, const Tree& left,
                         const Tree& right) {
  for (const auto& [tree, typed] : {std::pair{&left, &options.dirs[0]},
                                    std::pair{&right, &options.dirs[1]}}) {
    // One directory given twice is locked once.
    if (tree == &right && same_root(left, right)) continue;
    if (!lock_tree(*tree).busy) continue;
    report_error(dir_error(*typed,
                           "wird gerade von einem anderen Abgleich "
                           "bearbeitet, Abgleich abgebrochen."));
    return false;
  }
  return true;
}

// The paths on each tree that a one-sided copy into it may not match but
// for case, made only for a tree that `action` copies into and whose file
// system ignores case.  With l the left tree's own one-sided files are
// deleted before any copy, with r the right tree's after them all.
static CaseIndexes case_indexes(const FileTimeMap& both,
                                const CompareResult& result, const Tree& left,
                                const Tree& right, char action) {
  CaseIndexes indexes;
  if (action != 'r') {
    indexes.left = index_tree(case_rule_of(left.kind, left.fd), both,
                              result.entries, action == 'b' ? MissingRight : 0);
  }
  if (action != 'l') {
    indexes.right = index_tree(case_rule_of(right.kind, right.fd), both,
                               result.entries, MissingLeft);
  }
  return indexes;
}

// The directories of the trees that `action` copies into that held a file
// when scanned; `both` holds the files found in both trees.
static ScannedDirs scanned_dirs(const FileTimeMap& both,
                                const CompareResult& result, char action) {
  ScannedDirs dirs;
  bool into_left = action != 'r' && result.missing_left_count != 0;
  bool into_right = action != 'l' && result.missing_right_count != 0;
  for (const auto& [path, stamp] : both) {
    if (into_left) add_scanned_dirs(dirs.left, path);
    if (into_right) add_scanned_dirs(dirs.right, path);
  }
  for (const DiffEntry& entry : result.entries) {
    bool on_left = entry.kind != MissingLeft, on_right = entry.kind != MissingRight;
    if (into_left && on_left) add_scanned_dirs(dirs.left, entry.relative_path);
    if (into_right && on_right) add_scanned_dirs(dirs.right, entry.relative_path);
  }
  return dirs;
}

// The questions and the synchronisation, through the handles held on the
// two roots; `both` holds the files found in both trees, `scans` what else
// the scans found.  False if a file operation failed.
static bool run_dialog(const CompareResult& result, const FileTimeMap& both,
                       const TreeScans& scans, const Options& options,
                       const Tree& left, const Tree& right) {
  if (!options.auto_confirm) {
    Answer answer = ask("\nMöchten Sie die Verzeichnisse abgleichen (j/n)? ",
                        "jn", "Bitte nur (j)a oder (n)ein angeben!\n");
    if (answer.letter == '\0') {
      report_no_input(answer.error);
      if (answer.error != 0) finish(1);  // nothing has changed
      return true;
    }
    if (answer.letter == 'n') {
      std::cout << "\nAbgleich wurde auf Wunsch beendet.\n\n";
      return true;
    }
  }
  if (!roots_unchanged(options, left, right)) return false;
  if (!trees_locked(options, left, right)) return false;
  // What killed runs left goes first.
  bool ok = remove_leftovers(left, scans.left.leftovers);
  ok = remove_leftovers(right, scans.right.leftovers) && ok;
  ok = sync_different_files(result.entries, left, right) && ok;
  if (result.missing_left_count != 0 || result.missing_right_count != 0) {
    Answer answer =
        ask("\nSollen die fehlenden Dateien (l)inks oder (r)echts gelöscht\n"
            "oder alle (b)ehalten werden? ",
            "lrb", "Bitte nur l(inks), r(echts) oder b(ehalten) angeben!\n");
    char action = answer.letter;
    if (action == '\0') {
      report_no_input(answer.error);
      return ok && answer.error == 0;
    }
    std::cout << "\n";
    if (!roots_unchanged(options, left, right)) return false;
    CaseIndexes cases = case_indexes(both, result, left, right, action);
    ScannedDirs scanned = scanned_dirs(both, result, action);
    ok = handle_missing(result.entries, left, right, action, 0, &cases, true,
                        &scanned) &&
         ok;
  }
  std::cout << "\n";
  return ok;
}

int main(int argc, char** argv) {
  // Standard output is buffered; standard error and standard input are tied
  // to it, so it is flushed before either is used.
  std::ios::sync_with_stdio(false);
  // A closed pipe on standard output is a failed write, never the end.
  signal(SIGPIPE, SIG_IGN);

  // Options and the two directory arguments.
  Options options = parse_options(argc, argv);

  // Both directories must exist; then one trailing slash goes.
  check_exists(options.dirs[0]);
  check_exists(options.dirs[1]);
  std::string left_root = strip_slash(options.dirs[0]);
  std::string right_root = strip_slash(options.dirs[1]);
  check_not_nested(options, left_root, right_root);

  // Hold both roots from here on: the scan reads them, the synchronisation
  // changes them, through the same handles.
  Tree left = open_tree(left_root);
  Tree right = open_tree(right_root);

  // Scan both trees; a failure of the left one takes precedence.
  TreeScans scans = scan_with_status(left, right);
  if (!scans.left.failure.empty()) fatal(scans.left.failure);
  if (!scans.right.failure.empty()) fatal(scans.right.failure);
  // From here on each action checks the directories on its path against
  // those the scan saw, or those the run made.
  MadeDirIds left_made, right_made;
  CheckedDirs left_checked, right_checked;
  left.seen = &scans.left.dirs;
  right.seen = &scans.right.dirs;
  left.made = &left_made;
  right.made = &right_made;
  left.checked = &left_checked;
  right.checked = &right_checked;

  // Compare them and print the listing with its summary; on FAT, whose
  // clock goes in steps of two seconds, times one second apart match.
  CompareResult result =
      compare_dirs(std::move(scans.left.files), std::move(scans.right.files),
                   time_slack(left.kind, right.kind));
  print_results(result, options.column_width);
  check_output_written();

  // Identical trees end the run here.
  if (result.different_count == 0 && result.missing_left_count == 0 &&
      result.missing_right_count == 0) {
    std::cout << "\nDie Verzeichnisse sind vollkommen identisch!!!\n\n";
    check_output_written();
    finish(0);
  }

  // Otherwise ask, and synchronise; a failed file operation gives status 2.
  // The left table still holds the files found in both trees.
  // Copies put on a drive that returned wrong bytes are read back once
  // more.
  PlacedCopies placed;
  left.placed = right.placed = &placed;
  bool ok = run_dialog(result, scans.left.files, scans, options, left, right);
  ok = recheck_placed(placed) && ok;
  finish(ok ? 0 : 2);
}
