// The update stages after the board check: firmware file check, current version
// and configuration, bootstrap entry, erase, RAM patch, authentication,
// flashing, new version and configuration with the match mark.  The first
// failing stage ends the sequence.
#include "common/history.h"
#include "common/platform.h"
#include "common/ports.h"
#include "updater/bsl/bsl.h"
#include "updater/hexfile/hexfile.h"
#include "updater/modbus/modbus.h"
#include "updater/pending.h"
#include "updater/port/bsl_entry.h"
#include "updater/port/uart.h"
#include "updater/port/wait.h"
#include "updater/run.h"
#include "updater/trust/trust.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr int CONFIG_TEXT_SIZE = 128;
constexpr const char *MATCH_MARK = " <font color=\"green\">&#10004;</font>";
constexpr const char *MISMATCH_MARK = " <font color=\"red\">&#10008;</font>";

constexpr unsigned long BSL_ENTRY_PAUSE_US = 5000;
constexpr unsigned long ERASE_PAUSE_US = 17200;
constexpr unsigned long AUTH_PAUSE_US = 5000;

// How long the new program may take before it answers MODBUS.  Nothing in the
// loader bounds its start-up: the board's own program starts in about a
// millisecond, but an oscillator, a crystal above all, can take hundreds of
// milliseconds.  Two seconds cover a start-up of a second with room for the
// retry granularity (a failed read takes about 130 ms, 400 ms on a 100 Hz
// kernel whose clock ticks too, plus the pause), and keep a board that never
// answers from holding the page and the fleet run up for long.
constexpr long FIRMWARE_START_WINDOW_US = 2000000;
constexpr unsigned long FIRMWARE_RETRY_PAUSE_US = 100000;
// What a reading after the flashing prints when the board did not answer.
constexpr const char *NO_ANSWER = "no answer";

