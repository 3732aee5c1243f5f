// The record of an update in progress on a port: written just before the board
// is first changed and removed once its flashing has completed, so that an
// update cut short (power loss, a killed run, a failed stage) is known after
// it: which image the board was getting, since when, and how often it was tried.
// One small text file per port in PATH_STATE_DIR, "PORT1" or "PORT2":
//
//   image=V1a2a3c4b5b6b7o.hex
//   crc32=0x1C291CA3
//   since=2026-12-08T04:10:00Z
//   attempts=1
#pragma once

#include <cstddef>
#include <cstdint>

struct PortInfo;

constexpr int PENDING_IMAGE_SIZE = 256; // the image's name in the firmware directory
constexpr int PENDING_TIME_SIZE = 24;   // "YYYY-MM-DDTHH:MM:SSZ"
constexpr int PENDING_PATH_SIZE = 64;   // the record's fixed path
constexpr int PENDING_REASON_SIZE = 600;

struct PendingUpdate {
    char image[PENDING_IMAGE_SIZE]; // relative to the firmware directory
    std::uint32_t crc32;            // of the image file's bytes when the update began
    char since[PENDING_TIME_SIZE];  // start of the first attempt, ISO 8601 UTC
    int attempts;                   // runs that began this update, the first included, and
                                    // boots that found no board in the port
    int absent;                     // of these, the boots that found no board ("absent=N",
                                    // only when not 0)
};

enum PendingStatus {
    PENDING_FOUND = 0,
    PENDING_NONE = 1,     // no record
    PENDING_DAMAGED = -1, // unreadable, not a regular file, not a record, or the state
                          // directory is not private
};

// The record's fixed path for a port (PATH_STATE_DIR "/PORT1").
void pending_path(const PortInfo &port, char *buf, std::size_t size);

// Reads a port's record.  PENDING_DAMAGED leaves the reason in `reason`.
int pending_read(const PortInfo &port, PendingUpdate *record, char *reason, std::size_t size);

// Writes the record of an update of `image` on `port` that begins now;
// `crc32` is of the image file's bytes as the check read them.  A person's update (`by_recovery`
// false) starts a new record: attempt 1, no absence, since now.  The boot's recovery counts one
// more attempt of the record already there when it is of the same image with the same checksum (its
// start time stays).  The file reaches the disk before this returns. False with the reason when it
// cannot be written; the board must then not be touched.
bool pending_begin(const PortInfo &port, const char *image, std::uint32_t crc32, bool by_recovery,
                   PendingUpdate *written, char *reason, std::size_t size);

// Counts a boot that found no board in the port: one more attempt, one more
// absence.  False with the reason when the record cannot be written.
bool pending_missed(const PortInfo &port, PendingUpdate *record, char *reason, std::size_t size);

// Removes the record (true when there is none left).
bool pending_clear(const PortInfo &port, char *reason, std::size_t size);

// CRC-32 of a file's bytes.  False with the reason when it cannot be read.
bool pending_file_crc(const char *path, std::uint32_t *crc, char *reason, std::size_t size);
