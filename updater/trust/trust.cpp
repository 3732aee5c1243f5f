// The image trust policy (see trust.h): the key directory, the keys it holds,
// the image's signature file, and the verdict, logged either way.
#include "updater/trust/trust.h"

#include "common/platform.h"
#include "common/small_file.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr std::size_t NAME_SIZE = 256;
constexpr std::size_t WHY_SIZE = 160;
constexpr std::size_t WHERE_SIZE = 1024;

struct KeyNames {
    int count;
    char name[TRUST_MAX_KEY_FILES][NAME_SIZE];
};

struct TrustedKey {
    MinisignKey key;
    char file[NAME_SIZE];
};

bool is_key_name(const char *name) {
    std::size_t n = std::strlen(name);
    return n > 4 && std::strcmp(name + n - 4, ".pub") == 0;
}

// Why a file or directory cannot hold what the owner trusts: anyone but root
// who can change it could change the trust.  nullptr when it can.
const char *unsafe(const struct stat &st, char *why, std::size_t size) {
    if (st.st_uid != plat_root_uid()) {
        std::snprintf(why, size, "belongs to uid %u, not root", static_cast<unsigned>(st.st_uid));
        return why;
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        std::snprintf(why, size, "is writable by group or others");
        return why;
    }
    return nullptr;
}

// Whether every directory above the key directory, up to the system's root,
// is root's and writable by nobody else: whoever may write one of them may
// rename the key directory away, or put another in its place.  False with
// the refusal's reason when one is not.
bool safe_above(char *reason, std::size_t size) {
    char fixed[WHERE_SIZE];
    std::snprintf(fixed, sizeof fixed, "%s", PATH_KEY_DIR);
    for (char *slash = std::strrchr(fixed, '/'); slash; slash = std::strrchr(fixed, '/')) {
        slash[slash == fixed ? 1 : 0] = '\0';
        const LocalPath local(fixed);
        const char *path = local.path;
        struct stat st;
        char wrong[WHY_SIZE];
        if (stat(path, &st) != 0)
            std::snprintf(wrong, sizeof wrong, "cannot be examined (%s)", std::strerror(errno));
        else if (!unsafe(st, wrong, sizeof wrong))
            wrong[0] = '\0';
        if (wrong[0] != '\0') {
            std::snprintf(reason, size,
                          "directory %s above the key directory %s: no image is trusted", fixed,
                          wrong);
            return false;
        }
        if (slash == fixed)
            break;
    }
    return true;
}

// The file name that the signature's trusted comment names ("file:NAME",
// minisign's default comment has it), or false when it names none.
bool signed_name(const MinisignSignature &sig, char *name, std::size_t size) {
    for (const char *p = sig.comment; (p = std::strstr(p, "file:")) != nullptr; p += 5) {
        if (p != sig.comment && p[-1] != '\t' && p[-1] != ' ')
            continue;
        p += 5;
        std::size_t n = std::strcspn(p, "\t");
        std::snprintf(name, size, "%.*s", static_cast<int>(n), p);
        return true;
    }
    return false;
}

// Reads a key or signature file whole; its length, or -1 with the reason.
long read_bounded(int fd, char *buffer, long capacity, char *why, std::size_t size) {
    long length = read_small_file(fd, buffer, capacity);
    if (length == SMALL_FILE_UNREADABLE)
        std::snprintf(why, size, "cannot be read (%s)", std::strerror(errno));
    else if (length == SMALL_FILE_NOT_REGULAR)
        std::snprintf(why, size, "is not a regular file");
    else if (length == SMALL_FILE_TOO_LARGE)
        std::snprintf(why, size, "is larger than %ld bytes", capacity);
    return length < 0 ? -1 : length;
}

// One key file of the directory: true with the key when it is trusted,
// false with why not.
bool load_key(int dir, const char *name, MinisignKey *key, char *why, std::size_t size) {
    int fd = openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP)
            std::snprintf(why, size, "is a symbolic link");
        else
            std::snprintf(why, size, "cannot be opened (%s)", std::strerror(errno));
        return false;
    }
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
    if (!ok)
        std::snprintf(why, size, "cannot be read (%s)", std::strerror(errno));
    else if (S_ISREG(st.st_mode) && unsafe(st, why, size))
        ok = false;
    char text[MINISIGN_KEY_FILE_MAX + 1];
    long length = ok ? read_bounded(fd, text, MINISIGN_KEY_FILE_MAX, why, size) : -1;
    close(fd);
    return length >= 0 &&
           minisign_parse_key(text, static_cast<std::size_t>(length), key, why, size);
}

