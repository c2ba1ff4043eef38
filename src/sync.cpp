// sync.cpp: placeholder while the synchronisation is written.
#include "sync.h"
Tree open_tree(const std::string& root) { return Tree{root, -1, 0}; }
void close_tree(Tree&) {}
bool copy_with_timestamp(const Tree&, const Tree&, const std::string&, bool) { return true; }
bool sync_different_files(const std::vector<DiffEntry>&, const std::string&, const std::string&) { return true; }
bool handle_missing(const std::vector<DiffEntry>&, const std::string&, const std::string&, char) { return true; }
bool remove_empty_parents(const Tree&, std::string) { return true; }
