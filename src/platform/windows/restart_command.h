#pragma once

#include <filesystem>
#include <string>

namespace qel::platform::windows {

// Parameters of "cmd.exe" for the restart: kill every QelExp.exe by name,
// this process included, then start QelExp.exe again from `folder` in the
// background. The watchdog's variant ends with one more blank.
std::string restartParameters(const std::filesystem::path& folder, bool watchdogVariant);

}  // namespace qel::platform::windows
