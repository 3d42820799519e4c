#include "contracts/check_result.h"

#include "core/error.h"

namespace qel::contracts {

Variant CheckResultServ(const Variant& result, bool raiseOnError, int /*options*/) {
    if (!result.isArray() || result.asArray().size() != 2 ||
        result.asArray()[0].kind() != VariantKind::Boolean) {
        throw ServerError(std::string("Invalid server answer: expected a result envelope, got ") +
                          kindName(result.kind()));
    }
    const VariantArray& envelope = result.asArray();
    if (*envelope[0].get<bool>()) return envelope[1];
    if (envelope[1].kind() != VariantKind::String) {
        throw ServerError("Invalid server answer: failure without a message");
    }
    if (raiseOnError) throw ServerError(envelope[1].asString());
    return Variant::null();
}

}  // namespace qel::contracts
