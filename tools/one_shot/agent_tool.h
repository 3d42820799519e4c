#pragma once

// What the agent's one-shot tools (an export, a reconciliation) share: they
// take the agent's single-instance lock, so that none runs beside an agent or
// another of them, and write the agent's run log in its folder.

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string_view>

#include "cli/command_line.h"
#include "platform/platform.h"

namespace qel::one_shot {

// The folder the run log goes under (DIR/Dados/Qel_Exp) when the lock is
// taken; nullopt, having said why on stderr, when another agent or tool of
// this machine holds it. `nothing` ends the message: "nothing exported".
inline std::optional<std::filesystem::path> lockAndFolder(platform::Platform& platform,
                                                          const cli::ParsedOptions& options,
                                                          std::string_view program,
                                                          std::string_view nothing) {
    if (platform.acquireSingleInstance("QELEXP") != platform::InstanceLock::Acquired) {
        std::fprintf(stderr,
                     "%.*s: another QelExp agent or export holds the lock QELEXP on this "
                     "machine; %.*s\n",
                     static_cast<int>(program.size()), program.data(),
                     static_cast<int>(nothing.size()), nothing.data());
        return std::nullopt;
    }
    return options.has("--folder") ? std::filesystem::path(options.text("--folder"))
                                   : platform.executableFolder();
}

}  // namespace qel::one_shot
