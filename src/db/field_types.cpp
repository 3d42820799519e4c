#include "db/field_types.h"

#include <algorithm>
#include <charconv>
#include <string>

#include "core/text.h"

namespace qel::db {
namespace {

// The numbers in parentheses after a type name: "DECIMAL(15, 2)" gives 15, 2.
void typeArguments(std::string_view args, int& first, int& second) {
    first = -1;
    second = -1;
    int* target = &first;
    std::size_t i = 0;
    while (i < args.size() && target != nullptr) {
        while (i < args.size() && (args[i] < '0' || args[i] > '9')) {
            if (args[i] == ',') target = target == &first ? &second : nullptr;
            ++i;
        }
        if (i >= args.size() || target == nullptr) break;
        int value = 0;
        const auto [ptr, ec] = std::from_chars(args.data() + i, args.data() + args.size(), value);
        if (ec != std::errc()) break;
        *target = value;
        i = static_cast<std::size_t>(ptr - args.data());
    }
}

bool contains(std::string_view haystack, std::string_view needle) {
    return haystack.find(needle) != std::string_view::npos;
}

FieldDef make(FieldType type, int size = 0, int scale = 0) {
    FieldDef def;
    def.type = type;
    def.size = size;
    def.scale = scale;
    return def;
}

}  // namespace

std::optional<FieldDef> fieldFromDeclaredType(std::string_view declared) {
    const std::string upper = text::upper(text::trim(declared));
    if (upper.empty()) return std::nullopt;
    const std::size_t paren = upper.find('(');
    const std::string_view name = text::trim(std::string_view(upper).substr(0, paren));
    int first = -1;
    int second = -1;
    if (paren != std::string::npos)
        typeArguments(std::string_view(upper).substr(paren), first, second);

    if (name == "CHAR" || name == "VARCHAR" || name == "NCHAR" || name == "NVARCHAR") {
        return make(FieldType::String, first > 0 ? first : 0);
    }
    if (name == "INT" || name == "INTEGER" || name == "SMALLINT" || name == "BIGINT" ||
        name == "TINYINT") {
        return make(FieldType::Integer);
    }
    if (name == "DECIMAL" || name == "NUMERIC") {
        return make(FieldType::Decimal, 0, second > 0 ? std::min(second, 18) : 0);
    }
    if (name == "MONEY" || name == "SMALLMONEY") return make(FieldType::Decimal, 0, 4);
    if (name == "FLOAT" || name == "REAL" || name == "DOUBLE" || name == "DOUBLE PRECISION") {
        return make(FieldType::Float);
    }
    if (name == "DATETIME" || name == "DATETIME2" || name == "SMALLDATETIME") {
        return make(FieldType::DateTime);
    }
    if (name == "DATE") return make(FieldType::Date);
    if (name == "BIT" || name == "BOOLEAN" || name == "BOOL") return make(FieldType::Boolean);
    if (name == "BLOB" || name == "VARBINARY" || name == "BINARY" || name == "IMAGE") {
        return make(FieldType::Blob);
    }
    // The engine's own affinity rules, in its order.
    if (contains(name, "INT")) return make(FieldType::Integer);
    if (contains(name, "CHAR") || contains(name, "CLOB") || contains(name, "TEXT")) {
        return make(FieldType::String);
    }
    if (contains(name, "BLOB")) return make(FieldType::Blob);
    if (contains(name, "REAL") || contains(name, "FLOA") || contains(name, "DOUB")) {
        return make(FieldType::Float);
    }
    return std::nullopt;
}

bool isStoredDateTime(std::string_view s) {
    static constexpr std::string_view kPattern = "dddd-dd-dd dd:dd:dd.ddd";
    if (s.size() != kPattern.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (kPattern[i] == 'd' ? (s[i] < '0' || s[i] > '9') : s[i] != kPattern[i]) return false;
    }
    return true;
}

}  // namespace qel::db
