#include "table_shape.h"

#include <map>

namespace qel::chaos {

TableShape readShape(SqliteFile& db, std::string_view table) {
    TableShape shape;
    std::map<int, std::string> keyByPosition;
    db.query("SELECT name, type, pk FROM pragma_table_info(?) ORDER BY cid", {std::string(table)},
             [&](sqlite3_stmt* stmt) {
                 shape.columns.push_back(columnText(stmt, 0));
                 shape.types.push_back(columnText(stmt, 1));
                 const int position = sqlite3_column_int(stmt, 2);
                 if (position > 0) keyByPosition[position] = shape.columns.back();
             });
    for (auto& [position, column] : keyByPosition) shape.key.push_back(column);
    return shape;
}

std::string keyMatch(const std::vector<std::string>& key, std::string_view a, std::string_view b) {
    std::string sql;
    for (const std::string& column : key) {
        if (!sql.empty()) sql += " AND ";
        sql += std::string(a) + "." + sqlName(column) + " IS " + std::string(b) + "." +
               sqlName(column);
    }
    return sql.empty() ? "0" : sql;
}

bool hasSaleKey(const TableShape& shape) {
    int found = 0;
    for (const std::string& c : shape.columns) {
        found += c == "CDFILIAL" || c == "CDCAIXA" || c == "NRSEQVENDA";
    }
    return found == 3;
}

std::string openSale(std::string_view alias) {
    const std::string a(alias);
    return "EXISTS (SELECT 1 FROM VENDA V WHERE V.CDFILIAL IS " + a +
           ".CDFILIAL AND V.CDCAIXA IS " + a + ".CDCAIXA AND V.NRSEQVENDA IS " + a +
           ".NRSEQVENDA AND V.IDSITUVENDA = 'P')";
}

std::string saleSettled(std::string_view alias) {
    const std::string a(alias);
    return "(" + a +
           ".NRSEQVENDA IS NOT NULL AND NOT EXISTS (SELECT 1 FROM VENDA V WHERE "
           "V.CDFILIAL IS " +
           a + ".CDFILIAL AND V.CDCAIXA IS " + a + ".CDCAIXA AND V.NRSEQVENDA IS " + a +
           ".NRSEQVENDA AND V.IDIMPVENDA <> 'S'))";
}

std::string sqlName(std::string_view name) {
    std::string out = "\"";
    for (char c : name) {
        out += c;
        if (c == '"') out += '"';
    }
    return out + "\"";
}

}  // namespace qel::chaos
