#include "platform/posix/restart_command.h"

namespace qel::platform::posix {

std::string shellQuote(std::string_view text) {
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

std::string restartScript(const std::vector<std::int64_t>& pids, std::int64_t self,
                          const std::filesystem::path& folder, std::string_view program,
                          bool supervised) {
    std::string list;
    bool selfListed = false;
    for (const std::int64_t pid : pids) {
        if (pid == self) {
            selfListed = true;
            continue;
        }
        list += std::to_string(pid) + " ";
    }
    if (selfListed) list += std::to_string(self);

    std::string script = "pids='" + list + "'\n";
    script += "for p in $pids; do kill -9 \"$p\" 2>/dev/null; done\n";
    if (supervised) return script;
    script +=
        "for p in $pids; do\n"
        "  n=0\n"
        "  while [ \"$n\" -lt 300 ] && [ -e \"/proc/$p\" ] &&\n"
        "        [ \"$(cut -d' ' -f3 \"/proc/$p/stat\" 2>/dev/null)\" != Z ]; do\n"
        "    sleep 0.1; n=$((n + 1))\n"
        "  done\n"
        "done\n";
    script += "cd " + shellQuote(folder.string()) + " && exec ./" +
              shellQuote(std::string(program)) + "\n";
    return script;
}

}  // namespace qel::platform::posix
