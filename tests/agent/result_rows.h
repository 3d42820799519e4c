#pragma once

// Result datasets written by hand, as the server's verdict packets arrive.

#include <string>
#include <vector>

#include "core/dataset.h"

namespace qel::testing {

// A result dataset whose fields are all text.
inline Dataset textRows(const std::vector<std::string>& names,
                        const std::vector<std::vector<std::string>>& rows) {
    std::vector<FieldDef> fields;
    for (const std::string& name : names) fields.push_back({name, FieldType::String, 40});
    Dataset d(std::move(fields));
    for (const auto& values : rows) d.append(Row(values.begin(), values.end()));
    return d;
}

}  // namespace qel::testing
