#include "application_server.h"

#include <algorithm>

#include "day_completeness.h"
#include "export_rows.h"
#include "protocol/envelope.h"
#include "short_days.h"
#include "table_rules.h"

namespace qel::server {
namespace {

// A call whose arguments are not what the method takes: the request is
// wrong, not the data, so it is refused with 400.
class BadArguments : public CallRejected {
  public:
    explicit BadArguments(const std::string& message) : CallRejected(400, message) {}
};

void expectCount(const VariantArray& args, std::size_t n, std::string_view method) {
    if (args.size() != n) {
        throw BadArguments(std::string(method) + " takes " + std::to_string(n) +
                           " arguments, not " + std::to_string(args.size()));
    }
}

const std::string& textArg(const VariantArray& args, std::size_t i, std::string_view name) {
    const auto* s = args[i].get<std::string>();
    if (!s) {
        throw BadArguments(std::string(name) + " must be text, not " + kindName(args[i].kind()));
    }
    return *s;
}

// A text argument the store files the call under (a store or station code,
// the day of a request).
const std::string& codeArg(const VariantArray& args, std::size_t i, std::string_view name) {
    const std::string& s = textArg(args, i, name);
    if (auto problem = codeProblem(name, s)) throw BadArguments(*problem);
    return s;
}

std::optional<DateTime> dateArg(const Variant& v, std::string_view name) {
    if (v.isEmpty()) return std::nullopt;
    if (const auto* d = v.get<DateTime>()) return *d;
    throw BadArguments(std::string(name) + " must be a date-time, not " + kindName(v.kind()));
}

// The packet array: 47 elements, packets everywhere but the two dates.
const VariantArray& packetArray(const Variant& v) {
    if (!v.isArray() || v.asArray().size() != static_cast<std::size_t>(kPacketCount)) {
        throw BadArguments("the packet array must have " + std::to_string(kPacketCount) +
                           " elements");
    }
    const VariantArray& a = v.asArray();
    for (int i = 0; i < kPacketCount; ++i) {
        if (i == kExtratoDateIndex || i == kMoviClieDateIndex) {
            dateArg(a[i], "element " + std::to_string(i) + " of the packet array");
        } else if (!a[i].isPacket() || !a[i].packetPtr()) {
            throw BadArguments("element " + std::to_string(i) + " of the packet array (" +
                               std::string(tableRules()[i].table) +
                               ") must be a data packet, not " + kindName(a[i].kind()));
        }
    }
    return a;
}

// What a call's own work holds, told to the caller's `holding` before each
// large allocation and at every further MiB as rows are added, so that the
// shared budget can stop the call before the process holds what the budget
// cannot give. Sizes are estimates: the bytes asked for plus the allocator's
// overhead per heap block.
class WorkMemory {
  public:
    explicit WorkMemory(const Caller& caller) : holding_(caller.holding) {}

    // A heap block of `bytes` was allocated.
    void block(std::size_t bytes) { add(bytes + kHeapBlockOverhead); }
    // A string of `length` characters: on the heap past the in-place capacity.
    void text(std::size_t length) {
        if (length > 15) block(length + 1);
    }
    void add(std::size_t bytes) {
        now_ += bytes;
        if (now_ >= told_ + kStep) tell();
    }
    // Memory about to be allocated: told at once.
    void expect(std::size_t bytes) {
        now_ += bytes;
        tell();
    }
    void release(std::size_t bytes) {
        now_ -= std::min(now_, bytes);
        told_ = std::min(told_, now_);
    }
    std::size_t now() const { return now_; }

