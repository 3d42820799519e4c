#pragma once

// Result datasets written by hand, as the server's verdict packets arrive.

#include <memory>
#include <string>
#include <vector>

#include "core/dataset.h"
#include "core/variant.h"

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

inline Variant packet(Dataset d) {
    return Variant(std::shared_ptr<const Dataset>(std::make_shared<Dataset>(std::move(d))));
}

// The answer's two result packets whose fields the agent checks in full.
inline constexpr std::size_t kBenefitResults = 14, kTotalResults = 16;
inline std::vector<FieldDef> benefitResultFields() {
    return {
        {"CDCLIENTE", FieldType::String, 21, 0},      {"CDCONSUMIDOR", FieldType::String, 21, 0},
        {"CDCAMPANHA", FieldType::String, 10, 0},     {"NRSEQPRODCAMP", FieldType::String, 10, 0},
        {"NRSEQBENEFICIO", FieldType::String, 10, 0}, {"IDSITUACAO", FieldType::String, 3, 0},
        {"QTDEBENEFICIO", FieldType::Float, 0, 0}};
}
inline std::vector<FieldDef> totalResultFields() {
    return {{"CDFILIAL", FieldType::String, 4, 0},
            {"CDCAIXA", FieldType::String, 3, 0},
            {"DTTOTAL", FieldType::Date, 0, 0},
            {"IDSITUACAO", FieldType::String, 3, 0}};
}

// The 22 result packets of a well-formed answer in which nothing was stored.
inline VariantArray emptyVerdicts() {
    VariantArray a(22, packet(Dataset({{"IDSITUACAO", FieldType::String, 3, 0}})));
    a[kBenefitResults] = packet(Dataset(benefitResultFields()));
    a[kTotalResults] = packet(Dataset(totalResultFields()));
    return a;
}

}  // namespace qel::testing
