// Room for stations: connections that never send an accepted request cannot
// take the places a station needs, and the server holds no more connections
// than it has descriptors for.

#include <sys/resource.h>

#include <chrono>
#include <memory>
#include <vector>

#include "connection_room.h"
#include "loopback_fixture.h"
#include "raw_client.h"

namespace qel::testing {
namespace {

class Room : public Loopback {};

TEST_F(Room, IdleConnectionsGiveWayToAStationAndServedOnesAreKept) {
    server::HttpServerOptions options;
    options.maxConnections = 40;
    options.headerTimeoutSeconds = 60;  // the idle ones do not time out meanwhile
    serve(std::move(options));
    ASSERT_EQ(http_->connectionCap(), 40u);

    // A client served once keeps its connection whatever comes after.
    RawClient served(port_);
    served.send("GET /health HTTP/1.1\r\nHost: x\r\n\r\n");
    bool closed = false;
    ASSERT_EQ(parseAnswers(served.readAnswers(closed)).status, 200);

    // Twice the cap of connections that send nothing, from the station's own address.
    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < 80; ++i) idle.push_back(std::make_unique<RawClient>(port_));

    setRegistry({{"IPServer", "127.0.0.1:" + std::to_string(port_)}, {"ServerReadTimeout", "5"}});
    ASSERT_TRUE(connections_->ConectaServidor(true, "x"));
    const Variant due = callChecked(connections_->netInsereServidor, "getLimpezaDiaria",
                                    {Variant("0001"), Variant("001")});
    EXPECT_TRUE(due.asBoolean());

    served.send("GET /health HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(parseAnswers(served.readAnswers(closed)).status, 200);
    EXPECT_FALSE(closed);
    // The oldest idle connections were closed to make room, the newest kept.
    idle.front()->readAll(closed, std::chrono::seconds(5));
    EXPECT_TRUE(closed);
    idle.back()->send("GET /health HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(parseAnswers(idle.back()->readAnswers(closed)).status, 200);
    EXPECT_LE(http_->openConnections(), 40u + 1);
}

TEST(ConnectionRoomRules, EachAddressKeepsItsShareAndTheCapMakesRoomFromTheOldest) {
    server::ConnectionRoom room(4, 2);
    std::vector<std::string> closed;
    std::vector<server::ConnectionRoom::Ticket> tickets;
    auto open = [&](const std::string& name, const std::string& address, std::size_t openNow) {
        const bool ok = room.makeRoom(address, openNow);
        if (ok) tickets.push_back(room.enter(address, [&closed, name] { closed.push_back(name); }));
        return ok;
    };
    EXPECT_TRUE(open("a1", "A", 0));
    EXPECT_TRUE(open("a2", "A", 1));
    EXPECT_TRUE(closed.empty());
    EXPECT_TRUE(open("a3", "A", 2));  // past A's share: its oldest goes
    EXPECT_EQ(closed, std::vector<std::string>{"a1"});
    EXPECT_TRUE(open("b1", "B", 2));
    room.leave(tickets[1]);  // a2 is served: never closed for room
    EXPECT_TRUE(open("c1", "C", 3));
    EXPECT_TRUE(open("c2", "C", 4));  // at the cap: the oldest waiting (a3) goes
    EXPECT_EQ(closed, (std::vector<std::string>{"a1", "a3"}));
    room.leave(tickets[1]);  // leaving twice changes nothing
    EXPECT_EQ(room.waiting(), 3u);
    for (const auto& t : tickets) room.leave(t);
    EXPECT_EQ(room.waiting(), 0u);
    // Every connection served and the cap reached: the newcomer is refused.
    EXPECT_FALSE(room.makeRoom("D", 4));
    EXPECT_TRUE(room.makeRoom("D", 3));
}

TEST(ConnectionRoomRules, TheCapIsWhatTheDescriptorsAllow) {
    EXPECT_EQ(server::connectionCap(20000, 1 << 20, 12), 20000u);
    EXPECT_EQ(server::connectionCap(20000, 1024, 12), 1024u - 12 - 64);
    EXPECT_EQ(server::connectionCap(100, 1024, 12), 100u);
    EXPECT_EQ(server::connectionCap(20000, 50, 12), 16u);

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (saved.rlim_max < 512) GTEST_SKIP() << "hard descriptor limit too low to lower";
    rlimit low = saved;
    low.rlim_cur = 256;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    EXPECT_EQ(server::descriptorLimit(), 256u);
    EXPECT_EQ(server::raiseDescriptorLimit(), static_cast<std::size_t>(saved.rlim_max));
    rlimit now{};
    getrlimit(RLIMIT_NOFILE, &now);
    EXPECT_EQ(now.rlim_cur, saved.rlim_max);
    setrlimit(RLIMIT_NOFILE, &saved);
}

}  // namespace
}  // namespace qel::testing
