#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace qel::platform::posix {

// A word for /bin/sh that stands for `text` exactly (single-quoted).
std::string shellQuote(std::string_view text);

// The /bin/sh text of the restart command. It force-ends every process of
// `pids` (the caller, `self`, last, so that it cannot be cut off before the
// others), waits until each is gone (a zombie counts as gone: it holds no
// lock any more; the wait is bounded at 30 seconds so that a process it may
// not end cannot hold the restart for ever) and then, unless a service
// manager restarts the agent (`supervised`), runs `folder/program` from
// `folder`. The new agent inherits the command's detached session.
std::string restartScript(const std::vector<std::int64_t>& pids, std::int64_t self,
                          const std::filesystem::path& folder, std::string_view program,
                          bool supervised);

}  // namespace qel::platform::posix
