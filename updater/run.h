// The run frame shared by the updater's stages.
#pragma once

#include "common/history.h"
#include "common/outcome.h"

#include <cstddef>
#include <ctime>

struct PortInfo;

// Output mode: HTML fragments for the web page, or plain text.
extern bool html_mode;
// Ends every progress line: "\n" in text mode, "</td></tr><tr><td>" in HTML mode.
extern const char *line_suffix;

constexpr const char *TEXT_LINE_SUFFIX = "\n";
constexpr const char *HTML_LINE_SUFFIX = "</td></tr><tr><td>";

// Why "/dev/mem" could not be opened (errno of the open), for the person at
// the screen: "cannot open /dev/mem (needs root or CAP_SYS_RAWIO)" when it is
// the right that is missing.
void mem_open_error_text(int error, char *text, std::size_t size);

// Prints text that comes from outside (a file's name, a reason that quotes
// it) as it is, escaped for the page in HTML mode.  Not flushed.
void print_text(const char *text);

// Ends a progress line that failed: "failed: REASON" and the line suffix, the
// reason in the words the log has (escaped for the page in HTML mode).  Every
// failure on a progress line goes out through here, and the first one is the
// run's reason in its outcome record.
void print_failed(const char *reason);

// The outcome record of this run, filled as it goes: the stages set its stage,
// readings and signer; print_failed its reason.
extern OutcomeRecord run_record;

// Starts the record of a run on `port` with the image `file`: who started it,
// when, and this process's id.
void run_begin(int port, const char *file);

// The run has reached a stage (a STAGE_ token).
void run_stage(const char *stage);

// Ends the record of the run with its exit status and cause and appends it to
// the history; a record that cannot be written costs one warning in the log.
// Returns the status.
int run_finish(int status, const char *cause);

// Elapsed time between two monotonic timestamps: whole seconds and the
// remainder in microseconds.
void elapsed_time(const struct timespec &start, const struct timespec &end, int *seconds,
                  double *micros);

struct FlashPrinter;
// The flashing's progress printer of the output mode.
const FlashPrinter &flash_printer();

// The update stages after the board check, on a port with a TARVO board.
// Returns the exit status of the run; the cause is in run_record.
int update_sequence(const PortInfo &port, const char *file);

// The firmware file check and the signature verdict, as the update runs them,
// with its progress line; true when the image may be flashed.
bool check_firmware_file(const char *file);
