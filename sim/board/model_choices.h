// Every behaviour of the simulated TARVO board that the part's documentation
// leaves open, chosen once and named here: memory map, loader timing and
// answers, the firmware descriptor and the MODBUS slave's timing.
#pragma once

#include "sim/clock.h"

#include <array>
#include <cstdint>

namespace sim::board {

// ---- Memory map of the MSP430 (F1xx, 16 KB part) ----
constexpr std::uint16_t PERIPHERAL_END = 0x01FF; // registers from 0x0000, inclusive
constexpr std::uint16_t RAM_START = 0x0200;
constexpr std::uint16_t RAM_END = 0x03FF; // inclusive
constexpr std::uint16_t LOADER_ROM_START = 0x0C00;
constexpr std::uint16_t LOADER_ROM_END = 0x0FFF;
constexpr std::uint16_t INFO_START = 0x1000;
constexpr std::uint16_t INFO_END = 0x10FF;
constexpr std::uint16_t MAIN_START = 0xC000;
constexpr std::uint16_t MAIN_END = 0xFFFF;
constexpr std::size_t RAM_SIZE = RAM_END - RAM_START + 1;
constexpr std::size_t INFO_SIZE = INFO_END - INFO_START + 1;
constexpr std::size_t MAIN_SIZE = MAIN_END - MAIN_START + 1;
constexpr std::size_t MAIN_SEGMENT = 512; // erase segment of main flash
constexpr std::size_t INFO_SEGMENT = 128; // erase segment of information flash
constexpr std::uint16_t VECTORS_START = 0xFFE0;
constexpr std::uint16_t RESET_VECTOR = 0xFFFE;
constexpr std::uint8_t ERASED = 0xFF;
// RAM content at power-on.
constexpr std::uint8_t RAM_POWER_ON = 0x00;
// What a read gives outside RAM, flash, boot ROM and the peripheral space.
constexpr std::uint8_t UNUSED_READ = 0xFF;
// What every peripheral register (0x0000..0x01FF) reads as: the simulator
// models none of the registers, and many of them are cleared at reset.
constexpr std::uint8_t PERIPHERAL_READ = 0x00;
// The chip's identification in its boot ROM, 16 bytes from 0x0FF0: the device
// ID 0xF1 0x49 (an F149), then at 0x0FFA..0x0FFB the loader's version 1.10
// as the bytes 0x01 0x10 (major, minor; read as hex digits they give "1.10").
// These are the 16 bytes the loader has always answered to TX loader version,
// so a client gets the same identification from either command.  The other
// bytes are not pinned down: 0x00.
constexpr std::uint16_t CHIP_ID_ADDRESS = 0x0FF0;
constexpr std::array<std::uint8_t, 16> CHIP_ID = {0xF1, 0x49, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                  0x00, 0x00, 0x01, 0x10, 0x00, 0x00, 0x00, 0x00};
// What the rest of the boot ROM (the loader's code) reads as.
constexpr std::uint8_t BOOT_ROM_READ = 0x00;

// ---- Reset and loader entry ----
// TCK pulses shorter than this are not seen.
constexpr Nanos TCK_MIN_PULSE = 10 * NS_PER_US;
// Time from RST rising (or a loader restart) until the loader listens.
constexpr Nanos LOADER_STARTUP = 1 * NS_PER_MS;

// ---- ROM loader, version 1.10 ----
// (Its framing and command codes: bsl_frame.h.)
// Erase words (the flash controller's FCTL1 value with its key 0xA5) of the
// erase command 0x16; the mass erase command 0x18 takes only ERASE_ALL.  The
// dummy write that starts the erase may address main or information memory.
constexpr std::uint16_t ERASE_SEGMENT_WORD = 0xA502; // the segment holding the address
constexpr std::uint16_t ERASE_MAIN_WORD = 0xA504;    // all main memory, information memory stays
constexpr std::uint16_t ERASE_ALL_WORD = 0xA506;     // main and information memory
// Any other erase word, and an erase whose address is not in flash, is
// answered NAK and erases nothing.
// The loader's own entry: a load PC here restarts it (password lost).
constexpr std::uint16_t LOADER_ENTRY = 0x0C22;
// Where the RAM patch for loader 1.10 runs from.
constexpr std::uint16_t PATCH_ADDRESS = 0x0220;
// Delay from the last byte of a SYNC or frame to the first byte of the answer.
constexpr Nanos LOADER_ANSWER_DELAY = 50 * NS_PER_US;

// ---- The flash controller's timing (board settings, tarvo-sim set) ----
// Every flash time is a count of cycles of the flash timing generator, which
// the data sheet allows at 257..476 kHz.  The typical board runs it at 308 kHz:
// the frequency at which one mass erase cycle (5297 cycles) lasts the loader
// guide's nominal 17.2 ms.
constexpr std::uint64_t FLASH_TIMING_HZ_TYPICAL = 308000;
constexpr std::uint64_t FLASH_TIMING_HZ_MIN = 257000;
constexpr std::uint64_t FLASH_TIMING_HZ_MAX = 476000;
constexpr std::uint64_t FLASH_BYTE_CYCLES = 35;
constexpr std::uint64_t MASS_ERASE_CYCLES = 5297;
constexpr Nanos flash_cycles(std::uint64_t cycles, std::uint64_t hz) {
    return cycles * NS_PER_S / hz;
}
// Programming time of one flash byte (setting flash-byte-us): data sheet
// 73.5 us (476 kHz) .. 136 us (257 kHz); the typical board 113.6 us.
constexpr Nanos FLASH_BYTE_TIME = flash_cycles(FLASH_BYTE_CYCLES, FLASH_TIMING_HZ_TYPICAL);
constexpr Nanos FLASH_BYTE_TIME_MIN = 73500;
constexpr Nanos FLASH_BYTE_TIME_MAX = flash_cycles(FLASH_BYTE_CYCLES, FLASH_TIMING_HZ_MIN);
// Time of one erase (segment, main memory or all flash) before the ACK
// (setting erase-cycle-us): data sheet 11.1 ms (476 kHz) .. 20.6 ms (257 kHz)
// for a mass erase cycle; the board has always taken 20 ms.
constexpr Nanos ERASE_TIME = 20 * NS_PER_MS;
constexpr Nanos ERASE_TIME_MIN = 11100 * NS_PER_US;
constexpr Nanos ERASE_TIME_MAX = flash_cycles(MASS_ERASE_CYCLES, FLASH_TIMING_HZ_MIN);
// A part that needs the cumulative mass erase time (setting cumulative-erase):
// until its flash has been erased for this long in total since it was last
// programmed, an erase leaves the most significant bit of every programmed cell
// at 0 (model choice: which bits stay is not documented; bit 7 of a cell that
// held a 0 there).  The data sheet's cumulative mass erase time is 200 ms.
constexpr Nanos CUMULATIVE_ERASE_TIME = 200 * NS_PER_MS;
constexpr std::uint8_t UNDER_ERASED_BITS = 0x7F; // the bits an incomplete erase sets
// Data byte that loader 1.10 without its patch delivers for every flash byte
// read (main and information memory; other addresses read true), and it
// writes nothing into flash.
constexpr std::uint8_t UNPATCHED_READ = 0x3F;
// Data blocks (RX and TX) carry at most this many bytes, start at an even
// address and have an even length (the loader guide).  Model choice: a block
// that breaks these rules is answered NAK and nothing is written.  A TX block
// that runs past 0xFFFF goes on at 0x0000 (16-bit address counter).
constexpr std::uint16_t DATA_BLOCK_MAX = 250;
// Model choices of the loader's line handling:
// - bytes with a parity or framing error are dropped;
// - outside a frame only SYNC is understood, every other byte is ignored;
// - the byte after an acknowledged SYNC must be the frame header, anything
//   else is answered NAK at once;
// - L1 != L2 is answered NAK as soon as L2 has arrived;
// - after every answer the loader waits for a fresh SYNC.
// TX loader version (0x1E): a command of loaders 1.60 and up, answered with a
// data frame of the 16 identification bytes of the boot ROM; loader 1.10 does
// not know it and answers NAK, as an F149 user reports.

// ---- Loader versions (board setting loader) ----
// The versions the simulated board can carry, as the identification's bytes
// 10 and 11 give them (BCD): 1.10, which needs the RAM patch, and 1.61, which
// parts sold as 1.10 parts have shipped with.  On 1.61 a load PC into the
// 1.10 entry (0x0C22) or into the 1.10 patch runs code written for another
// ROM: the chip hangs (model choice); flash data blocks need no patch.
constexpr std::uint16_t LOADER_1_10 = 0x0110;
constexpr std::uint16_t LOADER_1_61 = 0x0161;
constexpr std::size_t CHIP_ID_VERSION = 10; // offset of the version's major byte

// ---- Board firmware ----
// The user program listens this long after it starts (setting
// firmware-start-ms).  Nothing in the loader bounds it: oscillator start-up,
// a crystal can take hundreds of milliseconds.  Settable from 0 to 10 s.
constexpr Nanos PROGRAM_STARTUP = 1 * NS_PER_MS;
constexpr Nanos PROGRAM_STARTUP_MAX = 10 * NS_PER_S;
// MODBUS reply delay after the request's LF.
constexpr Nanos MODBUS_REPLY_DELAY = 2 * NS_PER_MS;
constexpr std::uint8_t MODBUS_SLAVE = 3;
// Longest request line the firmware buffers (":" to LF); longer ones are dropped.
constexpr std::size_t MODBUS_LINE_MAX = 64;
// Characters of a reply the modbus-short fault lets through.
constexpr std::size_t MODBUS_SHORT_LENGTH = 11;

// Firmware descriptor, 8 bytes just below the interrupt vectors, words little
// endian as the MSP430 stores them:
//   0xFFD8 magic 0x5654 (the bytes "TV")
//   0xFFDA version, upper 16 bits   (holding register 1)
//   0xFFDC version, lower 16 bits   (holding register 2)
//   0xFFDE configuration word        (holding register 3)
// An image without the magic reports version 0 and configuration 0.
constexpr std::uint16_t DESCRIPTOR_ADDRESS = 0xFFD8;
constexpr std::uint16_t DESCRIPTOR_MAGIC = 0x5654;

} // namespace sim::board
