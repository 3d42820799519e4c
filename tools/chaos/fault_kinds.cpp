#include "fault_kinds.h"

#include <array>

namespace qel::chaos {

std::span<const FaultKind> faultKinds() {
    using enum FaultScope;
    static const std::array<FaultKind, 15> kinds = {{
        {"server-kill", All},
        {"cut-during-request", All},
        {"cut-after-commit", All},
        {"cut-mid-answer", All},
        {"delay", All},
        {"server-error", All},
        {"malformed-answer", All},
        {"partial-answer", All},
        {"agent-kill", Agent},
        {"agent-kill-ack-before", Agent},
        {"agent-kill-ack-during", Agent},
        {"agent-kill-ack-after", Agent},
        {"agent-kill-cleanup", Agent},
        {"database-locked", Agent},
        {"log-unwritable", Agent},
    }};
    return kinds;
}

}  // namespace qel::chaos
