// output.h: the lines of the synchronisation on standard output and
// standard error, and the one status line, written by one thread at a time.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "progress.h"

/// Writes `line` to standard output at once; a failed write is noticed for
/// the end of the run.
void say(const std::string& line);
/// Writes `message` to standard error as it stands, after the status line.
void report(const std::string& message);
/// "Fehler beim <action> <path>: <reason>\n".
std::string failure_line(const char* action, const std::string& path,
                         const std::string& reason);
/// failure_line with the system's message of `error` as the reason.
std::string failure_line(const char* action, const std::string& path,
                         int error);
/// "Fehler beim Kopieren von <source> nach <target>: <reason>\n".
std::string copy_failure_line(const std::string& source,
                              const std::string& target,
                              const std::string& reason);
/// Reports failure_line(action, path, error) at once; returns false.
bool failed(const char* action, const std::string& path, int error);
/// Shows `copied` bytes of a running copy or check on the status line, when
/// no other one owns it.
void show_copy_status(CopyStatus& status, std::uint64_t copied);
/// Ends a copy's status, erasing its line if it owns it.
void end_shown_status(CopyStatus& status);
/// From here on the copies' statuses count their bytes in `live`, which
/// must outlive end_run_line, and the line of a whole synchronisation
/// takes the place of their own.
void begin_run_line(LiveWork& live);
/// Draws the line of a whole synchronisation, made by `text` from the copy
/// to name on it (null if none runs long); unchanged, it is not drawn again.
void show_run_status(
    const std::function<std::string(const CopyStatus* current)>& text);
/// Erases the line of a whole synchronisation for good; the copies'
/// statuses count no more.
void end_run_line();
