#pragma once

#include <span>
#include <string_view>

namespace qel::chaos {

// What a fault hits: one agent (and so one station), or every agent at once.
enum class FaultScope { Agent, All };

struct FaultKind {
    std::string_view name;
    FaultScope scope;
};

// Every fault type the chaos run fires, in the order the reports list them.
std::span<const FaultKind> faultKinds();

}  // namespace qel::chaos