int by_name(const void *a, const void *b) {
    return std::strcmp(static_cast<const char *>(a), static_cast<const char *>(b));
}

// The names of the key files, sorted so that messages do not depend on the
// directory's order.  False with the reason when there are too many.
bool list_keys(DIR *dir, KeyNames *names, char *reason, std::size_t size) {
    names->count = 0;
    while (const struct dirent *entry = readdir(dir)) {
        if (!is_key_name(entry->d_name))
            continue;
        if (names->count == TRUST_MAX_KEY_FILES) {
            std::snprintf(reason, size, "more than %d key files in %s", TRUST_MAX_KEY_FILES,
                          PATH_KEY_DIR);
            return false;
        }
        std::snprintf(names->name[names->count++], NAME_SIZE, "%s", entry->d_name);
    }
    std::qsort(names->name, static_cast<std::size_t>(names->count), NAME_SIZE, by_name);
    return true;
}

__attribute__((format(printf, 3, 4))) bool refuse(char *reason, std::size_t size,
                                                  const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(reason, size, format, args);
    va_end(args);
    return false;
}

bool take_unsigned(const char *fixed) {
    plat_syslog(LOG_NOTICE,
                "Firmware file %s not verified: no key in %s, images are taken unsigned", fixed,
                PATH_KEY_DIR);
    return true;
}

const char *base_name(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// The image's signature file, read and decoded.
bool read_signature(const char *fixed, const char *where, MinisignSignature *sig, char *reason,
                    std::size_t size) {
    char path[WHERE_SIZE];
    std::snprintf(path, sizeof path, "%s%s", where, TRUST_SIG_SUFFIX);
    char name[NAME_SIZE + 16];
    std::snprintf(name, sizeof name, "%s%s", base_name(fixed), TRUST_SIG_SUFFIX);
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return refuse(reason, size, "not signed: no %s beside it", name);
        return refuse(reason, size, "signature file %s cannot be opened (%s)", name,
                      std::strerror(errno));
    }
    char text[MINISIGN_SIG_FILE_MAX + 1];
    char why[WHY_SIZE];
    long length = read_bounded(fd, text, MINISIGN_SIG_FILE_MAX, why, sizeof why);
    close(fd);
    if (length < 0)
        return refuse(reason, size, "signature file %s %s", name, why);
    return minisign_parse_signature(text, static_cast<std::size_t>(length), sig, reason, size);
}

// Opens the key directory, never through a link: whoever may change the
// link's target chooses the keys.  KEY_DIR_NONE where there is none (images
// are taken unsigned), KEY_DIR_REFUSED with the reason where it is not safe.
enum KeyDirResult { KEY_DIR_OPEN, KEY_DIR_NONE, KEY_DIR_REFUSED };
KeyDirResult open_key_dir(DIR **dir, char *reason, std::size_t size) {
    char why[WHY_SIZE];
    const LocalPath key_dir(PATH_KEY_DIR);
    const char *dir_path = key_dir.path;
    int dir_fd = open(dir_path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir_fd < 0) {
        if (errno == ENOENT)
            return KEY_DIR_NONE;
        struct stat link;
        if ((errno == ELOOP || errno == ENOTDIR) && lstat(dir_path, &link) == 0)
            refuse(reason, size, "key directory %s is %s: no image is trusted", PATH_KEY_DIR,
                   S_ISLNK(link.st_mode) ? "a symbolic link" : "not a directory");
        else
            refuse(reason, size, "key directory %s cannot be read (%s)", PATH_KEY_DIR,
                   std::strerror(errno));
        return KEY_DIR_REFUSED;
    }
    struct stat st;
    if (fstat(dir_fd, &st) != 0)
        std::snprintf(why, sizeof why, "cannot be read (%s)", std::strerror(errno));
    else if (!unsafe(st, why, sizeof why))
        why[0] = '\0';
    if (why[0] != '\0') {
        close(dir_fd);
        refuse(reason, size, "key directory %s %s: no image is trusted", PATH_KEY_DIR, why);
        return KEY_DIR_REFUSED;
    }
    *dir = fdopendir(dir_fd);
    if (*dir == nullptr) {
        close(dir_fd);
        refuse(reason, size, "key directory %s cannot be read (%s)", PATH_KEY_DIR,
               std::strerror(errno));
        return KEY_DIR_REFUSED;
    }
    return KEY_DIR_OPEN;
}

