// What a PostgreSQL failure says: PostgreSQL's own message without its line
// end, and the statement's first sixty characters; and texts PostgreSQL
// cannot hold are refused before they are sent, never cut short.

#include <gtest/gtest.h>

#include "core/error.h"
#include "postgres_cluster.h"
#include "postgres_connection.h"

namespace qel::testing {
namespace {

TEST(PostgresErrors, AFailureNamesPostgreSQLsMessageAndTheStartOfItsStatement) {
    PostgresCluster* cluster = PostgresCluster::shared();
    if (!cluster) GTEST_SKIP() << "PostgreSQL: " << PostgresCluster::unavailableReason();
    server::pg::Connection c(cluster->createDatabase());
    auto failure = [&](const std::string& sql) -> std::string {
        try {
            c.exec(sql.c_str());
            return "<no error>";
        } catch (const server::pg::PgError& e) {
            return e.what();
        }
    };
    const std::string sixty = "SELECT 1 / 0 AS " + std::string(44, 'x');
    ASSERT_EQ(sixty.size(), 60u);
    EXPECT_EQ(failure(sixty),
              "Central store (PostgreSQL): ERROR:  division by zero [" + sixty + "]");
    EXPECT_EQ(failure(sixty + "y"),
              "Central store (PostgreSQL): ERROR:  division by zero [" + sixty + "...]");
    EXPECT_EQ(failure("SELECT 1"), "<no error>");  // the connection serves on
}

TEST(PostgresErrors, ATextWithANulIsRefusedBeforeItIsSent) {
    for (const std::string_view text :
         {std::string_view("0001\0X", 6), std::string_view("\0", 1)}) {
        try {
            server::pg::Param::of(text);
            ADD_FAILURE() << "a NUL was taken";
        } catch (const DatabaseError& e) {
            EXPECT_EQ(std::string(e.what()),
                      "Central store (PostgreSQL): a text holds a NUL character, which PostgreSQL "
                      "cannot store");
        }
    }
    EXPECT_NO_THROW(server::pg::Param::of(std::string_view("0001")));
}

}  // namespace
}  // namespace qel::testing
