// Connection::executeBatch: a keyed UPDATE run for many rows of parameters
// in a few statements. The flag updates of an acknowledgement name their rows
// one by one; on the embedded database each statement costs far more to
// start and end than the row it changes.

#include <algorithm>
#include <map>

#include "core/text.h"
#include "db/backend.h"
#include "db/batch_update.h"
#include "db/binding.h"
#include "db/connection.h"
#include "db/sql_params.h"

namespace qel::db {

struct Connection::BatchForm {
    BatchUpdate update;
    std::vector<std::string> names;    // every parameter, once, in order of first use
    std::vector<int> uses;             // per name: how often the text uses it
    std::vector<bool> keyOnly;         // per name: used only in "COLUMN = :NAME" terms
    std::vector<std::string> listSql;  // per term: the text with that term as a list (or empty)
};

namespace {

constexpr std::string_view kListParam = "QEL_LIST";

std::size_t nameIndex(const std::vector<std::string>& names, std::string_view name) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (text::iequals(names[i], name)) return i;
    }
    return names.size();
}

// What a bound value is, as text: equal texts bind equal values.
std::string identity(const BindValue& v) {
    switch (v.kind) {
        case BindValue::Kind::Null:
            return "N";
        case BindValue::Kind::Text:
            return "T" + std::string(v.text());
        case BindValue::Kind::Integer:
        case BindValue::Kind::Boolean:
            return "I" + std::to_string(v.integer);
        case BindValue::Kind::Float: {
            std::string bits(sizeof v.real, '\0');
            std::copy_n(reinterpret_cast<const char*>(&v.real), sizeof v.real, bits.begin());
            return "F" + bits;
        }
        case BindValue::Kind::Decimal:
            return "D" + v.decimal.toString();
        case BindValue::Kind::Date:
        case BindValue::Kind::DateTime:
            return "W" + v.dateTime.toIso();
        case BindValue::Kind::Blob:
            break;
    }
    return "B" + std::string(v.blob->begin(), v.blob->end());
}

// Whether a JSON array element carries the value as the statement would bind
// it: texts, whole numbers and date-times (bound as their text) do; a float
// would pass through a decimal rendering and might not come back the same.
bool listable(const BindValue& v) {
    switch (v.kind) {
        case BindValue::Kind::Null:
        case BindValue::Kind::Text:
        case BindValue::Kind::Integer:
        case BindValue::Kind::Boolean:
        case BindValue::Kind::Date:
        case BindValue::Kind::DateTime:
            return true;
        default:
            return false;
    }
}

// Appends the value as a JSON array element; a null names no row and is left out.
void appendElement(std::string& json, const BindValue& v) {
    if (v.kind == BindValue::Kind::Null) return;
    if (json.size() > 1) json += ',';
    switch (v.kind) {
        case BindValue::Kind::Text:
            appendJsonString(json, v.text());
            break;
        case BindValue::Kind::Integer:
        case BindValue::Kind::Boolean:
            json += std::to_string(v.integer);
            break;
        default:  // Date, DateTime: bound as their text
            appendJsonString(json, v.dateTime.toIso());
            break;
    }
}

}  // namespace

const Connection::BatchForm* Connection::batchForm(const definitions::Statement& statement,
                                                   std::string_view sql) {
    for (const auto& [known, form] : batchForms_) {
        if (known == &statement) return form.get();
    }
    std::shared_ptr<BatchForm> form;
    if (std::optional<BatchUpdate> update = parseBatchUpdate(sql)) {
        form = std::make_shared<BatchForm>();
        form->update = std::move(*update);
        for (const std::string& name : toPositional(sql).names) {
            const std::size_t i = nameIndex(form->names, name);
            if (i == form->names.size()) {
                form->names.push_back(name);
                form->uses.push_back(0);
            }
            ++form->uses[i];
        }
        form->keyOnly.assign(form->names.size(), false);
        std::vector<int> keyUses(form->names.size(), 0);
        for (const std::string& key : form->update.keyOf) {
            if (!key.empty()) ++keyUses[nameIndex(form->names, key)];
        }
        for (std::size_t i = 0; i < form->names.size(); ++i) {
            form->keyOnly[i] = keyUses[i] == form->uses[i];
        }
        form->listSql.resize(form->update.terms.size());
        for (std::size_t t = 0; t < form->update.terms.size(); ++t) {
            const std::string& key = form->update.keyOf[t];
            if (!key.empty() && form->uses[nameIndex(form->names, key)] == 1) {
                form->listSql[t] = withListTerm(form->update, t, kListParam);
            }
        }
    }
    batchForms_.emplace_back(&statement, form);
    return form.get();
}

