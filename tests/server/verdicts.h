#pragma once

// Reading the verification answer's verdict packets in tests and benchmarks.

#include <cstddef>
#include <string>
#include <vector>

#include "core/dataset.h"
#include "core/error.h"
#include "core/variant.h"

namespace qel::testing {

// Packet `element` of the answer's packet array.
inline const Dataset& result(const Variant& results, int element) {
    return results.asArray().at(static_cast<std::size_t>(element)).asPacket();
}

// The values of one column as text, in row order.
inline std::vector<std::string> column(const Dataset& ds, const std::string& name) {
    std::vector<std::string> out;
    const std::size_t c = ds.fieldIndex(name);
    for (const Row& r : ds.rows()) out.push_back(r[c].asString());
    return out;
}

// Throws ServerError "verdict <value>" at the first verdict that is not "OK".
inline void requireAllOk(const Variant& results) {
    for (const Variant& p : results.asArray()) {
        const Dataset& ds = p.asPacket();
        const std::size_t col = ds.fieldIndex("IDSITUACAO");
        for (const Row& r : ds.rows()) {
            if (r[col].asString() != "OK") throw ServerError("verdict " + r[col].asString());
        }
    }
}

}  // namespace qel::testing
