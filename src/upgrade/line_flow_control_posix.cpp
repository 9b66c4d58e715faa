// Software flow control off on a POSIX serial port (termios).
#include <termios.h>

#include <cerrno>
#include <system_error>

#include "line_flow_control.h"

bool DisableSoftwareFlowControl(PortHandle handle, std::string& error) {
    const int fd = static_cast<int>(handle.value);
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        error = std::generic_category().message(errno);
        return false;
    }
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        error = std::generic_category().message(errno);
        return false;
    }
    return true;
}
