#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/variant.h"
#include "db/connection.h"
#include "definitions/statement.h"

namespace qel::db {

// One parameter value ready for a backend to bind: converted to the type the
// statement declares (or, for raw SQL, the type of the value).
struct BindValue {
    enum class Kind { Null, Text, Integer, Float, Decimal, Date, DateTime, Boolean, Blob };

    Kind kind = Kind::Null;
    // The declared type; a null binds with it (String when undeclared).
    definitions::ParamType declared = definitions::ParamType::String;
    const std::string* borrowed = nullptr;  // Text: the caller's string, when it was one
    std::string storage;                    // Text: the converted value otherwise
    std::int64_t integer = 0;               // Integer, Boolean
    double real = 0;                        // Float
    Decimal decimal;                        // Decimal
    DateTime dateTime;                      // Date (date part only), DateTime
    const Bytes* blob = nullptr;

    std::string_view text() const { return borrowed != nullptr ? *borrowed : storage; }
};

// Finds and converts parameter values by name. A statement's declared list
// types the value; names it does not declare (and every name of raw SQL) are
// typed by their Variant kind.
class ParamResolver {
  public:
    ParamResolver(const definitions::Statement* statement, const Params& params)
        : statement_(statement), params_(params) {}

    // REQUIRES: name without the leading ':'.
    // Throws DatabaseError naming the parameter when no value was given, when
    // the value does not convert to the declared type, or when a string is
    // longer than its declared size.
    BindValue resolve(std::string_view name) const;

  private:
    const definitions::Statement* statement_;
    const Params& params_;
};

// Number of characters (code points) of a UTF-8 text.
std::size_t utf8Length(std::string_view text);

}  // namespace qel::db
