#include "export_rows.h"

#include "core/error.h"
#include "protocol/codec.h"
#include "protocol/writer.h"

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

// Whether a CDFILIAL or CDCAIXA value names a station at all; a row without
// one (null, or blank text) takes the caller's.
bool namesStation(const Variant& v) {
    if (v.isEmpty()) return false;
    return v.asString().find_first_not_of(' ') != std::string::npos;
}

}  // namespace

std::optional<std::string> codeProblem(std::string_view name, std::string_view code) {
    if (code.find('\0') != std::string_view::npos) {
        return std::string(name) + " holds a NUL character";
    }
    if (code.size() > kMaxCodeBytes) {
        return std::string(name) + " is longer than " + std::to_string(kMaxCodeBytes) + " bytes";
    }
    return std::nullopt;
}

PacketView::PacketView(const TableRule& rule, const Dataset& data)
    : rule_(&rule), data_(&data), content_(data.fields()) {
    for (const KeyColumn& k : rule.verdictKeys) {
        const int c = data.findField(k.name);
        keyColumns_.push_back(c);
        if (c < 0 && missingKey_.empty()) missingKey_ = std::string(k.name);
    }
    for (const std::string& name : rule.rowKey) rowKeyColumns_.push_back(data.findField(name));
    for (std::string_view name : rule.echoed) echoColumns_.push_back(data.findField(name));
    storeColumn_ = data.findField("CDFILIAL");
    stationColumn_ = data.findField("CDCAIXA");
}

std::optional<std::string> PacketView::analyse(std::size_t r, const StationGrant* grant,
                                               std::string_view database, Bytes& key,
                                               Bytes& content) const {
    const Row& row = data_->rows()[r];
    for (const auto& [column, name] :
         {std::pair{storeColumn_, "CDFILIAL"}, std::pair{stationColumn_, "CDCAIXA"}}) {
        if (column < 0) continue;
        if (const auto* text = row[static_cast<std::size_t>(column)].get<std::string>()) {
            if (auto problem = codeProblem(name, *text)) return problem;
        }
    }
    if (grant) {
        if (storeColumn_ >= 0 && namesStation(row[storeColumn_]) &&
            !grant->allowsStore(row[storeColumn_].asString())) {
            return "CDFILIAL " + row[storeColumn_].asString() + " is not this station's store";
        }
        if (stationColumn_ >= 0 && namesStation(row[stationColumn_]) &&
            !grant->allowsStation(row[stationColumn_].asString())) {
            return "CDCAIXA " + row[stationColumn_].asString() +
                   " is not a station of this credential";
        }
    }
    // The agent binds the verdict keys to flag its row: a row it could not
    // flag is refused rather than stored under a key nobody can confirm.
    if (rule_->resultIndex >= 0) {
        if (!missingKey_.empty())
            return "key column " + missingKey_ + " is missing from the packet";
        for (std::size_t k = 0; k < keyColumns_.size(); ++k) {
            const KeyColumn& kc = rule_->verdictKeys[k];
            const auto c = static_cast<std::size_t>(keyColumns_[k]);
            if (row[c].isEmpty()) return "key column " + std::string(kc.name) + " is null";
            if (!keyTypeFits(kc.kind, data_->fields()[c].type)) {
                return "key column " + std::string(kc.name) + " must be " + keyTypeText(kc.kind) +
                       ", not " + fieldTypeName(data_->fields()[c].type);
            }
        }
    }
    content.clear();
    content_.encode(row, content);

    // Without its whole local key a row is identified by its whole content
    // (stored once, never replaced), always within its source database.
    bool wholeRow = rowKeyColumns_.empty();
    for (int c : rowKeyColumns_) {
        if (c < 0 || row[static_cast<std::size_t>(c)].isEmpty()) wholeRow = true;
    }
    key.clear();
    protocol::Writer w(key);
    if (wholeRow) {
        w.arrayHeader(2);
        w.string(database);
        w.blob(content);
        return std::nullopt;
    }
    // A row whose key names its store and station is the same row whichever
    // run sends it. A blank code names no station: such a row stays within
    // the caller's database, as a row without the column does, so that no
    // other credential can reach it.
    const bool namesItsStation = rule_->keyNamesStation && storeColumn_ >= 0 &&
                                 stationColumn_ >= 0 && namesStation(row[storeColumn_]) &&
                                 namesStation(row[stationColumn_]);
    w.arrayHeader(rowKeyColumns_.size() + 1);
    w.string(namesItsStation ? std::string_view() : database);
    for (int c : rowKeyColumns_) writeCanonical(w, row[static_cast<std::size_t>(c)]);
    return std::nullopt;
}