std::int64_t Connection::executeBatch(const definitions::Statement& statement,
                                      const std::vector<Params>& rows) {
    if (rows.empty()) return 0;
    const std::string_view sql = textToRun(statement);
    auto oneByOne = [&] {
        std::int64_t changed = 0;
        for (const Params& row : rows) changed += execute(statement, row);
        return changed;
    };
    const BatchForm* form =
        dialect_ == Dialect::Sqlite && rows.size() > 1 ? batchForm(statement, sql) : nullptr;
    if (form == nullptr) return oneByOne();

    // Every value checked and converted as a run of its row would; the
    // first that fails fails the batch before anything ran.
    const std::size_t nameCount = form->names.size();
    std::vector<std::vector<BindValue>> values(rows.size());
    std::vector<std::vector<std::string>> ids(rows.size());
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const ParamResolver resolver(&statement, rows[r]);
        for (const std::string& name : form->names) {
            values[r].push_back(resolver.resolve(name));
            ids[r].push_back(identity(values[r].back()));
        }
    }

    // The list term: the listable key term whose values differ most.
    std::size_t listTerm = form->listSql.size(), listName = nameCount, most = 0;
    for (std::size_t t = 0; t < form->listSql.size(); ++t) {
        if (form->listSql[t].empty()) continue;
        const std::size_t n = nameIndex(form->names, form->update.keyOf[t]);
        bool ok = true;
        std::vector<std::string_view> distinct;
        for (std::size_t r = 0; r < rows.size() && ok; ++r) {
            ok = listable(values[r][n]);
            distinct.push_back(ids[r][n]);
        }
        if (!ok) continue;
        std::sort(distinct.begin(), distinct.end());
        const auto count = static_cast<std::size_t>(std::unique(distinct.begin(), distinct.end()) -
                                                    distinct.begin());
        if (listTerm == form->listSql.size() || count > most) {
            listTerm = t;
            listName = n;
            most = count;
        }
    }
    if (listTerm == form->listSql.size()) return oneByOne();
    // Values set by the statement or used outside key terms must be one and
    // the same in every row: rows differing there would need their order.
    for (std::size_t n = 0; n < nameCount; ++n) {
        if (form->keyOnly[n]) continue;
        for (std::size_t r = 1; r < rows.size(); ++r) {
            if (ids[r][n] != ids[0][n]) return oneByOne();
        }
    }

    // Rows grouped by every value but the list's, in order of first appearance.
    std::map<std::vector<std::string>, std::size_t> groupOf;
    std::vector<std::size_t> firstRow;
    std::vector<std::string> lists;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        std::vector<std::string> others = ids[r];
        others.erase(others.begin() + static_cast<std::ptrdiff_t>(listName));
        const auto [it, added] = groupOf.emplace(std::move(others), firstRow.size());
        if (added) {
            firstRow.push_back(r);
            lists.emplace_back("[");
        }
        appendElement(lists[it->second], values[r][listName]);
    }
    const std::string& listSql = form->listSql[listTerm];
    std::int64_t changed = 0;
    for (std::size_t g = 0; g < firstRow.size(); ++g) {
        if (lists[g].size() == 1) continue;  // only nulls: no row to name
        lists[g] += ']';
        Params params = rows[firstRow[g]];
        params.set(kListParam, Variant(std::move(lists[g])));
        if (beforeStatement_) beforeStatement_(listSql);
        changed += backend_->execute(listSql, ParamResolver(&statement, params));
    }
    return changed;
}

}  // namespace qel::db
