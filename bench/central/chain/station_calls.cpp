#include "station_calls.h"

#include "contracts/net/request_body.h"
#include "core/dataset.h"
#include "protocol/codec.h"

namespace qel::chain {
namespace {

constexpr std::string_view kExportObject = "Exp.rdmInsereServidor";

WireCall wireCall(std::string_view method, const VariantArray& args,
                  const net::EncodedArgument* last) {
    net::RequestBody body = net::requestBody(kExportObject, method, args, last, true);
    return {"/call/" + std::string(kExportObject) + "/" + std::string(method), std::move(body.data),
            body.gzipped};
}

}  // namespace

TransferCalls transferCalls(const VariantArray& packets, const StationId& station) {
    TransferCalls calls;
    for (const Variant& p : packets) {
        if (p.isPacket()) calls.rows += static_cast<std::int64_t>(p.asPacket().recordCount());
    }
    const net::EncodedArgument encoded(protocol::encode(Variant(packets)));
    calls.insert = wireCall(
        "setInsereServidor",
        {Variant(station.store), Variant(station.station), Variant(station.shop)}, &encoded);
    calls.verify = wireCall("getVerificaExportacao",
                            {Variant(station.store), Variant(station.station)}, &encoded);
    return calls;
}

DateCalls dateCalls(DateTime extractDate, DateTime customerDate) {
    return {wireCall("getMinDTULTATUEXT", {Variant(extractDate)}, nullptr),
            wireCall("getMaxDTULTATUMCLI", {Variant(customerDate)}, nullptr)};
}

std::vector<TransferCalls> stationTransfers(const RecordedTransfers& recorded, const StationId& to,
                                            std::size_t count) {
    std::vector<TransferCalls> out;
    count = std::min(count, recorded.packets.size());
    out.reserve(count);
    for (std::size_t t = 0; t < count; ++t) {
        out.push_back(transferCalls(asStation(recorded.packets[t], recorded.station, to), to));
    }
    return out;
}

}  // namespace qel::chain
