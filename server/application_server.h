#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "central_store.h"
#include "core/clock.h"
#include "credentials.h"
#include "memory_budget.h"
#include "protocol/codec.h"

namespace qel::server {

// The three server objects the agent calls.
inline constexpr std::string_view kExportObject = "Exp.rdmInsereServidor";
inline constexpr std::string_view kAdjustObject = "AJU.rdmAjusteDiferencas";
inline constexpr std::string_view kLoyaltyObject = "FID.rdmAtualizaPontuacao";

// A request the server will not dispatch: unknown object or method (404),
// or a caller acting for a station its credential does not cover (403).
class CallRejected : public ServerError {
  public:
    CallRejected(int status, const std::string& message) : ServerError(message), status_(status) {}
    int status() const { return status_; }

  private:
    int status_;
};

// Who is calling: the connection it came on, and its credential's grant when
// the server requires credentials (null otherwise).
struct Caller {
    std::string peer;  // "address:port" of the connection
    const StationGrant* grant = nullptr;
    // Told the memory the call's own work (row keys and contents, stored
    // contents, verdict rows) holds beyond its decoded request, before it is
    // allocated and as it grows; throws MemoryBudgetExceeded to stop the call.
    std::function<void(std::size_t)> holding;
};

// What a call did, for the server's log line.
struct CallOutcome {
    Variant answer;  // the envelope
    std::string store;
    std::string station;
    std::size_t rows = 0;
    std::int64_t stored = 0;   // rows a transfer newly stored or changed
    std::int64_t refused = 0;  // rows a transfer could not store
};

// Days a station may ask about at most, and by default, in getShortDays.
inline constexpr std::int64_t kShortDaysDefault = 31;
inline constexpr std::int64_t kShortDaysMost = 3660;

// The server objects and their ten methods, independent of the transport.
// Each method validates its arguments, does its work against the central
// store and answers an envelope; any failure answers [false, message] with
// nothing written. Safe to call from several threads at once.
class ApplicationServer {
  public:
    // Reads the central keys from the station schema now, so that a schema
    // without a key the rules need stops the server at start-up (throws Error).
    ApplicationServer(CentralStore& store, const Clock& clock);

    // Throws CallRejected for an unknown object or method, or a station the
    // caller may not act for; every other failure is a failure envelope.
    CallOutcome call(const Caller& caller, const protocol::Request& request);

    // A lab setting for fault runs: a daily cleanup is due again once the
    // last one is this many minutes old, instead of once per calendar day.
    // 0 (the default) keeps the calendar rule. Set before serving.
    void setCleanupEveryMinutes(double minutes) { cleanupEveryMinutes_ = minutes; }

  private:
    CallOutcome dispatch(const Caller& caller, const protocol::Request& request);
    CallOutcome setInsereServidor(const Caller& caller, const VariantArray& args);
    void storeTransfer(const Caller& caller, const VariantArray& args, CallOutcome& outcome);
    CallOutcome getVerificaExportacao(const Caller& caller, const VariantArray& args);
    CallOutcome reportDate(const Caller& caller, const VariantArray& args, std::string_view name);
    CallOutcome cleanupDue(const Caller& caller, const VariantArray& args, bool monthly);
    CallOutcome setDtUltimaLimpeza(const Caller& caller, const VariantArray& args);
    CallOutcome getShortDays(const Caller& caller, const VariantArray& args);
    CallOutcome recordRequest(const Caller& caller, const VariantArray& args, std::string_view kind,
                              bool withArgument);

    // The station a call names, checked against the caller's credential;
    // records the call as the station's last contact unless told not to.
    void identify(const Caller& caller, CallOutcome& outcome, const VariantArray& args,
                  bool recordContact = true);

    CentralStore& store_;
    const Clock& clock_;
    double cleanupEveryMinutes_ = 0;
};

// The station database a call's rows come from, as their central keys name
// it: the credential's database when the server requires credentials (every
// run of one agent uses one credential), else "<CDFILIAL>/<CDCAIXA>" of the
// call.
std::string sourceDatabase(const Caller& caller, std::string_view store, std::string_view station);

}  // namespace qel::server
