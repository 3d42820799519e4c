// What a call reserves from the shared memory budget against what it really
// allocates: this program counts every byte the C++ heap hands out, so the
// tests can hold the server's estimate to the real figure.

#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <thread>

#include "application_server.h"
#include "central_store.h"
#include "core/clock.h"
#include "http_exchange.h"
#include "protocol/codec.h"
#include "protocol/envelope.h"
#include "protocol/gzip.h"
#include "sample_packets.h"

namespace {

std::atomic<std::size_t> gAllocated{0};
std::atomic<std::size_t> gPeak{0};

void* counted(std::size_t n) {
    void* p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    const std::size_t now = gAllocated.fetch_add(malloc_usable_size(p)) + malloc_usable_size(p);
    std::size_t peak = gPeak.load();
    while (now > peak && !gPeak.compare_exchange_weak(peak, now)) {
    }
    return p;
}

void uncounted(void* p) noexcept {
    if (!p) return;
    gAllocated.fetch_sub(malloc_usable_size(p));
    std::free(p);
}

}  // namespace

void* operator new(std::size_t n) {
    return counted(n);
}
void* operator new[](std::size_t n) {
    return counted(n);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return counted(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return counted(n);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept {
    uncounted(p);
}
void operator delete[](void* p) noexcept {
    uncounted(p);
}
void operator delete(void* p, std::size_t) noexcept {
    uncounted(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    uncounted(p);
}

namespace qel::testing {
namespace {

// The heap a block of work takes at its peak beyond what was held before it.
class HeapPeak {
  public:
    HeapPeak() : base_(gAllocated.load()) { gPeak.store(base_); }
    std::size_t bytes() const { return gPeak.load() - base_; }

  private:
    std::size_t base_;
};

class CallMemory : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() /
                  ("qel_call_memory_" + std::to_string(::getpid()) + "_" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_);
        store_ = server::openSqliteStore(folder_ / "central.db");
        app_ = std::make_unique<server::ApplicationServer>(*store_, clock_);
    }
    void TearDown() override {
        app_.reset();
        store_.reset();
        std::filesystem::remove_all(folder_);
    }

    static server::CallInput input(const std::string& method, const VariantArray& packets) {
        VariantArray args{Variant("0001"), Variant("001")};
        if (method == "setInsereServidor") args.push_back(Variant("01"));
        args.push_back(Variant(packets));
        const Bytes b = protocol::encodeRequest("Exp.rdmInsereServidor", method, args);
        server::CallInput in;
        in.object = "Exp.rdmInsereServidor";
        in.method = method;
        in.body.assign(reinterpret_cast<const char*>(b.data()), b.size());
        in.acceptsGzip = true;
        return in;
    }

    server::CallLimits limits_{64u << 20, 512u << 20, true};
    std::filesystem::path folder_;
    ManualClock clock_;
    std::unique_ptr<server::CentralStore> store_;
    std::unique_ptr<server::ApplicationServer> app_;
};

TEST_F(CallMemory, ACallReservesWhatItReallyHoldsUntilItsAnswerIsWritten) {
    const VariantArray packets = samplePacketArray(2000);  // about 40,000 rows
    // The insert, then its verification (all "OK", stored contents read back),
    // then a verification of rows this server never stored ("NE").
    const std::pair<std::string, std::string> calls[] = {
        {"setInsereServidor", "0001"},
        {"getVerificaExportacao", "0001"},
        {"getVerificaExportacao", "0002"},
    };
    for (const auto& [method, store] : calls) {
        server::MemoryBudget budget(std::size_t{4} << 30);
        server::Answer a;
        std::size_t real = 0;
        {
            server::CallInput in =
                input(method, store == "0001" ? packets : samplePacketArray(2000, store));
            in.caller.peer = "127.0.0.1:1";
            server::Reservation reservation(budget);
            const HeapPeak peak;
            a = server::executeCall(*app_, in, limits_, reservation);
            real = peak.bytes();
            ASSERT_EQ(a.status, 200) << method << " " << a.failure;
            // The reservation is held while the answer is being written, and
            // covers what the call held at its peak: not less than the heap
            // it really took (its rows, keys, contents, verdicts, answer),
            // nor wildly more.
            EXPECT_GE(reservation.held(), real * 9 / 10) << method << " " << store;
            EXPECT_LE(reservation.held(), real * 3) << method << " " << store;
        }
        EXPECT_EQ(budget.used(), 0u) << "the share was not given back";
    }
}

TEST_F(CallMemory, AVerificationTheBudgetCannotHoldIsRefusedAndGivesItsShareBack) {
    const VariantArray packets = samplePacketArray(2000);
    // What the verification holds at its peak, found with a roomy budget:
    // a budget one byte short refuses it, and the refusal gives back its share.
    server::CallInput probe = input("getVerificaExportacao", packets);
    const std::size_t body = probe.body.size();
    std::size_t needed = 0;
    {
        server::MemoryBudget roomy(std::size_t{4} << 30);
        server::Reservation r(roomy);
        probe.caller.peer = "127.0.0.1:1";
        ASSERT_EQ(server::executeCall(*app_, probe, limits_, r).status, 200);
        needed = r.held();
    }
    ASSERT_GT(needed, 2 * body);
    for (const std::size_t capacity : {needed / 2, needed - 1, needed}) {
        server::MemoryBudget budget(capacity);
        server::CallInput in = input("getVerificaExportacao", packets);
        server::Answer a;
        {
            server::Reservation reservation(budget);
            a = server::executeCall(*app_, in, limits_, reservation);
        }
        EXPECT_EQ(a.status, capacity >= needed ? 200 : 503) << capacity;
        EXPECT_EQ(budget.used(), 0u);
    }
}

TEST(SharedBudget, TheEldestCallWaitsForTheOthersWhileTheYoungerOnesGiveWay) {
    using namespace std::chrono_literals;
    server::MemoryBudget budget(100);
    server::Reservation first(budget), second(budget);
    ASSERT_TRUE(first.growTo(40));
    ASSERT_TRUE(second.growTo(50));
    // The younger one does not wait for the eldest: it fails, and gives its share back.
    EXPECT_FALSE(second.growTo(70, 10s));
    std::thread younger([&] { second.release(); });
    // The eldest gets what the younger one gives back.
    EXPECT_TRUE(first.growTo(90, 10s));
    younger.join();
    EXPECT_EQ(budget.used(), 90u);
    // Alone, it does not wait for memory nobody else holds.
    EXPECT_FALSE(first.growTo(101, 10s));
    // Without a wait nobody waits: the former rule for threads that may not block.
    server::Reservation third(budget);
    EXPECT_FALSE(third.growTo(11));
    first.release();
    EXPECT_TRUE(third.growTo(100));
    third.release();
    EXPECT_EQ(budget.used(), 0u);
}

TEST(GzipAdmission, AGzipBodyIsExpectedToHoldWhatItsTrailerSaysItUnpacksTo) {
    const server::CallLimits limits{64u << 20, 512u << 20, true};
    const std::size_t budget = 768u << 20;
    // Repetitive rows: far smaller packed.
    const Bytes rows = protocol::encode(
        Variant(VariantArray(200000, Variant("0001;001;the same row, sent again"))));
    const std::string packed = protocol::gzipCompress(rows);
    const std::span<const std::uint8_t> wire(reinterpret_cast<const std::uint8_t*>(packed.data()),
                                             packed.size());
    ASSERT_GT(rows.size(), 20 * packed.size());
    const std::size_t stated = protocol::gzipStatedSize(wire);
    EXPECT_EQ(stated, rows.size());
    const std::size_t byLength = server::expectedCallMemory(packed.size(), true, limits, budget);
    const std::size_t byTrailer =
        server::expectedCallMemory(packed.size(), true, limits, budget, stated);
    EXPECT_LT(byLength, rows.size());
    EXPECT_EQ(byTrailer, packed.size() + rows.size() * (1 + server::kDecodedPerEncodedByte));

    // The trailer is a claim: one deflate could not produce, or a lie past the
    // limits, is held to the bounds.
    Bytes lying(packed.begin(), packed.end());
    const std::uint32_t huge = static_cast<std::uint32_t>(packed.size() * 1033);
    std::memcpy(lying.data() + lying.size() - 4, &huge, 4);  // little-endian like the trailer
    EXPECT_EQ(protocol::gzipStatedSize(lying), 0u);
    const std::uint32_t most = static_cast<std::uint32_t>(packed.size() * 1032);
    std::memcpy(lying.data() + lying.size() - 4, &most, 4);
    EXPECT_EQ(protocol::gzipStatedSize(lying), packed.size() * 1032);
    EXPECT_EQ(server::expectedCallMemory(100, true, limits, budget, 100000),
              100 + 100000 * (1 + server::kDecodedPerEncodedByte));
    // Unpacked at most to the body limit, decoded at most to the decoded
    // bound, and never more than the whole budget.
    const std::size_t bounded = 100 + (64u << 20) + 6 * (64u << 20);
    EXPECT_EQ(server::expectedCallMemory(100, true, limits, budget, 1u << 30), bounded);
    EXPECT_EQ(
        server::expectedCallMemory(100, true, {64u << 20, 100u << 20, true}, budget, 1u << 30),
        100 + (64u << 20) + (100u << 20));
    EXPECT_EQ(server::expectedCallMemory(100, true, limits, 256u << 20, 1u << 30), 256u << 20);
    EXPECT_EQ(protocol::gzipStatedSize(Bytes(17, 0)), 0u);
}

}  // namespace
}  // namespace qel::testing
