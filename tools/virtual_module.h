// The virtual scanner as a loadable module (libdocscan-virtual.so).
//
// docscan carries no umockdev or GLib of its own: it loads this module with
// dlopen only when the virtual scanner is wanted. The module holds the device
// model and the umockdev USB glue; its entry points have C names and take
// plain C arguments, so that nothing but these declarations is shared.
#ifndef DOCSCAN_TOOLS_VIRTUAL_MODULE_H
#define DOCSCAN_TOOLS_VIRTUAL_MODULE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

struct DocscanVirtualOptions {
    const char *paper;           // PNG file laid on the glass; null or "": the test chart
    const unsigned *buttonCodes; // device button codes pressed once the scanner is there
    size_t buttonCount;
    const char *nvmFile; // keeps the non-volatile memory; null or "": none
};

// Starts the emulated USB bus with the scanner (three push buttons) on it.
// Returns the bus, or null with the reason in `error` (always terminated).
// Needs the umockdev preload in the process; one bus per process. The scanner
// keeps no transaction transcript. Until the bus stops, SIGINT, SIGTERM and
// SIGHUP left at their default action first remove the emulation's files
// (/tmp/umockdev.*), then end the process as before; so does exit().
void *docscan_virtual_start(const struct DocscanVirtualOptions *options, char *error, size_t errorSize);
// Stops and frees the bus from docscan_virtual_start (close the driver first).
// Null, a bus already stopped and repeated calls are ignored.
void docscan_virtual_stop(void *bus);
// 1 while the bus runs, else 0.
int docscan_virtual_running(const void *bus);
// Removes the emulation's files at once, for a signal handler that is about to
// end the process without stopping the bus. Async-signal-safe.
void docscan_virtual_remove_files(void);

#ifdef __cplusplus
}
#endif

#endif
