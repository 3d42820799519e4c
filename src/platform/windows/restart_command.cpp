#include "platform/windows/restart_command.h"

#include "platform/windows/win_text.h"

namespace qel::platform::windows {

std::string restartParameters(const std::filesystem::path& folder, bool watchdogVariant) {
    std::string text = "/C TASKKILL /F /IM QelExp.exe && start /D ";
    text += '"';
    text += fromWide(folder.native());
    text += '"';
    text += " /B QelExp.exe";
    if (watchdogVariant) text += ' ';
    return text;
}

}  // namespace qel::platform::windows
