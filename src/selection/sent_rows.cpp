#include "selection/sent_rows.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string_view>

#include "core/datetime.h"

namespace qel::agent {
namespace {

// How a verdict's key column meets the sent column: as it is, or a time cut
// to its day (the day totals) or to its second (keys the server echoes as
// text without milliseconds).
enum Form { AsIs = 0, Day = 1, Second = 2 };

struct KeyColumn {
    std::string_view name;
    Form form = AsIs;
};

struct VerdictTable {
    std::array<int, 2> elements;  // packet elements answered; -1: none
    std::vector<KeyColumn> keys;  // the keys the flag command binds
};

// Per position of the verification answer: the packet elements it answers
// and the keys its acknowledgement binds.
const std::vector<VerdictTable>& verdictTables() {
    static const std::vector<VerdictTable> tables = {
        /* 0 */ {{0, -1}, {{"CDCONSUMIDOR"}, {"CDCLIENTE"}}},
        /* 1 */ {{1, -1}, {{"CDOPERADOR"}}},
        /* 2 */
        {{2, -1},
         {{"CDFILIAL"}, {"CDCAIXA"}, {"IDOPERQEL"}, {"CDOPERRESPOP"}, {"DTHROPERQEL", Second}}},
        /* 3 */ {{3, -1}, {{"CDOPERADOR"}, {"DSSISTEMA"}, {"DTHRACESSO"}}},
        /* 4 */ {{4, -1}, {{"CDOPERADOR"}, {"DTALTSENHA"}, {"CDSENHALT"}}},
        /* 5 */ {{5, -1}, {{"CDFILIAL"}, {"CDCAIXA"}, {"NRNOTAFISCALCE"}}},
        /* 6 */ {{7, -1}, {{"CDFILIAL"}, {"NRPEDIDOQEL"}}},
        /* 7 */ {{10, -1}, {{"CDFILIAL"}, {"CDCAIXA"}, {"NRSERIECAT52"}, {"DTMOVCAT52"}}},
        /* 8 */ {{11, -1}, {{"CDFILIAL"}, {"CDCAIXA"}, {"NRECFREDZ"}, {"DTREDUCAOZ"}}},
        /* 9 */ {{15, -1}, {{"CDFILIAL"}, {"CDCAIXA"}, {"DTABERCAIX"}}},
        /* 10 */ {{16, -1}, {{"CDFILIAL"}, {"CDCAIXA"}, {"NRSEQVENDA"}}},
        /* 11 */ {{22, -1}, {{"CDFILIAL"}, {"CDCAIXA"}, {"DTABERCAIX"}, {"NRSEQUMOVI"}}},
        /* 12 */
        {{17, 35},
         {{"CDCLIENTE"}, {"CDCONSUMIDOR"}, {"CDFAMILISALD"}, {"DTMOVEXTCONS"}, {"NRSEQMOVEXT"}}},
        /* 13 */ {{24, -1}, {{"CDFILIAL"}, {"CDCAIXA"}, {"NRSEQVENDA"}}},
        /* 14 */
        {{29, -1},
         {{"CDCLIENTE"},
          {"CDCONSUMIDOR"},
          {"CDCAMPANHA"},
          {"NRSEQPRODCAMP"},
          {"NRSEQBENEFICIO"},
          {"QTDEBENEFICIO"}}},
        /* 15 */ {{37, -1}, {{"CDFILIAL"}, {"CDLOJA"}, {"DTHRABERMESA"}, {"NRVENDARESTAUX"}}},
        /* 16 */ {{38, -1}, {{"CDFILIAL"}, {"CDCAIXA"}, {"DTTOTAL", Day}}},
        /* 17: counted only, nothing is flagged */ {{-1, -1}, {}},
        /* 18 */ {{40, -1}, {{"CDCONSUMIDOR"}, {"CDCLIENTE"}, {"CDENDECONS"}}},
        /* 19 */ {{41, -1}, {{"CDFILIAL"}, {"CDCAIXA"}, {"NRSEQVENDA"}, {"NRSEQLOGNFCE"}}},
        /* 20 */
        {{44, -1}, {{"CDFILIAL"}, {"NRVENDAREST"}, {"NRCOMANDA"}, {"DTHRREGISTRO", Second}}},
        /* 21 */
        {{45, -1},
         {{"CDFILIAL"},
          {"NRVENDAREST"},
          {"NRCOMANDA"},
          {"NRPRODCOMVEN"},
          {"DTHRINCOMVEN", Second}}},
    };
    return tables;
}

template <typename T>
void appendRaw(std::string& key, char tag, T value) {
    key.push_back(tag);
    char bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);
    key.append(bytes, sizeof value);
}

}  // namespace