// One piece of a progress line, on its way to the page at once.
__attribute__((format(printf, 1, 2))) void say(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

// A stage failed: logged with its code, "failed" and the cause in words end
// the line.  Logged as main's, as these lines always have been.
bool stage_failed(const char *stage, int code) {
    plat_syslog(LOG_ERR, "%s: Device %s failed with code %d", "main", stage, code);
    print_failed(bsl_failure_text(code));
    return false;
}

// Time since a stage's start: whole seconds and the remaining microseconds.
struct Elapsed {
    int seconds;
    double micros;
};

Elapsed since(const struct timespec &start) {
    struct timespec end;
    plat_clock_monotonic(&end);
    Elapsed e;
    elapsed_time(start, end, &e.seconds, &e.micros);
    return e;
}

// The firmware file as the check read it: the flashing writes this image and
// never reads the file again.
HexImage firmware_image;
FirmwarePath firmware;

bool print_version(const char *which, const PortInfo &port, std::uint32_t *version) {
    say("Reading %s TARVO FW version on PORT%d ... ", which, port.number);
    uart_init_modbus(port);
    bool read = read_fw_version(port, version) == 0;
    say("0x%08X%s", *version, line_suffix);
    return read;
}

// The new program's version, once it answers within the start-up window;
// "no answer" otherwise.
void print_new_version(const PortInfo &port) {
    say("Reading new TARVO FW version on PORT%d ... ", port.number);
    uart_init_modbus(port);
    struct timespec start;
    plat_clock_monotonic(&start);
    std::uint32_t version = 0;
    for (;;) {
        if (read_fw_version(port, &version) == 0) {
            say("0x%08X%s", version, line_suffix);
            run_record.after.has_version = true;
            run_record.after.version = version;
            return;
        }
        Elapsed e = since(start);
        if (e.seconds * 1e6 + e.micros >= FIRMWARE_START_WINDOW_US)
            break;
        wait_us(FIRMWARE_RETRY_PAUSE_US);
    }
    say("%s%s", NO_ANSWER, line_suffix);
}

bool erase_device(const PortInfo &port) {
    plat_syslog(LOG_INFO, "Erasing device on PORT%d ...", port.number);
    say("Erasing device on PORT%d ... ", port.number);
    struct timespec start;
    plat_clock_monotonic(&start);
    for (int cycle = 0; cycle < MASS_ERASE_CYCLES; ++cycle) {
        int rc = msp430_mass_erase(port);
        if (rc < 0)
            return stage_failed("mass erase", rc);
    }
    say("done%s", line_suffix);
    Elapsed e = since(start);
    plat_syslog(LOG_INFO, "Mass erase: %d cycles", MASS_ERASE_CYCLES);
    plat_syslog(LOG_INFO, "Device erased at %.3f us", e.seconds * 1e6 + e.micros);
    wait_us(ERASE_PAUSE_US);
    return true;
}

bool patch_loader(const PortInfo &port) {
    say("Patching device on PORT%d ... ", port.number);
    int rc = msp430_patch_bsl(port);
    if (rc < 0)
        return stage_failed("patch", rc);
    say("%s%s", bsl_loader->needs_patch ? "done" : "not needed", line_suffix);
    return true;
}

bool authenticate(const PortInfo &port) {
    plat_syslog(LOG_INFO, "Authenticating to Bootstrap Loader on PORT%d ...", port.number);
    // Not flushed: this title has always gone out together with its result.
    std::printf("Authenticating to Bootstrap Loader on PORT%d ... ", port.number);
    struct timespec start;
    plat_clock_monotonic(&start);
    int rc = msp430_send_passwd(port);
    if (rc < 0)
        return stage_failed("authentication", rc);
    Elapsed e = since(start);
    plat_syslog(LOG_INFO, "Device authenticated at %ds %.3f us", e.seconds, e.micros);
    say("done%s", line_suffix);
    wait_us(AUTH_PAUSE_US);
    return true;
}

// The progress letters or fragments of the flashing follow the title on its
// line.
bool flash_firmware(const PortInfo &port, const char *file) {
    plat_syslog(LOG_INFO, "Flashing %s on PORT%d ...", file, port.number);
    say("Flashing TARVO on PORT%d ... ", port.number);
    struct timespec start;
    plat_clock_monotonic(&start);
    int rc = msp430_load_fw(port, firmware_image, firmware.fixed, flash_printer());
    if (rc < 0)
        return stage_failed("flashing", rc);
    Elapsed e = since(start);
    plat_syslog(LOG_INFO, "Device flashed at %ds %0.3fus", e.seconds, e.micros);
    return true;
}

// The board reports the configuration its firmware was built for; image names
// carry it after one leading letter, and may go on with anything ("_r2",
// ".hex") but another piece of a configuration: a board that reports "1a" does
// not run "V1a2a3c4b5b6b7o.hex".  The empty text matches any name.
bool config_matches(const char *file, const char *text) {
    std::size_t n = std::strlen(text);
    if (std::strlen(file) < n + 1 || std::strncmp(file + 1, text, n) != 0)
        return false;
    return n == 0 || config_piece(file + 1 + n) == 0;
}

// Prints the new configuration with its mark; true when it names the file's
// configuration.  Only what was read after the flashing is shown: a read that
// fails prints "no answer" and confirms nothing.  An empty text matches any
// name and gets the match mark, but confirms no image either: a board without
// a configuration reports none.
bool print_new_config(const PortInfo &port, const char *file) {
    say("Reading new TARVO config on PORT%d ... ", port.number);
    char text[CONFIG_TEXT_SIZE] = "";
    bool read = read_config_string(port, text, CONFIG_TEXT_SIZE) == 0;
    bool match = read && config_matches(file, text);
    bool confirmed = match && text[0] != '\0';
    run_record.after.has_config = read;
    if (read)
        std::snprintf(run_record.after.config, sizeof run_record.after.config, "%s", text);
    if (!read)
        std::snprintf(text, sizeof text, "%s", NO_ANSWER);
    std::size_t n = std::strlen(text);
    std::snprintf(text + n, CONFIG_TEXT_SIZE - n, "%s", match ? MATCH_MARK : MISMATCH_MARK);
    say("%s%s", text, line_suffix);
    return confirmed;
}

// Whether the boot's recovery started this run, rather than a person (by
// hand, the web pages or the fleet): the history's own telling of who started it.
bool started_by_recovery() {
    return std::strcmp(history_started_by(), BY_BOOT_RECOVERY) == 0;
}

// The record of this update, before anything changes the board.
bool record_update(const PortInfo &port, const char *file) {
    PendingUpdate r;
    char reason[PENDING_REASON_SIZE];
    if (!pending_begin(port, file, firmware_image.file_crc32, started_by_recovery(), &r, reason,
                       sizeof reason)) {
        say("Cannot record the update: %s%s", reason, line_suffix);
        plat_log_here(LOG_ERR, "Cannot record the update of %s on PORT%d: %s", file, port.number,
                      reason);
        return false;
    }
    plat_syslog(LOG_INFO, "Update of %s on PORT%d recorded (attempt %d, pending since %s)", file,
                port.number, r.attempts, r.since);
    return true;
}

// The flashing has completed: the board runs its new program, whatever it
// reports.
void finish_record(const PortInfo &port) {
    char reason[PENDING_REASON_SIZE];
    if (pending_clear(port, reason, sizeof reason))
        plat_syslog(LOG_INFO, "Update on PORT%d completed, its record removed", port.number);
    else
        plat_log_here(LOG_WARNING, "%s", reason);
}

// One warning where the kernel's timing is not the usual: the receives poll
// without sleeping where a sleep lasts longer than 1 ms, and the waits either
// finish on the clock or, where the clock advances in steps too, sleep whole
// ticks and make the update longer.
void report_kernel_timing() {
    WaitMethod method = wait_method();
    long tick_us = uart_timer_resolution_ns() / 1000;
    if (method == WAIT_COARSE_CLOCK)
        plat_log_here(LOG_WARNING,
                      "Kernel timers are coarse (%ld us) and so is the clock (steps of %ld us): "
                      "waits sleep whole ticks%s, the update will take longer",
                      tick_us, wait_clock_step_ns() / 1000,
                      uart_timers_coarse() ? ", receives poll without sleeps" : "");
    else if (uart_timers_coarse())
        plat_log_here(LOG_WARNING,
                      "Kernel timers are coarse (%ld us): waits finish on the clock (steps of "
                      "%ld ns), receives poll without sleeps",
                      tick_us, wait_clock_step_ns());
}

} // namespace

