#include "common/board.h"

#include "common/paths.h"
#include "common/platform.h"
#include "common/ports.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>

namespace {
// Opened on the first call and kept for the life of the process; a failed open
// stores its negative result so that the next call tries again.
int gpio_fd = -1;
} // namespace

int board_present(const PortInfo &port) {
    if (gpio_fd < 0) {
        gpio_fd = plat_gpio_open(PATH_DEV_GPIO, O_RDWR);
        if (gpio_fd < 0)
            return 0;
    }
    unsigned long request = port.board_type_request;
    return plat_gpio_ioctl(gpio_fd, request) == BOARD_TYPE_TARVO ? 1 : 0;
}

int parse_port(const char *arg) {
    errno = 0;
    long value = std::strtol(arg, nullptr, 10);
    if (errno == ERANGE || value > INT_MAX || value < INT_MIN)
        return value < 0 ? INT_MIN : INT_MAX;
    return static_cast<int>(value);
}
