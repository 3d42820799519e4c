#include "core/dataset_index.h"

namespace qel {

// Key parts are upper-cased and each ends with a separator that no
// upper-cased text contains unescaped, so ("AB","C") and ("A","BC") differ.
void DatasetIndex::appendKeyPart(std::string& key, std::string_view value) {
    for (char c : value) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c == '\0' || c == '\1') key.push_back('\1');
        key.push_back(c);
    }
    key.push_back('\0');
}

DatasetIndex::DatasetIndex(const Dataset& dataset, const std::vector<std::string>& fieldNames) {
    std::vector<std::size_t> columns;
    columns.reserve(fieldNames.size());
    for (const std::string& name : fieldNames) columns.push_back(dataset.fieldIndex(name));
    firstRow_.reserve(dataset.recordCount());
    std::string key;
    for (std::size_t r = 0; r < dataset.recordCount(); ++r) {
        key.clear();
        for (std::size_t c : columns) {
            const Variant& v = dataset.rows()[r][c];
            appendKeyPart(key, dataset.fields()[c].type == FieldType::Date &&
                                       v.kind() == VariantKind::DateTime
                                   ? v.get<DateTime>()->toDateText()
                                   : v.asString());
        }
        firstRow_.try_emplace(key, r);  // the first row of a key wins, as with locate
    }
}

std::size_t DatasetIndex::find(const std::vector<std::string>& values) const {
    std::string key;
    for (const std::string& v : values) appendKeyPart(key, v);
    const auto it = firstRow_.find(key);
    return it == firstRow_.end() ? npos : it->second;
}

}  // namespace qel
