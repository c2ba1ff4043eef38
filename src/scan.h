// scan.h: the walk of a directory tree into its table, and of two at once.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "seendirs.h"
#include "table.h"

/// What a scan gives: the table, or the message of its first failure.
struct ScanResult {
  TableStorage storage;  // holds the table's nodes and keys; outlives them
  FileTimeMap files;     // empty after a failure
  std::string failure;   // empty when the scan succeeded
  // Temporary files and directories of earlier runs, passed over; paths
  // below the root.
  std::vector<std::string> leftovers;
  SeenDirs dirs;  // every directory walked, by its path below the root
};

/// The number of files a running scan has found so far, for a status line.
using ScanCounter = std::atomic<std::uint64_t>;

/// The scans of the two trees of a run.
struct TreeScans {
  ScanResult left;
  ScanResult right;
};

/// Every regular file below `root`, keyed relative to it, or the message of
/// the first failure in the order of a depth-first walk.
ScanResult scan_directory(const std::string& root,
                          ScanCounter* found = nullptr);
/// Scans both trees at once; each counter, if given, follows its tree.  A
/// root with a handle held on it (`left_fd`, `right_fd`) is read through it.
TreeScans scan_trees(const std::string& left_root,
                     const std::string& right_root,
                     ScanCounter* left_found = nullptr,
                     ScanCounter* right_found = nullptr, int left_fd = -1,
                     int right_fd = -1);
