#pragma once

#include <span>
#include <string_view>
#include <vector>

namespace qel::chaos {

// What a fault hits: one agent (and so one station), or every agent at once.
enum class FaultScope { Agent, All };

// Which central store a fault needs: a full disk is made for a SQLite file,
// a database restart for a PostgreSQL cluster.
enum class CentralKind { Any, Sqlite, Postgres };

struct FaultKind {
    std::string_view name;
    FaultScope scope;
    CentralKind central = CentralKind::Any;
    // Done to a machine (its clock, its disk, its database or its server
    // program as a whole) rather than to a call or a process: these take
    // longer, and a run may plan fewer of them.
    bool machine = false;
    // Lasts minutes: planned a few times rather than the count of the others.
    bool lengthy = false;
    // Takes the central store down and heals over minutes: planned fewer
    // times than the other faults done to a machine.
    bool heavy = false;
};

// Every fault type the chaos run fires, in the order the reports list them.
std::span<const FaultKind> faultKinds();

// The fault types a run with this central store fires.
std::vector<FaultKind> faultKindsFor(bool postgres);

// Whether `kind` steps a clock (its journal line carries the seconds from the
// step to the next export).
bool stepsAClock(std::string_view kind);

}  // namespace qel::chaos
