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
    if (const bool* b = value.get<bool>()) {
        out.kind = BindValue::Kind::Boolean;
        out.integer = *b ? 1 : 0;
    } else if (const std::int64_t* i = value.get<std::int64_t>()) {
        out.kind = BindValue::Kind::Integer;
        out.integer = *i;
        out.declared = ParamType::Integer;
    } else if (const double* f = value.get<double>()) {
        out.kind = BindValue::Kind::Float;
        out.real = *f;
        out.declared = ParamType::Float;
    } else if (const Decimal* d = value.get<Decimal>()) {
        out.kind = BindValue::Kind::Decimal;
        out.decimal = *d;
        out.declared = ParamType::Float;
    } else if (value.kind() == VariantKind::String) {
        setText(out, value);
    } else if (const DateTime* t = value.get<DateTime>()) {
        out.kind = BindValue::Kind::DateTime;
        out.dateTime = *t;
        out.declared = ParamType::DateTime;
    } else if (const Bytes* bytes = value.get<Bytes>()) {
        out.kind = BindValue::Kind::Blob;
        out.blob = bytes;
    } else if (!value.isEmpty()) {
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
