#include "ack/acknowledgement.h"

#include "core/error.h"
#include "export/data_module.h"

namespace qel::agent {

bool verdictIsOk(const Dataset& results) {
    const FieldRef verdict = results.field("IDSITUACAO");
    // Verdicts are texts: compared in place, without a copy per row.
    if (const std::string* text = verdict.value().get<std::string>()) return *text == kVerdictOk;
    return verdict.asString() == kVerdictOk;
}

db::Params paramsFromRow(const definitions::Statement& command, const Dataset& results) {
    return paramsFromRow(command, results, {});
}

db::Params paramsFromRow(const definitions::Statement& command, const Dataset& results,
                         const db::Params& given) {
    db::Params params;
    for (const definitions::Param& p : command.params) {
        if (const Variant* value = given.find(p.name)) {
            params.set(p.name, *value);
            continue;
        }
        std::string_view fieldName = p.name;
        if (fieldName.size() > 2 &&
            (fieldName.substr(0, 2) == "P_" || fieldName.substr(0, 2) == "p_")) {
            fieldName.remove_prefix(2);
        }
        const FieldRef field = results.field(fieldName);
        switch (p.type) {
            case definitions::ParamType::String:
                // A text is its own text form: the value is taken as it is.
                if (field.value().kind() == VariantKind::String) {
                    params.set(p.name, field.value());
                } else {
                    params.set(p.name, Variant(field.asString()));
                }
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

bool runAcknowledgement(TdtmExportaVenda& dm, std::string_view routine,
                        const std::function<void()>& body) {
    try {
        dm.IniciaTransacao();
        body();
        dm.ConfirmaTransacao();
        return true;
    } catch (const std::exception& e) {
        dm.DesfazTransacao();
        dm.GravaLog("ERRO Except " + std::string(routine) + ": " + e.what());
        return false;
    }
}

bool runTogether(TdtmExportaVenda& dm, const std::function<void()>& together) {
    db::Connection& station = dm.adcCaixa;
    if (station.dialect() != db::Dialect::Sqlite) return false;
    station.execute("SAVEPOINT QEL_TOGETHER");
    try {
        together();
    } catch (const std::exception&) {
        // A failure that ended the whole transaction leaves no savepoint to
        // return to: the routine then fails with this error.
        if (!station.inTransaction()) throw;
        station.execute("ROLLBACK TO QEL_TOGETHER");
        station.execute("RELEASE QEL_TOGETHER");
        return false;
    }
    station.execute("RELEASE QEL_TOGETHER");
    return true;
}

void forEachOkRow(Dataset& results, const std::function<void()>& row) {
    for (results.first(); !results.eof(); results.next()) {
        if (verdictIsOk(results)) row();
    }
}

}  // namespace qel::agent
