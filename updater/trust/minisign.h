// minisign public keys and signatures: their two small text forms, read
// strictly and with bounded sizes, and the check of a signature, done by
// libsodium (Ed25519, and BLAKE2b-512 for the prehashed form).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t MINISIGN_ID_BYTES = 8;
constexpr std::size_t MINISIGN_KEY_BYTES = 32;
constexpr std::size_t MINISIGN_SIG_BYTES = 64;
// Longest trusted comment taken, in bytes.
constexpr std::size_t MINISIGN_COMMENT_MAX = 1024;
// Largest key and signature files read: two and four lines, the comments
// bounded.
constexpr long MINISIGN_KEY_FILE_MAX = 2048;
constexpr long MINISIGN_SIG_FILE_MAX = 4096;
// A key ID as people see it: 16 upper-case hex digits, and the zero.
constexpr std::size_t MINISIGN_ID_TEXT_SIZE = 17;

struct MinisignKey {
    std::uint8_t id[MINISIGN_ID_BYTES];
    std::uint8_t key[MINISIGN_KEY_BYTES];
};

struct MinisignSignature {
    bool prehashed; // "ED": over the file's BLAKE2b-512 hash; "Ed": over the file
    std::uint8_t id[MINISIGN_ID_BYTES];
    std::uint8_t sig[MINISIGN_SIG_BYTES];
    char comment[MINISIGN_COMMENT_MAX + 1]; // the trusted comment, zero-terminated
    std::size_t comment_length;
    std::uint8_t global[MINISIGN_SIG_BYTES]; // over sig and comment
};

// The text of a public key file (length bytes): "untrusted comment: ..." and
// the base64 of "Ed", the key ID and the key, each line ended by LF (the last
// one may lack it), nothing else.  False with the reason when it is not that.
bool minisign_parse_key(const char *text, std::size_t length, MinisignKey *key, char *reason,
                        std::size_t size);

// The text of a signature file: "untrusted comment: ...", the base64 of the
// algorithm, the key ID and the signature, "trusted comment: ...", and the
// base64 of the global signature.  False with the reason when it is not that.
bool minisign_parse_signature(const char *text, std::size_t length, MinisignSignature *sig,
                              char *reason, std::size_t size);

// The key ID as people see it: the 8 bytes as a little-endian number in hex.
void minisign_id_text(const std::uint8_t *id, char *out);

enum MinisignCheck {
    MINISIGN_GOOD = 0,
    MINISIGN_OTHER_KEY = 1,   // the signature names another key ID
    MINISIGN_BAD_FILE = 2,    // does not match the data
    MINISIGN_BAD_COMMENT = 3, // the global signature does not match the comment
    MINISIGN_NO_LIBRARY = 4,  // libsodium could not start
};

// Checks the signature of data (length bytes) with key: the key IDs, the
// signature over the data (or its hash), then the global signature over the
// signature and the trusted comment.
int minisign_check(const MinisignKey &key, const MinisignSignature &sig, const std::uint8_t *data,
                   std::size_t length);
