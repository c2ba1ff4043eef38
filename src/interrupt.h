// interrupt.h: SIGINT, SIGTERM, SIGHUP and SIGQUIT, taken by one thread, so
// that changes to the trees stop at a point of their own choosing.
#pragma once

/// From here on the four signals go to one thread that waits for them:
/// outside of changes it ends the program by the signal, during changes it
/// asks them to stop.  SIGXFSZ is ignored, so that a file
/// size limit makes a write fail.  Threads started later inherit this.
void install_interrupt_handlers();
/// Marks the start of changes to the trees, the signals taken by their
/// thread from here on (see install_interrupt_handlers).
void begin_changes();
/// Marks their end; ends the program if a signal asked them to stop.
void end_changes();
/// Whether a signal has asked the running changes to stop.
bool stop_requested();
/// Ends the program by the signal that asked to stop, once standard output
/// is written out and the status line erased: its default action restored,
/// it is raised again, so that a calling shell sees the program killed by
/// it (SIGQUIT without a core dump).
[[noreturn]] void exit_on_signal();
