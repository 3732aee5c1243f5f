// Client of the MSP430 ROM bootstrap loader (BSL) on an expansion port's serial
// line: frames and commands, the loader's RAM patch, and flashing a firmware
// image chunk by chunk.  Results: 0 success, negative codes below.
#pragma once

#include "common/paths.h"

#include <cstddef>
#include <cstdint>

struct PortInfo;

// Single-byte tokens.
constexpr std::uint8_t BSL_SYNC = 0x80;
constexpr std::uint8_t BSL_ACK = 0x90;
// Frame header byte.
constexpr std::uint8_t BSL_HDR = 0x80;

// The loader's commands this client sends, by their codes.
enum BslCommand : std::uint8_t {
    BSL_CMD_RX_PASSWORD = 0x10,
    BSL_CMD_RX_DATA = 0x12,
    BSL_CMD_TX_DATA = 0x14,
    BSL_CMD_MASS_ERASE = 0x18,
    BSL_CMD_LOAD_PC = 0x1A,
};

// Header bytes before the data, checksum bytes after it.
constexpr int BSL_FRAME_HEAD = 8;
constexpr int BSL_FRAME_OVERHEAD = 10;
// Most data bytes one data block (RX or TX) carries, as the loader guide gives
// it: the frame's one-byte length field L1 holds n + 4.
constexpr int BSL_MAX_WRITE = 250;
// Most data bytes of one data block of the flashing.  The loader acknowledges
// a block only after programming it; at the slowest flash byte time (136 us)
// 16 bytes are acknowledged in about 4.6 ms, within the acknowledge wait.
constexpr int BSL_FLASH_BLOCK = 16;
// Header and checksum bytes around the data of a TX data block answer.
constexpr int BSL_ANSWER_OVERHEAD = 6;
constexpr int BSL_PASSWORD_SIZE = 32;
// Erased flash reads 0xFF: the password of a mass-erased device.
constexpr std::uint8_t MSP430_ERASED_BYTE = 0xFF;

// Serial budgets (units of the serial driver).
constexpr int BSL_BUDGET = 5000;
constexpr int BSL_ERASE_ACK_BUDGET = 500000;
// The flash needs 200 ms of mass erase in total (the data sheet's cumulative
// mass erase time); one loader mass erase lasts at least 11.1 ms (at the
// fastest flash timing generator), so the erase is repeated until the cycles'
// guaranteed durations reach it: 19 cycles.
constexpr int MSP430_CUMULATIVE_ERASE_US = 200000;
constexpr int MSP430_MASS_ERASE_CYCLE_MIN_US = 11100;
constexpr int MASS_ERASE_CYCLES =
    (MSP430_CUMULATIVE_ERASE_US + MSP430_MASS_ERASE_CYCLE_MIN_US - 1) /
    MSP430_MASS_ERASE_CYCLE_MIN_US;
static_assert(MASS_ERASE_CYCLES == 19, "the data sheet's worst-case minimum of cycles");
// Pause after an acknowledged SYNC.
constexpr unsigned long BSL_SYNC_PAUSE_US = 1500;

// Addresses in the MSP430.
constexpr std::uint32_t BSL_PATCH_ADDRESS = 0x0220;
// A range of the MSP430's memory, both ends included.
struct Msp430Range {
    std::uint32_t first, last;
    constexpr std::uint32_t size() const { return last - first + 1; }
    constexpr bool holds(std::uint32_t address) const {
        return address >= first && address <= last;
    }
};
// The memory a firmware image may write: main flash, whose last word is the
// reset vector, and information memory.  A program starts in main flash below
// the interrupt vectors, at an even address.
constexpr Msp430Range MSP430_MAIN_FLASH = {0xC000, 0xFFFF};
constexpr Msp430Range MSP430_INFO_MEMORY = {0x1000, 0x10FF};
constexpr std::uint32_t MSP430_RESET_VECTOR = 0xFFFE;
constexpr std::uint32_t MSP430_START_LAST = 0xFFDE;
constexpr std::uint32_t BSL_LOADER_ENTRY = 0x0C22;
constexpr int BSL_PATCH_SIZE = 194;

// Result codes.
enum BslResult {
    BSL_OK = 0,
    BSL_ERR_PACKET = -6,     // frame not sent, answer incomplete, or bad write length
    BSL_ERR_TRANSMIT = -7,   // frame not sent (load PC, RX data block)
    BSL_ERR_ERASE = -8,      // mass erase not answered
    BSL_ERR_NAK = -9,        // SYNC failed, or command not acknowledged
    BSL_ERR_READ = -11,      // flashing: read-back failed
    BSL_ERR_WRITE = -12,     // flashing: write failed
    BSL_ERR_PATCH_RUN = -13, // flashing: patch run failed
    BSL_ERR_VERIFY = -14,    // data read back differ from what was written
    BSL_ERR_TOO_LONG = -15,  // flashing: record too long for the read-back frame
    BSL_ERR_IDENT = -16,     // the chip's identification names no loader version
};

// A failure of the loader client in a few words for the person at the screen:
// what the result code says, with how the last exchange failed on the line
// (no answer, another byte than the acknowledge, ...).  Static text.
const char *bsl_failure_text(int code);

