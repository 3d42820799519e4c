#include "fault_kinds.h"

#include <array>

namespace qel::chaos {

std::span<const FaultKind> faultKinds() {
    using enum FaultScope;
    static const std::array<FaultKind, 25> kinds = {{
        {"server-kill", All},
        {"cut-during-request", All},
        {"cut-after-commit", All},
        {"cut-mid-answer", All},
        {"delay", All},
        {"server-error", All},
        {"malformed-answer", All},
        {"partial-answer", All},
        {"server-clock-back", All, CentralKind::Any, true},
        {"server-clock-forward", All, CentralKind::Any, true},
        {"central-disk-full", All, CentralKind::Sqlite, true},
        {"central-restart", All, CentralKind::Postgres, true},
        {"long-outage", All, CentralKind::Any, true, true},
        {"central-restore", All, CentralKind::Any, true, false, true},
        {"agent-kill", Agent},
        {"agent-kill-ack-before", Agent},
        {"agent-kill-ack-during", Agent},
        {"agent-kill-ack-after", Agent},
        {"agent-kill-cleanup", Agent},
        {"database-locked", Agent},
        {"log-unwritable", Agent},
        {"agent-clock-back", Agent, CentralKind::Any, true},
        {"agent-clock-forward", Agent, CentralKind::Any, true},
        {"station-disk-full", Agent, CentralKind::Any, true},
        {"restored-backup", Agent, CentralKind::Any, true},
    }};
    return kinds;
}

std::vector<FaultKind> faultKindsFor(bool postgres) {
    std::vector<FaultKind> out;
    for (const FaultKind& k : faultKinds()) {
        if (k.central == CentralKind::Any || (k.central == CentralKind::Postgres) == postgres) {
            out.push_back(k);
        }
    }
    return out;
}

bool stepsAClock(std::string_view kind) {
    return kind.find("-clock-") != std::string_view::npos;
}

}  // namespace qel::chaos