bool SentRows::appendKey(const Variant& value, Column column, std::string& key) {
    if (value.isEmpty()) {
        key.push_back('n');
        return true;
    }
    try {
        switch (column.domain) {
            case Domain::Text: {
                const std::string* text = value.get<std::string>();
                const std::string converted = text ? std::string() : value.asString();
                const std::string& t = text ? *text : converted;
                appendRaw(key, 's', t.size());
                key.append(t);
                return true;
            }
            case Domain::Integer:
                appendRaw(key, 'i', value.asInteger());
                return true;
            case Domain::Real:
                appendRaw(key, 'r', value.asFloat());
                return true;
            case Domain::Time: {
                // The day count and the time of day in milliseconds (before
                // 1899 the fraction's absolute value is the time of day).
                const double days = value.asDateTime().value();
                const double whole = std::trunc(days);
                auto timeOfDay = static_cast<std::int64_t>(std::llround(
                    std::fabs(days - whole) * static_cast<double>(kMillisecondsPerDay)));
                if (column.form == Day) timeOfDay = 0;
                if (column.form == Second) timeOfDay -= timeOfDay % 1000;
                appendRaw(key, 't', static_cast<std::int64_t>(whole));
                appendRaw(key, ':', timeOfDay);
                return true;
            }
        }
    } catch (const std::exception&) {
        // A value that cannot be read in the sent column's type matches no
        // sent row.
    }
    return false;
}

SentRows::SentRows(const VariantArray& packets) {
    const auto& tables = verdictTables();
    tables_.resize(tables.size());
    for (std::size_t t = 0; t < tables.size(); ++t) {
        Table& table = tables_[t];
        for (int element : tables[t].elements) {
            if (element < 0 || static_cast<std::size_t>(element) >= packets.size() ||
                !packets[element].isPacket()) {
                continue;
            }
            const Dataset& sent = packets[element].asPacket();
            std::vector<int> indexes;
            for (const KeyColumn& k : tables[t].keys) indexes.push_back(sent.findField(k.name));
            if (std::find(indexes.begin(), indexes.end(), -1) != indexes.end()) continue;
            if (table.columns.empty()) {
                for (std::size_t k = 0; k < indexes.size(); ++k) {
                    Column c;
                    c.form = tables[t].keys[k].form;
                    switch (sent.fields()[static_cast<std::size_t>(indexes[k])].type) {
                        case FieldType::Integer:
                        case FieldType::Boolean:
                            c.domain = Domain::Integer;
                            break;
                        case FieldType::Float:
                        case FieldType::Decimal:
                            c.domain = Domain::Real;
                            break;
                        case FieldType::Date:
                        case FieldType::DateTime:
                            c.domain = Domain::Time;
                            break;
                        default:
                            c.domain = Domain::Text;
                    }
                    table.columns.push_back(c);
                }
            }
            std::string key;
            for (const Row& row : sent.rows()) {
                key.clear();
                bool readable = true;
                for (std::size_t k = 0; k < indexes.size() && readable; ++k) {
                    readable =
                        appendKey(row[static_cast<std::size_t>(indexes[k])], table.columns[k], key);
                }
                if (readable) table.keys.insert(key);
            }
        }
    }
}

std::size_t SentRows::dropUnsent(std::size_t result, Dataset& verdicts) const {
    const auto& tables = verdictTables();
    if (result >= tables.size() || tables[result].keys.empty() || verdicts.isEmpty()) return 0;
    const Table& table = tables_[result];
    std::vector<int> indexes;
    for (const KeyColumn& k : tables[result].keys) indexes.push_back(verdicts.findField(k.name));
    // Without a key column the routine fails on its first row and says so.
    if (std::find(indexes.begin(), indexes.end(), -1) != indexes.end()) return 0;

    std::string key;
    const auto unsent = [&](const Row& row) {
        if (table.columns.empty()) return true;  // nothing sent answers to these keys
        key.clear();
        for (std::size_t k = 0; k < indexes.size(); ++k) {
            if (!appendKey(row[static_cast<std::size_t>(indexes[k])], table.columns[k], key)) {
                return true;
            }
        }
        return table.keys.count(key) == 0;
    };
    const std::size_t removed = std::erase_if(verdicts.rows(), unsent);
    verdicts.first();
    return removed;
}

}  // namespace qel::agent
