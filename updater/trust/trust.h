// Which firmware images the updater takes.  The owner trusts an image by
// installing a minisign public key in the key directory and signing the image:
//
//   - no key file (*.pub) in the key directory, or no key directory: images are
//     taken unsigned, as they always were, with one notice in the log;
//   - any key file there: every image needs a signature (IMAGE.minisig beside
//     it) by a trusted key, checked on the very bytes the firmware check read;
//   - a key is trusted only when its file and the directory belong to root and
//     are not writable by group or others; any other key file is logged and
//     trusts nothing, but still requires signatures (the policy fails closed);
//   - a key directory that is not root's or is writable by group or others
//     refuses every image: whoever can write it could remove the keys; so does
//     any directory above it (also when the key directory is missing: it
//     could have been renamed away), and a key directory that is a link or no
//     directory at all;
//   - a trusted comment that names a file ("file:NAME", minisign's default)
//     must name the image's file: the name is the board's configuration.
//
// Several keys may be installed at once (rotation); removing a key file
// revokes it.
#pragma once

#include "common/paths.h"
#include "updater/trust/minisign.h"

#include <cstddef>
#include <cstdint>

// Key files taken from the key directory (PATH_KEY_DIR); more are refused rather than half read.
constexpr int TRUST_MAX_KEY_FILES = 16;
// A signature file's name: the image's with this appended.
constexpr const char *TRUST_SIG_SUFFIX = ".minisig";

struct TrustVerdict {
    bool verified;                      // signed by a trusted key
    char key_id[MINISIGN_ID_TEXT_SIZE]; // of that key, when verified
};

// The policy for one image: fixed is its path as the log names it, where the
// path this system keeps it at (plat_path), bytes and length what the firmware
// check read of it.  True when the image may be flashed (verdict says whether
// a signature was checked; both outcomes are logged); false with the reason.
bool trust_check_image(const char *fixed, const char *where, const std::uint8_t *bytes,
                       std::size_t length, TrustVerdict *verdict, char *reason, std::size_t size);
