#include "row_content.h"

#include <algorithm>

#include "core/text.h"
#include "protocol/codec.h"

namespace qel::chaos {
namespace {

// The values of a content, or nullopt when it is no encoded array.
std::optional<VariantArray> valuesOf(const Bytes& content) {
    try {
        Variant decoded = protocol::decode(content);
        if (!decoded.isArray()) return std::nullopt;
        return decoded.asArray();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

RowContent::RowContent(const std::vector<FieldDef>& fields,
                       const std::vector<std::string_view>& ackColumns) {
    for (const FieldDef& f : fields) names_.push_back(text::upper(f.name));
    std::stable_sort(names_.begin(), names_.end());
    for (const std::string& name : names_) {
        ack_.push_back(std::any_of(ackColumns.begin(), ackColumns.end(),
                                   [&](std::string_view a) { return text::iequals(a, name); }));
    }
}

Bytes RowContent::withoutAck(const Bytes& content) const {
    if (std::find(ack_.begin(), ack_.end(), true) == ack_.end()) return content;
    const auto values = valuesOf(content);
    if (!values) {
        // Kept apart from every real content by a byte MessagePack never uses.
        Bytes marked{0xC1};
        marked.insert(marked.end(), content.begin(), content.end());
        return marked;
    }
    Bytes out;
    for (std::size_t i = 0; i < values->size(); ++i) {
        // Value i + 1 is the column i; the first is the names hash.
        if (i == 0 || i > ack_.size() || !ack_[i - 1]) protocol::encodeTo((*values)[i], out);
    }
    return out;
}

std::optional<std::vector<std::string>> RowContent::differing(const Bytes& station,
                                                              const Bytes& held) const {
    const auto mine = valuesOf(station), theirs = valuesOf(held);
    if (!mine || !theirs || mine->size() != theirs->size() || mine->empty() ||
        mine->size() != names_.size() + 1 ||
        protocol::encode((*mine)[0]) != protocol::encode((*theirs)[0])) {
        return std::nullopt;
    }
    std::vector<std::string> out;
    for (std::size_t i = 0; i < names_.size(); ++i) {
        if (!ack_[i] && protocol::encode((*mine)[i + 1]) != protocol::encode((*theirs)[i + 1])) {
            out.push_back(names_[i]);
        }
    }
    return out;
}

}  // namespace qel::chaos