// Opens the firmware file once and reads it whole, checks those bytes against
// the owner's keys and decodes them into the image, before the board is
// touched.
bool check_firmware_file(const char *file) {
    // The name comes from the form on the web page: text, never markup.
    std::fputs("Checking firmware file ", stdout);
    print_text(file);
    say(" ... ");
    char reason[FIRMWARE_REASON_SIZE];
    TrustVerdict trust{};
    bool ok = firmware_path(file, &firmware, reason, sizeof reason);
    if (ok) {
        // Not blocking: a FIFO in its place is refused, not waited for.
        int fd = open(firmware.where, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            std::snprintf(reason, sizeof reason, "cannot be opened (%s)", std::strerror(errno));
            ok = false;
        } else {
            long length = 0;
            const char *bytes = hex_read_file(fd, &length, reason, sizeof reason);
            close(fd);
            ok = bytes != nullptr &&
                 trust_check_image(
                     firmware.fixed, firmware.where, reinterpret_cast<const std::uint8_t *>(bytes),
                     static_cast<std::size_t>(length), &trust, reason, sizeof reason) &&
                 hex_decode_image(length, &firmware_image, reason, sizeof reason);
        }
    }
    if (!ok) {
        print_failed(reason);
        plat_log_here(LOG_ERR, "Firmware file %s refused: %s", firmware.fixed, reason);
        return false;
    }
    std::snprintf(run_record.signer, sizeof run_record.signer, "%s",
                  trust.verified ? trust.key_id : "unsigned");
    if (trust.verified)
        say("done, signed by key %s%s", trust.key_id, line_suffix);
    else
        say("done%s", line_suffix);
    return true;
}

// The sequence's end: the status, with its cause for the record.
int ended(int status, const char *cause) {
    std::snprintf(run_record.cause, sizeof run_record.cause, "%s", cause);
    return status;
}

int update_sequence(const PortInfo &port, const char *file) {
    run_stage(STAGE_CHECK);
    if (!check_firmware_file(file))
        return ended(EXIT_FILE_REFUSED, CAUSE_REFUSED);

    report_kernel_timing();

    run_stage(STAGE_READ);
    std::uint32_t version = 0;
    BoardReading &before = run_record.before;
    before.has_version = print_version("current", port, &version);
    before.version = version;
    say("Reading current TARVO config on PORT%d ... ", port.number);
    before.has_config = read_config_string(port, before.config, CONFIG_TEXT_SIZE) == 0;
    if (!before.has_config)
        before.config[0] = '\0';
    say("%s%s", before.config, line_suffix);

    if (!record_update(port, file))
        return ended(EXIT_NOT_RECORDED, CAUSE_NOT_RECORDED);
    run_stage(STAGE_ERASE);
    msp430_enter_bsl(port);
    wait_us(BSL_ENTRY_PAUSE_US);

    if (!erase_device(port))
        return ended(EXIT_STAGE_FAILED, CAUSE_STAGE_FAILED);
    run_stage(STAGE_PATCH);
    if (!patch_loader(port))
        return ended(EXIT_STAGE_FAILED, CAUSE_STAGE_FAILED);
    run_stage(STAGE_AUTHENTICATE);
    if (!authenticate(port))
        return ended(EXIT_STAGE_FAILED, CAUSE_STAGE_FAILED);
    run_stage(STAGE_FLASH);
    if (!flash_firmware(port, file))
        return ended(EXIT_STAGE_FAILED, CAUSE_STAGE_FAILED);
    finish_record(port);

    // Set up for MODBUS before the title as well as after it: after a flashing
    // the line has always been set up twice before the version is read.
    run_stage(STAGE_VERIFY);
    uart_init_modbus(port);
    print_new_version(port);
    bool confirmed = print_new_config(port, file);
    const BoardReading &after = run_record.after;
    if (!after.has_config)
        std::snprintf(run_record.reason, sizeof run_record.reason, "the board did not answer");
    else if (!confirmed && !after.config[0])
        std::snprintf(run_record.reason, sizeof run_record.reason,
                      "the board reports no configuration");
    else if (!confirmed)
        std::snprintf(run_record.reason, sizeof run_record.reason,
                      "the board reports %s, not the image's configuration", after.config);
    return confirmed ? ended(EXIT_UPDATED, CAUSE_UPDATED) : ended(EXIT_MISMATCH, CAUSE_MISMATCH);
}
