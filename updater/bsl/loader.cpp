// The loader versions the client knows, and what each needs.
#include "updater/bsl/bsl.h"

namespace {

// In order of version.  Independent clients treat every loader after 1.10 the
// same way; so does this table.
constexpr LoaderProfile LOADER_PROFILES[] = {
    {0x0110, true},  // 1.10 and below: RAM patch before every data block
    {0x9999, false}, // later loaders: flash data blocks need no patch
};

bool is_bcd(std::uint16_t v) {
    for (int shift = 0; shift < 16; shift += 4)
        if (((v >> shift) & 0xF) > 9)
            return false;
    return true;
}

} // namespace

const LoaderProfile *bsl_loader = &LOADER_PROFILES[0];

int loader_profile(std::uint16_t version, const LoaderProfile **profile) {
    if (!is_bcd(version))
        return BSL_ERR_IDENT;
    for (const LoaderProfile &p : LOADER_PROFILES) {
        if (version <= p.newest) {
            *profile = &p;
            return BSL_OK;
        }
    }
    return BSL_ERR_IDENT; // not reached: the last profile covers 99.99
}
