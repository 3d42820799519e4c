#include "platform/process_names.h"

#include "core/text.h"

namespace qel::platform {

std::string_view fileNamePart(std::string_view path) {
    const auto slash = path.find_last_of("/\\");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool processNameMatches(std::string_view exePath, std::string_view wanted) {
    return text::upper(fileNamePart(exePath)) == text::upper(wanted) ||
           text::upper(exePath) == text::upper(wanted);
}

}  // namespace qel::platform
