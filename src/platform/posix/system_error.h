#pragma once

#include <string>

namespace qel::platform::posix {

// The system's message for an errno value ("No such file or directory").
std::string errnoMessage(int error);

}  // namespace qel::platform::posix
