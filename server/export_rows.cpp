#include "export_rows.h"

#include "core/error.h"
#include "protocol/codec.h"

namespace qel::server {
namespace {

bool isDateField(FieldType t) {
    return t == FieldType::Date || t == FieldType::DateTime;
}

bool isNumericField(FieldType t) {
    return t == FieldType::Float || t == FieldType::Decimal || t == FieldType::Integer;
}

// Whether a key column's declared type is one the agent can bind as that key.
bool keyTypeFits(KeyKind kind, FieldType t) {
    switch (kind) {
        case KeyKind::Text:
            return t != FieldType::Blob;
        case KeyKind::DateTime:
        case KeyKind::Date:
            return isDateField(t);
        case KeyKind::Float:
            return isNumericField(t);
        case KeyKind::IsoText:
        case KeyKind::DayMonthYearText:
            return isDateField(t) || t == FieldType::String;
    }
    return false;
}

const char* keyTypeText(KeyKind kind) {
    switch (kind) {
        case KeyKind::Text:
            return "a text or number";
        case KeyKind::DateTime:
        case KeyKind::Date:
        case KeyKind::IsoText:
        case KeyKind::DayMonthYearText:
            return "a date-time";
        case KeyKind::Float:
            return "a number";
    }
    return "?";
}

std::int64_t hashFields(const std::vector<FieldDef>& fields) {
    std::uint64_t h = 14695981039346656037ULL;  // FNV-1a
    auto mix = [&h](std::string_view s) {
        for (unsigned char c : s) h = (h ^ c) * 1099511628211ULL;
        h = (h ^ 0xFF) * 1099511628211ULL;
    };
    for (const FieldDef& f : fields) {
        mix(f.name);
        mix(fieldTypeName(f.type));
    }
    return static_cast<std::int64_t>(h);
}

// The field definition of a key or echoed column in the verdict packet.
FieldDef verdictField(std::string_view name, KeyKind kind, const Dataset& data, int column) {
    switch (kind) {
        case KeyKind::IsoText:
        case KeyKind::DayMonthYearText:
            return {std::string(name), FieldType::String, 19, 0};
        case KeyKind::Date:
            return {std::string(name), FieldType::Date, 0, 0};
        case KeyKind::Float:
            return {std::string(name), FieldType::Float, 0, 0};
        default:
            break;
    }
    if (column < 0) return {std::string(name), FieldType::String, 0, 0};
    FieldDef f = data.fields()[static_cast<std::size_t>(column)];
    f.name = std::string(name);
    return f;
}

// The value of a key column as the verdict packet carries it. Values that do
// not convert (only in refused rows) travel as null.
Variant verdictValue(KeyKind kind, const Variant& v) {
    if (v.isEmpty()) return Variant::null();
    try {
        switch (kind) {
            case KeyKind::Text:
            case KeyKind::DateTime:
                return v;
            case KeyKind::Date:
                return Variant(v.asDateTime().date());
            case KeyKind::Float:
                return Variant(v.asFloat());
            case KeyKind::IsoText:
                if (v.kind() == VariantKind::String) return v;
                return Variant(v.asDateTime().format("yyyy-mm-ddThh:nn:ss"));
            case KeyKind::DayMonthYearText:
                if (v.kind() == VariantKind::String) return v;
                return Variant(v.asDateTime().format("dd/mm/yyyy hh:nn:ss"));
        }
    } catch (const Error&) {
    }
    return Variant::null();
}

Variant textOrNull(const Variant& v) {
    return v.isEmpty() ? Variant::null() : Variant(v.asString());
}

}  // namespace

PacketView::PacketView(const TableRule& rule, const Dataset& data)
    : rule_(&rule), data_(&data), fieldsHash_(hashFields(data.fields())) {
    for (const KeyColumn& k : rule.keys) {
        const int c = data.findField(k.name);
        keyColumns_.push_back(c);
        if (c < 0 && missingKey_.empty()) missingKey_ = std::string(k.name);
    }
    for (std::string_view name : rule.echoed) echoColumns_.push_back(data.findField(name));
    storeColumn_ = data.findField("CDFILIAL");
    stationColumn_ = data.findField("CDCAIXA");
}

void PacketView::encodeContent(const Row& row, Bytes& out) const {
    protocol::encodeArrayHeaderTo(row.size() + 1, out);
    protocol::encodeTo(Variant(fieldsHash_), out);
    for (const Variant& v : row) protocol::encodeTo(v, out);
}

std::optional<std::string> PacketView::analyse(std::size_t r, const StationGrant* grant, Bytes& key,
                                               Bytes& content) const {
    const Row& row = data_->rows()[r];
    const bool acknowledged = rule_->resultIndex >= 0;
    if (grant) {
        if (storeColumn_ >= 0 && !grant->allowsStore(row[storeColumn_].asString())) {
            return "CDFILIAL " + row[storeColumn_].asString() + " is not this station's store";
        }
        if (stationColumn_ >= 0 && !grant->allowsStation(row[stationColumn_].asString())) {
            return "CDCAIXA " + row[stationColumn_].asString() +
                   " is not a station of this credential";
        }
    }
    content.clear();
    encodeContent(row, content);

    // Tables the agent does not acknowledge never refuse a row for its key:
    // without a usable key the whole row is its key (stored once, never replaced).
    bool wholeRow = rule_->keys.empty() || !missingKey_.empty();
    if (acknowledged && !missingKey_.empty()) {
        return "key column " + missingKey_ + " is missing from the packet";
    }
    if (!wholeRow) {
        for (std::size_t k = 0; k < keyColumns_.size(); ++k) {
            const KeyColumn& kc = rule_->keys[k];
            const auto c = static_cast<std::size_t>(keyColumns_[k]);
            if (row[c].isEmpty()) {
                if (acknowledged) return "key column " + std::string(kc.name) + " is null";
                wholeRow = true;
                break;
            }
            if (!keyTypeFits(kc.kind, data_->fields()[c].type)) {
                if (acknowledged) {
                    return "key column " + std::string(kc.name) + " must be " +
                           keyTypeText(kc.kind) + ", not " + fieldTypeName(data_->fields()[c].type);
                }
                wholeRow = true;
                break;
            }
        }
    }
    key.clear();
    if (wholeRow) {
        key = content;
        return std::nullopt;
    }
    protocol::encodeArrayHeaderTo(keyColumns_.size(), key);
    for (int c : keyColumns_) protocol::encodeTo(row[static_cast<std::size_t>(c)], key);
    return std::nullopt;
}

std::shared_ptr<const Dataset> PacketView::verdictPacket(
    const std::vector<Verdict>& verdicts) const {
    const Dataset& data = *data_;
    const auto& keys = rule_->keys;
    auto value = [&](std::size_t row, std::size_t k) -> Variant {
        const int c = keyColumns_[k];
        return c < 0 ? Variant::null()
                     : verdictValue(keys[k].kind, data.rows()[row][static_cast<std::size_t>(c)]);
    };

    if (rule_->layout == ResultLayout::MovBeneficioCtr) {
        Dataset out({{"CDCLIENTE", FieldType::String, 21, 0},
                     {"CDCONSUMIDOR", FieldType::String, 21, 0},
                     {"CDCAMPANHA", FieldType::String, 10, 0},
                     {"NRSEQPRODCAMP", FieldType::String, 10, 0},
                     {"NRSEQBENEFICIO", FieldType::String, 10, 0},
                     {"IDSITUACAO", FieldType::String, 3, 0},
                     {"QTDEBENEFICIO", FieldType::Float, 0, 0}});
        out.rows().reserve(verdicts.size());
        for (std::size_t r = 0; r < verdicts.size(); ++r) {
            out.rows().push_back({textOrNull(value(r, 0)), textOrNull(value(r, 1)),
                                  textOrNull(value(r, 2)), textOrNull(value(r, 3)),
                                  textOrNull(value(r, 4)), Variant(verdicts[r].code), value(r, 5)});
        }
        return std::make_shared<const Dataset>(std::move(out));
    }
    if (rule_->layout == ResultLayout::TotalDiaCaixa) {
        Dataset out({{"CDFILIAL", FieldType::String, 4, 0},
                     {"CDCAIXA", FieldType::String, 3, 0},
                     {"DTTOTAL", FieldType::Date, 0, 0},
                     {"IDSITUACAO", FieldType::String, 3, 0}});
        out.rows().reserve(verdicts.size());
        for (std::size_t r = 0; r < verdicts.size(); ++r) {
            out.rows().push_back({textOrNull(value(r, 0)), textOrNull(value(r, 1)), value(r, 2),
                                  Variant(verdicts[r].code)});
        }
        return std::make_shared<const Dataset>(std::move(out));
    }

    std::vector<FieldDef> fields;
    for (std::size_t k = 0; k < keys.size(); ++k) {
        fields.push_back(verdictField(keys[k].name, keys[k].kind, data, keyColumns_[k]));
    }
    for (std::size_t e = 0; e < rule_->echoed.size(); ++e) {
        fields.push_back(verdictField(rule_->echoed[e], KeyKind::Text, data, echoColumns_[e]));
    }
    fields.push_back({"IDSITUACAO", FieldType::String, 3, 0});
    fields.push_back({"DSSITUACAO", FieldType::String, 0, 0});
    Dataset out(std::move(fields));
    out.rows().reserve(verdicts.size());
    for (std::size_t r = 0; r < verdicts.size(); ++r) {
        Row row;
        row.reserve(out.fields().size());
        for (std::size_t k = 0; k < keys.size(); ++k) row.push_back(value(r, k));
        for (int c : echoColumns_) {
            row.push_back(c < 0 ? Variant::null() : data.rows()[r][static_cast<std::size_t>(c)]);
        }
        row.push_back(Variant(verdicts[r].code));
        row.push_back(Variant(verdicts[r].reason));
        out.rows().push_back(std::move(row));
    }
    return std::make_shared<const Dataset>(std::move(out));
}

}  // namespace qel::server
