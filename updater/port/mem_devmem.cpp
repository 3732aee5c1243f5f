// Register access over "/dev/mem": every access maps the register's page,
// performs one load or store of the register's width, and unmaps the page.
// Only the device descriptor outlives a call.
//
// Physical bases lie at or above 0xA3000000, beyond what a 32-bit signed off_t
// holds, so the file offset is 64 bits wide on 32-bit controllers too (the
// build sets this for every file; this one insists on it).
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "updater/port/mem.h"

#include "common/paths.h"
#include "common/platform.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <sys/mman.h>
#include <syslog.h>
#include <unistd.h>

static_assert(sizeof(off_t) >= 8, "physical bases need a 64-bit file offset");

namespace {

// The device, or the file a test put in its place.
char device_path[PATH_MAX] = PATH_DEV_MEM;
int mem_fd = -1;

// Opens the device on first use; a failed open is retried by the next access.
bool device_open() {
    if (mem_fd == -1) {
        mem_fd = open(device_path, O_RDWR | O_SYNC);
        if (mem_fd == -1) {
            int error = errno;
            plat_syslog(LOG_ERR, "Cannot open " PATH_DEV_MEM "\n");
            errno = error; // the caller may tell why
            return false;
        }
    }
    return true;
}

// Maps the page at `base` for an access of `width` bytes at `offset`.  The
// access must stay inside that one page and be aligned to its width, so that
// it never reaches unmapped memory and the bus sees a single access of that
// width.  nullptr (logged) on failure.
volatile unsigned char *map_page(std::uint32_t base, std::uint32_t offset, std::size_t width,
                                 int prot) {
    std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    if (offset % width != 0 || offset > page - width) {
        plat_syslog(LOG_ERR, "Register offset 0x%03X is outside the page or misaligned",
                    static_cast<unsigned>(offset));
        return nullptr;
    }
    void *p = mmap(nullptr, page, prot, MAP_SHARED, mem_fd, static_cast<off_t>(base));
    if (p == MAP_FAILED) {
        plat_syslog(LOG_ERR, "Memory map failed. error %m at %p", p);
        return nullptr;
    }
    return static_cast<volatile unsigned char *>(p);
}

void unmap_page(volatile unsigned char *p) {
    munmap(const_cast<unsigned char *>(p), static_cast<std::size_t>(sysconf(_SC_PAGESIZE)));
}

template <typename T> int read_register(std::uint32_t base, std::uint32_t offset, T *out) {
    if (!device_open())
        return -1;
    if (!out)
        return 0;
    volatile unsigned char *page = map_page(base, offset, sizeof(T), PROT_READ);
    if (!page)
        return -1;
    // One load of exactly the register's width.
    *out = *reinterpret_cast<volatile T *>(page + offset);
    unmap_page(page);
    return 0;
}

template <typename T> int write_register(std::uint32_t base, std::uint32_t offset, T value) {
    if (!device_open())
        return -1;
    volatile unsigned char *page = map_page(base, offset, sizeof(T), PROT_WRITE);
    if (!page)
        return -1;
    *reinterpret_cast<volatile T *>(page + offset) = value;
    unmap_page(page);
    return 0;
}

} // namespace

int mem_read8(std::uint32_t base, std::uint32_t offset, std::uint8_t *out) {
    return read_register(base, offset, out);
}

int mem_read16(std::uint32_t base, std::uint32_t offset, std::uint16_t *out) {
    return read_register(base, offset, out);
}

int mem_read32(std::uint32_t base, std::uint32_t offset, std::uint32_t *out) {
    return read_register(base, offset, out);
}

int mem_write8(std::uint32_t base, std::uint32_t offset, std::uint32_t value) {
    return write_register(base, offset, static_cast<std::uint8_t>(value));
}

int mem_write16(std::uint32_t base, std::uint32_t offset, std::uint32_t value) {
    return write_register(base, offset, static_cast<std::uint16_t>(value));
}

int mem_write32(std::uint32_t base, std::uint32_t offset, std::uint32_t value) {
    return write_register(base, offset, value);
}

// The tests' hook, declared in their own header (tests/devmem/mem_device.h).
void mem_set_device_for_tests(const char *path);
void mem_set_device_for_tests(const char *path) {
    if (mem_fd != -1)
        close(mem_fd);
    mem_fd = -1;
    std::snprintf(device_path, sizeof device_path, "%s", path ? path : PATH_DEV_MEM);
}
