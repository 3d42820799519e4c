#include "contracts/check_result.h"

#include "core/error.h"

namespace qel::contracts {

Variant CheckResultServ(const Variant& result, bool raiseOnError, int /*options*/) {
    const bool* ok = nullptr;
    if (result.isArray() && result.asArray().size() == 2) ok = result.asArray()[0].get<bool>();
    if (!ok) {
        throw ServerError(std::string("Invalid server answer: expected a result envelope, got ") +
                          kindName(result.kind()));
    }
    const VariantArray& envelope = result.asArray();
    if (*ok) return envelope[1];
    const std::string* message = envelope[1].get<std::string>();
    if (!message) throw ServerError("Invalid server answer: failure without a message");
    if (raiseOnError) throw ServerError(*message);
    return Variant::null();
}

}  // namespace qel::contracts