std::vector<FieldDef> PacketView::verdictFields() const {
    if (rule_->layout == ResultLayout::MovBeneficioCtr) {
        return {{"CDCLIENTE", FieldType::String, 21, 0},
                {"CDCONSUMIDOR", FieldType::String, 21, 0},
                {"CDCAMPANHA", FieldType::String, 10, 0},
                {"NRSEQPRODCAMP", FieldType::String, 10, 0},
                {"NRSEQBENEFICIO", FieldType::String, 10, 0},
                {"IDSITUACAO", FieldType::String, 3, 0},
                {"QTDEBENEFICIO", FieldType::Float, 0, 0}};
    }
    if (rule_->layout == ResultLayout::TotalDiaCaixa) {
        return {{"CDFILIAL", FieldType::String, 4, 0},
                {"CDCAIXA", FieldType::String, 3, 0},
                {"DTTOTAL", FieldType::Date, 0, 0},
                {"IDSITUACAO", FieldType::String, 3, 0}};
    }
    const auto& keys = rule_->verdictKeys;
    std::vector<FieldDef> fields;
    for (std::size_t k = 0; k < keys.size(); ++k) {
        fields.push_back(verdictField(keys[k].name, keys[k].kind, *data_, keyColumns_[k]));
    }
    for (std::size_t e = 0; e < rule_->echoed.size(); ++e) {
        fields.push_back(verdictField(rule_->echoed[e], KeyKind::Text, *data_, echoColumns_[e]));
    }
    fields.push_back({"IDSITUACAO", FieldType::String, 3, 0});
    fields.push_back({"DSSITUACAO", FieldType::String, 0, 0});
    return fields;
}

Row PacketView::verdictRow(std::size_t r, const Verdict& verdict) const {
    const Row& in = data_->rows()[r];
    auto value = [&](std::size_t k) -> Variant {
        const int c = keyColumns_[k];
        return c < 0 ? Variant::null()
                     : verdictValue(rule_->verdictKeys[k].kind, in[static_cast<std::size_t>(c)]);
    };
    if (rule_->layout == ResultLayout::MovBeneficioCtr) {
        return {textOrNull(value(0)),
                textOrNull(value(1)),
                textOrNull(value(2)),
                textOrNull(value(3)),
                textOrNull(value(4)),
                Variant(verdict.code),
                value(5)};
    }
    if (rule_->layout == ResultLayout::TotalDiaCaixa) {
        return {textOrNull(value(0)), textOrNull(value(1)), value(2), Variant(verdict.code)};
    }
    Row row;
    row.reserve(keyColumns_.size() + echoColumns_.size() + 2);
    for (std::size_t k = 0; k < keyColumns_.size(); ++k) row.push_back(value(k));
    for (int c : echoColumns_) {
        row.push_back(c < 0 ? Variant::null() : in[static_cast<std::size_t>(c)]);
    }
    row.push_back(Variant(verdict.code));
    row.push_back(Variant(verdict.reason));
    return row;
}

std::shared_ptr<const Dataset> PacketView::verdictPacket(
    const std::vector<const PacketView*>& views,
    const std::vector<const std::vector<Verdict>*>& verdicts) {
    // The fields of the first element with rows; a column whose type differs
    // in a later element travels as text, so that every value fits its field.
    std::size_t first = 0;
    for (std::size_t v = 0; v < views.size(); ++v) {
        if (!verdicts[v]->empty()) {
            first = v;
            break;
        }
    }
    std::vector<FieldDef> fields = views[first]->verdictFields();
    std::vector<bool> asText(fields.size(), false);
    for (std::size_t v = 0; v < views.size(); ++v) {
        if (v == first || verdicts[v]->empty()) continue;
        const std::vector<FieldDef> other = views[v]->verdictFields();
        for (std::size_t f = 0; f < fields.size(); ++f) {
            if (other[f].type != fields[f].type) asText[f] = true;
        }
    }
    for (std::size_t f = 0; f < fields.size(); ++f) {
        if (asText[f]) fields[f] = {fields[f].name, FieldType::String, 0, 0};
    }
    Dataset out(std::move(fields));
    std::size_t total = 0;
    for (const auto* list : verdicts) total += list->size();
    out.rows().reserve(total);
    for (std::size_t v = 0; v < views.size(); ++v) {
        for (std::size_t r = 0; r < verdicts[v]->size(); ++r) {
            Row row = views[v]->verdictRow(r, (*verdicts[v])[r]);
            for (std::size_t f = 0; f < row.size(); ++f) {
                if (asText[f]) row[f] = textOrNull(row[f]);
            }
            out.rows().push_back(std::move(row));
        }
    }
    return std::make_shared<const Dataset>(std::move(out));
}

}  // namespace qel::server
