#include "platform/posix/system_error.h"

#include <cstring>

namespace qel::platform::posix {

std::string errnoMessage(int error) {
    char buf[256];
    // GNU strerror_r returns the message, which may or may not be buf.
    const char* message = strerror_r(error, buf, sizeof buf);
    return message;
}

}  // namespace qel::platform::posix