// Stores the complemented XOR of the even positions of frame[0..count) at
// frame[count] and of the odd positions at frame[count + 1].
void bsl_checksum(std::uint8_t *frame, std::uint16_t count);

// SYNC exchange before every command: 0 or -9.
int bsl_sync(const PortInfo &port);

int msp430_mass_erase(const PortInfo &port);
int msp430_send_passwd(const PortInfo &port);
int msp430_load_pc(const PortInfo &port, std::uint32_t address, int verbose);
int msp430_write_memory(const PortInfo &port, std::uint32_t address, const std::uint8_t *data,
                        int length);
// buffer needs room for length + 6 bytes; on 0 the data stand at buffer[4] onward.
int msp430_read_memory(const PortInfo &port, std::uint32_t address, std::uint8_t *buffer,
                       int length);

// What depends on the ROM loader's version.  Loader 1.10 (and below) needs the
// maker's RAM patch, loaded and run before every data block; its procedure
// calls into the 1.10 ROM.  Every later loader (1.30, 1.40, 1.60, 1.61 on F1xx
// parts) serves flash data blocks as it is, and the 1.10 procedure would jump
// into unrelated code of its ROM.
struct LoaderProfile {
    std::uint16_t newest; // highest version (BCD) the profile covers
    bool needs_patch;
};

// The profile of a loader version given in BCD (0x0110 for 1.10): BSL_OK, or
// BSL_ERR_IDENT when the version is not BCD.
int loader_profile(std::uint16_t version, const LoaderProfile **profile);

// The profile of the loader of this run: set by msp430_patch_bsl from the
// chip's identification; loader 1.10's until then.
extern const LoaderProfile *bsl_loader;

// The chip's identification in its boot ROM: 16 bytes from 0x0FF0, the device
// ID in bytes 0 and 1 (high byte first), the loader version in BCD in bytes
// 10 and 11.
constexpr std::uint32_t BSL_CHIP_ID_ADDRESS = 0x0FF0;
constexpr int BSL_CHIP_ID_SIZE = 16;
constexpr int BSL_CHIP_ID_VERSION = 10;

// The maker's RAM patch for ROM loader 1.10, to be loaded at BSL_PATCH_ADDRESS.
extern const std::uint8_t bsl_patch_image[BSL_PATCH_SIZE];

// Authenticates, reads the chip's identification and sets bsl_loader from it;
// then, for a loader that needs it, loads the RAM patch and checks it.  0, the
// failing command's code, -16 for an identification without a loader version,
// or -14 when the patch read back differs from the image.
int msp430_patch_bsl(const PortInfo &port);

// Writes one record's bytes (length from address on) as even data blocks at
// even addresses of at most BSL_FLASH_BLOCK bytes, a record at an odd address
// or of odd length padded with 0xFF, each block after a patch run where the
// loader needs one.  A failure is logged under `who`: 0, -13 (patch run) or
// -12 (write).
int msp430_write_record(const PortInfo &port, std::uint32_t address, const std::uint8_t *data,
                        int length, const char *who);
// Reads the record's bytes back the same way into out (length bytes, the
// padding left out): 0, -13 (patch run) or -11 (read).
int msp430_read_record(const PortInfo &port, std::uint32_t address, std::uint8_t *out, int length,
                       const char *who);

// Longest path of a firmware file, with its terminating zero.
constexpr int FIRMWARE_PATH_SIZE = 256;

// A firmware file's path: the fixed path in the firmware directory, as the log
// names it, and where this system keeps that file (its LocalPath).
struct FirmwarePath {
    char fixed[FIRMWARE_PATH_SIZE + 1];
    char where[sizeof LocalPath::path];
};

// Room for the reason why a firmware file is refused.
constexpr int FIRMWARE_REASON_SIZE = 320;

// Builds the path of a file named relative to the firmware directory.  False
// with the reason when the name has a ".." component or the path does not fit
// FIRMWARE_PATH_SIZE (fixed then holds its first FIRMWARE_PATH_SIZE characters).
bool firmware_path(const char *file, FirmwarePath *path, char *reason, std::size_t size);

// Progress of a flashing, as the caller shows it (text letters or HTML
// fragments): before a data block is written, after its write (before its
// read-back), before and after the load PC that starts the program, and at
// the end of an image that went through.
struct FlashPrinter {
    void (*writing)(std::uint32_t device_address);
    void (*written)();
    void (*starting)(std::uint32_t start, const PortInfo &port);
    void (*started)();
    void (*finished)();
};

struct HexImage;

// Writes one chunk of an image (length bytes from address on) and reads it
// back, in data blocks that the loader takes: 0, or the negative code of the
// block that failed.
int flash_chunk(const PortInfo &port, std::uint32_t address, const std::uint8_t *data, int length,
                const FlashPrinter &printer);

// Writes the image into the device, chunk by chunk in file order, and starts
// its program: 0, or the negative code of the chunk or the
// start that failed (logged with the line and path, the file's name in the
// firmware directory).
int msp430_load_fw(const PortInfo &port, const HexImage &image, const char *path,
                   const FlashPrinter &printer);

// Progress percentage of a device address within main flash 0xC000..0xFFFF,
// clamped to 0..100 outside it.
int flash_progress_percent(std::uint32_t device_address);
