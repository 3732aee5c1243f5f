// Physical register access: one register of 8, 16 or 32 bits at a physical
// address, base (page aligned) plus offset.  Returns 0 on success, -1 on failure;
// when the device could not be opened, errno then says why.  A read without a
// destination (out null) only opens the device.
// The controller's build maps "/dev/mem"; the simulated build reaches the
// simulated controller.
#pragma once

#include <cstdint>

int mem_read8(std::uint32_t base, std::uint32_t offset, std::uint8_t *out);
int mem_read16(std::uint32_t base, std::uint32_t offset, std::uint16_t *out);
int mem_read32(std::uint32_t base, std::uint32_t offset, std::uint32_t *out);
int mem_write8(std::uint32_t base, std::uint32_t offset, std::uint32_t value);
int mem_write16(std::uint32_t base, std::uint32_t offset, std::uint32_t value);
int mem_write32(std::uint32_t base, std::uint32_t offset, std::uint32_t value);
