// The run frame shared by the updater's stages.
#pragma once

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
// failure on a progress line goes out through here.
void print_failed(const char *reason);

// Exit statuses of tarvo_update.
enum ExitStatus {
    EXIT_UPDATED = 0,          // update ran to its end, the board reports the file's configuration
    EXIT_USAGE = 1,            // wrong number of arguments
    EXIT_BAD_PORT = 2,         // port is not 1 or 2
    EXIT_NO_BOARD = 3,         // no TARVO board on the port
    EXIT_STAGE_FAILED = 4,     // erase, patch, authentication or flashing failed
    EXIT_FILE_REFUSED = 5,     // firmware file refused before the board was touched
    EXIT_MISMATCH = 6,         // flashed, but the board reports no configuration or another one
    EXIT_BUSY = 7,             // another update is running
    EXIT_LOCK_FAILED = 9,      // the update lock could not be taken; the board was not touched
    EXIT_NOT_RECORDED = 9,     // the record of the update could not be written; the board was not
                               // touched
    EXIT_NO_REGISTERS = 9,     // the registers cannot be reached ("/dev/mem" cannot be opened); the
                               // board was not touched
    EXIT_UNSAFE_DIRECTORY = 9, // the lock's or the records' directory is open to others; the
                               // board was not touched
};

// Elapsed time between two monotonic timestamps: whole seconds and the
// remainder in microseconds.
void elapsed_time(const struct timespec &start, const struct timespec &end, int *seconds,
                  double *micros);

struct FlashPrinter;
// The flashing's progress printer of the output mode.
const FlashPrinter &flash_printer();

// The update stages after the board check, on a port with a TARVO board.
// Returns the exit status of the run.
int update_sequence(const PortInfo &port, const char *file);