  private:
    void tell() {
        told_ = now_;
        if (holding_) holding_(now_);
    }
    static constexpr std::size_t kStep = 1u << 20;
    const std::function<void(std::size_t)>& holding_;
    std::size_t now_ = 0;
    std::size_t told_ = 0;
};

template <class T>
void freeVector(std::vector<T>& v) {
    std::vector<T>().swap(v);
}

// The address of a peer "address:port" without the port.
std::string peerAddress(const std::string& peer) {
    const std::size_t colon = peer.rfind(':');
    return colon == std::string::npos ? peer : peer.substr(0, colon);
}

}  // namespace

std::string sourceDatabase(const Caller& caller, std::string_view store, std::string_view station) {
    if (caller.grant) return caller.grant->database();
    return std::string(store) + "/" + std::string(station);
}

ApplicationServer::ApplicationServer(CentralStore& store, const Clock& clock)
    : store_(store), clock_(clock) {
    tableRules();
}

CallOutcome ApplicationServer::call(const Caller& caller, const protocol::Request& request) {
    try {
        return dispatch(caller, request);
    } catch (const CallRejected&) {
        throw;
    } catch (const MemoryBudgetExceeded&) {
        throw;
    } catch (const std::exception& e) {
        CallOutcome out;
        out.answer = protocol::failureAnswer(e.what());
        // A failed call still names its station for the log line and the
        // station's failure count, when it names one the caller may act for.
        const auto& args = request.args;
        const auto* store = args.size() >= 2 ? args[0].get<std::string>() : nullptr;
        const auto* station = args.size() >= 2 ? args[1].get<std::string>() : nullptr;
        if (store && station &&
            (!caller.grant ||
             (caller.grant->allowsStore(*store) && caller.grant->allowsStation(*station)))) {
            out.store = *store;
            out.station = *station;
        }
        return out;
    }
}

CallOutcome ApplicationServer::dispatch(const Caller& caller, const protocol::Request& request) {
    const std::string& m = request.method;
    const VariantArray& args = request.args;
    if (request.object == kExportObject) {
        if (m == "setInsereServidor") return setInsereServidor(caller, args);
        if (m == "getVerificaExportacao") return getVerificaExportacao(caller, args);
        if (m == "getMinDTULTATUEXT") return reportDate(caller, args, "DTULTATUEXT");
        if (m == "getMaxDTULTATUMCLI") return reportDate(caller, args, "DTULTATUMCLI");
        if (m == "getLimpezaDiaria") return cleanupDue(caller, args, false);
        if (m == "getLimpezaMensal") return cleanupDue(caller, args, true);
        if (m == "setDtUltimaLimpeza") return setDtUltimaLimpeza(caller, args);
        if (m == "getShortDays") return getShortDays(caller, args);
    } else if (request.object == kAdjustObject) {
        if (m == "setAjusteDiferencas") return recordRequest(caller, args, "AJUSTE", true);
    } else if (request.object == kLoyaltyObject) {
        if (m == "setAtualizaPontuacao") return recordRequest(caller, args, "PONTUACAO", false);
    } else {
        throw CallRejected(404, "Unknown server object " + request.object);
    }
    throw CallRejected(404, "Unknown method " + request.object + "." + m);
}

void ApplicationServer::identify(const Caller& caller, CallOutcome& out, const VariantArray& args,
                                 bool recordContact) {
    out.store = codeArg(args, 0, "CDFILIAL");
    out.station = codeArg(args, 1, "CDCAIXA");
    if (caller.grant &&
        (!caller.grant->allowsStore(out.store) || !caller.grant->allowsStation(out.station))) {
        throw CallRejected(
            403, "This credential may not act for store " + out.store + " station " + out.station);
    }
    if (recordContact) store_.touchStation(out.store, out.station, clock_.now());
}

CallOutcome ApplicationServer::setInsereServidor(const Caller& caller, const VariantArray& args) {
    expectCount(args, 4, "setInsereServidor");
    CallOutcome out;
    // A stored transfer records the contact in its own transaction; only a
    // transfer that fails records it on its own.
    identify(caller, out, args, false);
    try {
        storeTransfer(caller, args, out);
    } catch (...) {
        try {
            store_.touchStation(out.store, out.station, clock_.now());
        } catch (const std::exception&) {
            // The store is failing; the transfer's own error is the one to answer.
        }
        throw;
    }
    return out;
}

void ApplicationServer::storeTransfer(const Caller& caller, const VariantArray& args,
                                      CallOutcome& out) {
    textArg(args, 2, "CDLOJA");
    const VariantArray& packets = packetArray(args[3]);

    InsertBatch batch;
    batch.store = out.store;
    batch.station = out.station;
    batch.receivedAt = clock_.now();
    batch.dates.push_back({"DTULTATUEXT", dateArg(packets[kExtratoDateIndex], "")});
    batch.dates.push_back({"DTULTATUMCLI", dateArg(packets[kMoviClieDateIndex], "")});
    std::size_t total = 0;
    for (int i = 0; i < kPacketCount; ++i) {
        if (i != kExtratoDateIndex && i != kMoviClieDateIndex) {
            total += packets[i].asPacket().recordCount();
        }
    }
    WorkMemory memory(caller);
    memory.expect(total * sizeof(StoredRow));
    batch.rows.reserve(total);
    const std::string database = sourceDatabase(caller, out.store, out.station);
    const SaleReader sales(packets[kSalesIndex].asPacket());
    // Each row is encoded in these and kept in buffers of its exact size.
    Bytes key, content;
    for (int i = 0; i < kPacketCount; ++i) {
        if (i == kExtratoDateIndex || i == kMoviClieDateIndex) continue;
        const PacketView view(tableRules()[i], packets[i].asPacket());
        std::int64_t refused = 0;
        for (std::size_t r = 0; r < view.data().recordCount(); ++r) {
            StoredRow row;
            if (auto reason = view.analyse(r, caller.grant, database, key, content)) {
                // A refused row of an acknowledged table gets its "ERR" verdict
                // from getVerificaExportacao. Rows of the other tables are
                // flagged through the rows they hang on, which would then be
                // confirmed without them: the whole call fails instead.
                if (view.rule().resultIndex >= 0) {
                    ++refused;
                    continue;
                }
                throw BadArguments("row " + std::to_string(r + 1) + " of " +
                                   std::string(view.rule().table) + " (element " +
                                   std::to_string(i) + ") cannot be stored: " + *reason +
                                   "; nothing was stored");
            }
            row.key.assign(key.begin(), key.end());
            row.content.assign(content.begin(), content.end());
            memory.block(key.size());
            memory.block(content.size());
            memory.text(view.rule().table.size());
            if (i == kSalesIndex) {
                if (auto fact = sales.fact(r, row.key)) batch.sales.push_back(std::move(*fact));
            }
            row.table = std::string(view.rule().table);
            batch.rows.push_back(std::move(row));
        }
        if (refused > 0) batch.refusedByTable.emplace_back(view.rule().table, refused);
        out.refused += refused;
    }
    batch.summaries = daySummaries(packets[kDaySummaryIndex].asPacket(), caller.grant);
    out.stored = store_.putBatch(batch);
    out.rows = total;
    out.answer = protocol::successAnswer(Variant(static_cast<std::int64_t>(batch.rows.size())));
}

CallOutcome ApplicationServer::getVerificaExportacao(const Caller& caller,
                                                     const VariantArray& args) {
    expectCount(args, 3, "getVerificaExportacao");
    CallOutcome out;
    identify(caller, out, args);
    const VariantArray& packets = packetArray(args[2]);

    struct Pending {
        std::size_t view, row;
        Bytes content;
    };
    // One view per answered element; result 12 answers two elements.
    std::vector<PacketView> views;
    std::vector<int> resultOfView;
    std::size_t total = 0;
    for (int e = 0; e < kResultCount; ++e) {
        for (int i : resultSources()[e]) {
            views.emplace_back(tableRules()[i], packets[i].asPacket());
            resultOfView.push_back(e);
            total += views.back().data().recordCount();
        }
    }
    // Rows are looked up a chunk at a time, so that only one chunk's keys,
    // contents and stored contents are held at once; every row's verdict is
    // kept for the verdict packets. Each is counted before it is built.
    WorkMemory memory(caller);
    std::vector<std::vector<Verdict>> verdicts(views.size());
    memory.expect(total * sizeof(Verdict));
    constexpr std::size_t kChunk = 16384;
    const std::size_t chunk = std::min(total, kChunk);
    const std::size_t chunkSlots =
        chunk * (sizeof(Bytes) + sizeof(RowRef) + sizeof(Pending) + sizeof(std::optional<Bytes>));
    memory.expect(chunkSlots);
    std::vector<Bytes> keys;
    std::vector<Pending> pending;
    std::vector<RowRef> refs;
    keys.reserve(chunk);  // refs point into keys: no reallocation within a chunk
    pending.reserve(chunk);
    refs.reserve(chunk);
    const std::string database = sourceDatabase(caller, out.store, out.station);
    Bytes key, content;
    std::size_t keyBytes = 0, chunkBytes = 0, contentBytes = 0;
    constexpr std::string_view kNotStored = "row not stored on the server";
    constexpr std::string_view kDiffers = "the stored row differs from this one";
    auto lookUp = [&] {
        if (pending.empty()) return;
        // The stored contents come back about as large as those sent.
        memory.expect(contentBytes);
        auto stored = store_.getContents(refs);
        for (std::size_t k = 0; k < pending.size(); ++k) {
            Verdict& v = verdicts[pending[k].view][pending[k].row];
            if (!stored[k]) {
                v = {kVerdictMissing, std::string(kNotStored)};
                memory.text(kNotStored.size());
            } else if (*stored[k] != pending[k].content) {
                v = {kVerdictChanged, std::string(kDiffers)};
                memory.text(kDiffers.size());
            } else {
                v = {kVerdictOk, ""};
            }
        }
        stored.clear();
        refs.clear();
        pending.clear();
        keys.clear();
        memory.release(chunkBytes + 2 * contentBytes);  // sent and stored contents
        chunkBytes = contentBytes = 0;
    };
    for (std::size_t v = 0; v < views.size(); ++v) {
        const PacketView& view = views[v];
        verdicts[v].resize(view.data().recordCount());
        for (std::size_t r = 0; r < view.data().recordCount(); ++r) {
            if (auto reason = view.analyse(r, caller.grant, database, key, content)) {
                memory.text(reason->size());
                verdicts[v][r] = {kVerdictRefused, std::move(*reason)};
                continue;
            }
            keys.emplace_back(key.begin(), key.end());
            refs.push_back({view.rule().table, keys.back()});
            pending.push_back({v, r, Bytes(content.begin(), content.end())});
            keyBytes += key.size() + kHeapBlockOverhead;
            chunkBytes += key.size() + kHeapBlockOverhead;
            contentBytes += content.size() + kHeapBlockOverhead;
            memory.add(key.size() + content.size() + 2 * kHeapBlockOverhead);
            if (pending.size() == chunk) lookUp();
        }
    }
    lookUp();
    freeVector(refs);
    freeVector(pending);
    freeVector(keys);
    memory.release(chunkSlots);
    // Each verdict row: its vector of values and the text of its keys.
    std::size_t verdictRows = 0;
    for (std::size_t v = 0; v < views.size(); ++v) {
        const TableRule& rule = views[v].rule();
        const std::size_t n = views[v].data().recordCount();
        const std::size_t values = rule.verdictKeys.size() + rule.echoed.size() + 2;
        verdictRows += n * (sizeof(Row) + kHeapBlockOverhead + values * sizeof(Variant));
    }
    memory.expect(verdictRows + keyBytes);
    VariantArray results;
    results.reserve(kResultCount);
    for (int e = 0; e < kResultCount; ++e) {
        std::vector<const PacketView*> answered;
        std::vector<const std::vector<Verdict>*> lists;
        for (std::size_t v = 0; v < views.size(); ++v) {
            if (resultOfView[v] != e) continue;
            answered.push_back(&views[v]);
            lists.push_back(&verdicts[v]);
        }
        results.emplace_back(PacketView::verdictPacket(answered, lists));
    }
    out.rows = total;
    out.answer = protocol::successAnswer(Variant(std::move(results)));
    return out;
}

CallOutcome ApplicationServer::reportDate(const Caller& caller, const VariantArray& args,
                                          std::string_view name) {
    expectCount(args, 1, name == "DTULTATUEXT" ? "getMinDTULTATUEXT" : "getMaxDTULTATUMCLI");
    CallOutcome out;
    const StationDate date{std::string(name), dateArg(args[0], "the date")};
    // The call names no station. Under credentials it is filed under the
    // credential's database; on an open server under the caller's address.
    // Each station's own dates arrive with its rows (elements 25 and 26 of
    // the packet array) and are filed under the station named there.
    if (caller.grant) {
        out.store = caller.grant->store;
        out.station = caller.grant->database();
    } else {
        out.station = "@" + peerAddress(caller.peer);
    }
    store_.recordDate(out.store, out.station, date, clock_.now());
    out.answer = protocol::successAnswer(Variant(true));
    return out;
}

CallOutcome ApplicationServer::cleanupDue(const Caller& caller, const VariantArray& args,
                                          bool monthly) {
    expectCount(args, 2, monthly ? "getLimpezaMensal" : "getLimpezaDiaria");
    CallOutcome out;
    identify(caller, out, args);
    const auto last = store_.lastCleanup(out.store, out.station);
    bool due = true;
    if (last) {
        const DateTimeParts l = last->parts();
        const DateTimeParts t = clock_.today().parts();
        if (monthly) {
            due = l.year != t.year || l.month != t.month;
        } else if (cleanupEveryMinutes_ > 0) {
            // A last cleanup in the future was recorded on a clock that has
            // since been set back: waiting for it would skip cleanups.
            const DateTime now = clock_.now();
            due = now >= last->addMinutes(cleanupEveryMinutes_) || now < *last;
        } else {
            due = last->date() != clock_.today();
        }
    }
    out.answer = protocol::successAnswer(Variant(due));
    return out;
}

CallOutcome ApplicationServer::setDtUltimaLimpeza(const Caller& caller, const VariantArray& args) {
    expectCount(args, 2, "setDtUltimaLimpeza");
    CallOutcome out;
    identify(caller, out, args);
    store_.recordCleanup(out.store, out.station, clock_.now());
    out.answer = protocol::successAnswer(Variant(true));
    return out;
}

CallOutcome ApplicationServer::getShortDays(const Caller& caller, const VariantArray& args) {
    if (args.size() != 2 && args.size() != 3) expectCount(args, 3, "getShortDays");
    CallOutcome out;
    identify(caller, out, args);
    std::int64_t days = kShortDaysDefault;
    if (args.size() == 3 && !args[2].isEmpty()) {
        const auto* n = args[2].get<std::int64_t>();
        if (!n)
            throw BadArguments("the number of days must be an integer, not " +
                               std::string(kindName(args[2].kind())));
        if (*n < 1 || *n > kShortDaysMost) {
            throw BadArguments("the number of days must be from 1 to " +
                               std::to_string(kShortDaysMost) + ", not " + std::to_string(*n));
        }
        days = *n;
    }
    const DateTime now = clock_.now();
    const DateTime since = now.date().addDays(-static_cast<double>(days - 1));
    const auto shortDays = store_.findShortDays(out.store, out.station, since, now);
    out.rows = shortDays.size();
    out.answer = protocol::successAnswer(Variant(shortDaysPacket(shortDays)));
    return out;
}

CallOutcome ApplicationServer::recordRequest(const Caller& caller, const VariantArray& args,
                                             std::string_view kind, bool withArgument) {
    expectCount(args, withArgument ? 3 : 2,
                withArgument ? "setAjusteDiferencas" : "setAtualizaPontuacao");
    CallOutcome out;
    identify(caller, out, args);
    const std::string argument = withArgument ? codeArg(args, 2, "DTMOVCAT52") : std::string();
    const DateTime now = clock_.now();
    store_.recordRequest(kind, out.store, out.station, now.date(), argument, now);
    out.answer = protocol::successAnswer(Variant(true));
    return out;
}

}  // namespace qel::server
