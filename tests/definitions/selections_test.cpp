#include <gtest/gtest.h>

#include "definitions/statement.h"
#include "test_database.h"

namespace qel::definitions {
namespace {}  // namespace
}  // namespace qel::definitions
