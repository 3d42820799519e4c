#include "fault_proxy/fault_proxy.h"

namespace qel::faults {

const char* faultName(ProxyFault fault) {
    switch (fault) {
        case ProxyFault::None:
            return "none";
        case ProxyFault::CutDuringRequest:
            return "cut-during-request";
        case ProxyFault::CutAfterCommit:
            return "cut-after-commit";
        case ProxyFault::CutMidAnswer:
            return "cut-mid-answer";
        case ProxyFault::Delay:
            return "delay";
        case ProxyFault::ServerError:
            return "server-error";
        case ProxyFault::MalformedAnswer:
            return "malformed-answer";
        case ProxyFault::PartialAnswer:
            return "partial-answer";
        case ProxyFault::Reset:
            return "reset";
    }
    return "?";
}

const std::vector<ProxyFault>& allFaults() {
    static const std::vector<ProxyFault> faults = {
        ProxyFault::CutDuringRequest, ProxyFault::CutAfterCommit,
        ProxyFault::CutMidAnswer,     ProxyFault::Delay,
        ProxyFault::ServerError,      ProxyFault::MalformedAnswer,
        ProxyFault::PartialAnswer,    ProxyFault::Reset};
    return faults;
}

std::optional<ProxyFault> faultFromName(std::string_view name) {
    if (name == faultName(ProxyFault::None)) return ProxyFault::None;
    for (const ProxyFault fault : allFaults()) {
        if (name == faultName(fault)) return fault;
    }
    return std::nullopt;
}

}  // namespace qel::faults