// Loads the keys of the directory (which it closes) that may be trusted; the
// others are logged.  Their count (0 where the directory has no key file), or
// -1 with the reason where key files are there but none may be trusted.
int load_trusted_keys(DIR *dir, TrustedKey *trusted, char *reason, std::size_t size) {
    KeyNames names;
    bool listed = list_keys(dir, &names, reason, size);
    int count = 0;
    char why[WHY_SIZE];
    char first_problem[NAME_SIZE + WHY_SIZE] = "";
    for (int i = 0; listed && i < names.count; ++i) {
        TrustedKey &k = trusted[count];
        if (load_key(dirfd(dir), names.name[i], &k.key, why, sizeof why)) {
            std::snprintf(k.file, sizeof k.file, "%s", names.name[i]);
            ++count;
            continue;
        }
        plat_log_here(LOG_WARNING, "Key %s/%s not trusted: %s", PATH_KEY_DIR, names.name[i], why);
        if (first_problem[0] == '\0')
            std::snprintf(first_problem, sizeof first_problem, "%s %s", names.name[i], why);
    }
    closedir(dir);
    if (!listed)
        return -1;
    if (count == 0 && names.count > 0) {
        refuse(reason, size, "no trusted key in %s (%s)", PATH_KEY_DIR, first_problem);
        return -1;
    }
    return count;
}

// The trusted key whose signature the image carries, with the signature's
// key ID in `id`; null with the reason when none signed it.
const TrustedKey *find_signer(const TrustedKey *trusted, int count, const MinisignSignature &sig,
                              const std::uint8_t *bytes, std::size_t length, const char *id,
                              char *reason, std::size_t size) {
    int best = MINISIGN_OTHER_KEY;
    for (int i = 0; i < count; ++i) {
        int rc = minisign_check(trusted[i].key, sig, bytes, length);
        if (rc == MINISIGN_GOOD)
            return &trusted[i];
        if (rc != MINISIGN_OTHER_KEY)
            best = rc;
    }
    switch (best) {
    case MINISIGN_OTHER_KEY:
        refuse(reason, size, "signed by key %s, which no trusted key has", id);
        break;
    case MINISIGN_BAD_FILE:
        refuse(reason, size, "the signature by key %s does not match the file", id);
        break;
    case MINISIGN_BAD_COMMENT:
        refuse(reason, size, "the trusted comment of the signature by key %s does not match it",
               id);
        break;
    default:
        refuse(reason, size, "the signature library (libsodium) cannot start");
    }
    return nullptr;
}

} // namespace

bool trust_check_image(const char *fixed, const char *where, const std::uint8_t *bytes,
                       std::size_t length, TrustVerdict *verdict, char *reason, std::size_t size) {
    verdict->verified = false;
    verdict->key_id[0] = '\0';

    if (!safe_above(reason, size))
        return false;
    DIR *dir = nullptr;
    KeyDirResult opened = open_key_dir(&dir, reason, size);
    if (opened == KEY_DIR_NONE)
        return take_unsigned(fixed);
    if (opened == KEY_DIR_REFUSED)
        return false;
    TrustedKey trusted[TRUST_MAX_KEY_FILES];
    int count = load_trusted_keys(dir, trusted, reason, size);
    if (count < 0)
        return false;
    if (count == 0)
        return take_unsigned(fixed);

    MinisignSignature sig;
    if (!read_signature(fixed, where, &sig, reason, size))
        return false;
    char id[MINISIGN_ID_TEXT_SIZE];
    minisign_id_text(sig.id, id);
    const TrustedKey *signer = find_signer(trusted, count, sig, bytes, length, id, reason, size);
    if (signer == nullptr)
        return false;
    // The name is the configuration the board gets: a signed image copied
    // under another name with its signature is not what was signed.
    char named[MINISIGN_COMMENT_MAX + 1];
    if (signed_name(sig, named, sizeof named) && std::strcmp(named, base_name(fixed)) != 0)
        return refuse(reason, size, "the signature by key %s was made for the file %s, not %s", id,
                      named, base_name(fixed));
    plat_syslog(LOG_NOTICE, "Firmware file %s verified: signed by key %s (%s), trusted comment: %s",
                fixed, id, signer->file, sig.comment);
    verdict->verified = true;
    std::snprintf(verdict->key_id, sizeof verdict->key_id, "%s", id);
    return true;
}
