#include "db/binding.h"

#include "core/error.h"
#include "core/text.h"

namespace qel::db {
namespace {

using definitions::ParamType;

const definitions::Param* declaredParam(const definitions::Statement* statement,
                                        std::string_view name) {
    if (statement == nullptr) return nullptr;
    for (const definitions::Param& p : statement->params) {
        if (text::iequals(p.name, name)) return &p;
    }
    return nullptr;
}

void setText(BindValue& out, const Variant& value) {
    out.kind = BindValue::Kind::Text;
    out.borrowed = value.get<std::string>();
    if (out.borrowed == nullptr) out.storage = value.asString();
}

// Types a value of raw SQL by its kind.
BindValue fromValue(const Variant& value) {
    BindValue out;
    switch (value.kind()) {
        case VariantKind::Unassigned:
        case VariantKind::Null:
            break;
        case VariantKind::Boolean:
            out.kind = BindValue::Kind::Boolean;
            out.integer = *value.get<bool>() ? 1 : 0;
            break;
        case VariantKind::Integer:
            out.kind = BindValue::Kind::Integer;
            out.integer = *value.get<std::int64_t>();
            out.declared = ParamType::Integer;
            break;
        case VariantKind::Float:
            out.kind = BindValue::Kind::Float;
            out.real = *value.get<double>();
            out.declared = ParamType::Float;
            break;
        case VariantKind::Decimal:
            out.kind = BindValue::Kind::Decimal;
            out.decimal = *value.get<Decimal>();
            out.declared = ParamType::Float;
            break;
        case VariantKind::String:
            setText(out, value);
            break;
        case VariantKind::DateTime:
            out.kind = BindValue::Kind::DateTime;
            out.dateTime = *value.get<DateTime>();
            out.declared = ParamType::DateTime;
            break;
        case VariantKind::Blob:
            out.kind = BindValue::Kind::Blob;
            out.blob = value.get<Bytes>();
            break;
        case VariantKind::Array:
        case VariantKind::Packet:
            throw ConversionError(std::string("a value of kind ") + kindName(value.kind()) +
                                  " cannot be bound");
    }
    return out;
}

BindValue fromDeclared(const definitions::Param& param, const Variant& value) {
    BindValue out;
    out.declared = param.type;
    if (value.isEmpty()) return out;
    switch (param.type) {
        case ParamType::String: {
            setText(out, value);
            const std::size_t length = utf8Length(out.text());
            if (param.size > 0 && length > static_cast<std::size_t>(param.size)) {
                throw DatabaseError("Parameter " + std::string(param.name) + ": value of " +
                                    std::to_string(length) + " characters exceeds its size " +
                                    std::to_string(param.size));
            }
            break;
        }
        case ParamType::Integer:
            out.kind = BindValue::Kind::Integer;
            out.integer = value.asInteger();
            break;
        case ParamType::Float:
            if (const Decimal* d = value.get<Decimal>()) {
                out.kind = BindValue::Kind::Decimal;
                out.decimal = *d;
            } else {
                out.kind = BindValue::Kind::Float;
                out.real = value.asFloat();
            }
            break;
        case ParamType::Date:
            out.kind = BindValue::Kind::Date;
            out.dateTime = value.asDateTime().date();
            break;
        case ParamType::DateTime:
            out.kind = BindValue::Kind::DateTime;
            out.dateTime = value.asDateTime();
            break;
    }
    return out;
}

}  // namespace

BindValue ParamResolver::resolve(std::string_view name) const {
    const Variant* value = params_.find(name);
    if (value == nullptr) {
        throw DatabaseError("Parameter " + std::string(name) + " has no value");
    }
    const definitions::Param* param = declaredParam(statement_, name);
    try {
        return param != nullptr ? fromDeclared(*param, *value) : fromValue(*value);
    } catch (const DatabaseError&) {
        throw;
    } catch (const Error& e) {
        throw DatabaseError("Parameter " + std::string(name) + ": " + e.what());
    }
}

std::size_t utf8Length(std::string_view text) {
    std::size_t count = 0;
    for (unsigned char c : text) {
        if ((c & 0xC0) != 0x80) ++count;
    }
    return count;
}

}  // namespace qel::db
