#include "ack/acknowledgement.h"

#include "core/error.h"

namespace qel::agent {

bool verdictIsOk(const Dataset& results) {
    return results.field("IDSITUACAO").asString() == kVerdictOk;
}

db::Params paramsFromRow(const definitions::Statement& command, const Dataset& results) {
    db::Params params;
    for (const definitions::Param& p : command.params) {
        std::string_view fieldName = p.name;
        if (fieldName.size() > 2 &&
            (fieldName.substr(0, 2) == "P_" || fieldName.substr(0, 2) == "p_")) {
            fieldName.remove_prefix(2);
        }
        const FieldRef field = results.field(fieldName);
        switch (p.type) {
            case definitions::ParamType::String:
                params.set(p.name, Variant(field.asString()));
                break;
            case definitions::ParamType::Integer:
                params.set(p.name, field.isNull() ? Variant::null() : Variant(field.asInteger()));
                break;
            case definitions::ParamType::Float:
                params.set(p.name, field.isNull() ? Variant::null() : Variant(field.asFloat()));
                break;
            case definitions::ParamType::Date:
                params.set(p.name, Variant(field.asDateTime().date()));
                break;
            case definitions::ParamType::DateTime:
                params.set(p.name, Variant(field.asDateTime()));
                break;
        }
    }
    return params;
}

}  // namespace qel::agent
