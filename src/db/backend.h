#pragma once

#include <cstdint>
#include <string_view>

#include "core/dataset.h"
#include "db/binding.h"

namespace qel::db {

// What a database engine provides to Connection. A backend exists only while
// its connection is open; destroying it disconnects (rolling back an open
// transaction).
class Backend {
  public:
    virtual ~Backend() = default;

    virtual void begin() = 0;
    virtual void commit() = 0;
    virtual void rollback() = 0;
    virtual bool inTransaction() const = 0;

    // Until endRead(), the reads see one snapshot of the database taken by a
    // single read transaction, where the engine has such a thing (the
    // others read as before). beginRead() is called outside a transaction.
    virtual void beginRead() {}
    virtual void endRead() {}

    // Runs a statement; parameters are looked up by name through `params`.
    virtual Dataset query(std::string_view sql, const ParamResolver& params) = 0;
    virtual std::int64_t execute(std::string_view sql, const ParamResolver& params) = 0;

    // Makes the catalogue `name` of the same server reachable as `name`.
    virtual void attachCatalog(std::string_view name) = 0;
    // Undoes attachCatalog.
    virtual void detachCatalog(std::string_view name) = 0;
};

}  // namespace qel::db
