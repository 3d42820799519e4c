#pragma once

// Lab fault injection: the agent kills itself at the N-th arrival at one
// point of its station transactions (QELEXP_CRASH_AT), so that a test or the
// chaos run can show that a hard kill there loses and falsely flags nothing.

#include <cstdint>
#include <functional>
#include <string_view>

#include "app/lab_settings.h"
#include "export/data_module.h"

namespace qel::app {

// Ends the process at once by SIGKILL (Windows: TerminateProcess), with no
// clean-up of any kind, as a power cut or a task manager would.
[[noreturn]] void killThisProcessHard();

// Follows what the data module does through its hooks alone: the server
// calls, the station statements and the station transactions. A transaction
// begun after the verification call (getVerificaExportacao) and before any
// statement outside a transaction or any other server call is an
// acknowledgement transaction; the one begun after the server said a cleanup
// is due (getLimpezaDiaria / getLimpezaMensal) is the cleanup's.
class CrashWatcher {
  public:
    // `reached` is called at the planned arrival (the agent: log and kill).
    CrashWatcher(CrashPlan plan, std::function<void(CrashPoint, std::int64_t)> reached);

    // Sets the hooks of the data module's station connection, its three
    // server connections and its transactions.
    // REQUIRES: the watcher outlives `dm`'s use of those hooks.
    void install(agent::TdtmExportaVenda& dm);

    void onServerCall(std::string_view method);
    void onStatement(std::string_view sql, bool inTransaction);
    void onTransaction(agent::TransactionStep step);

    // How often each point has been reached so far.
    std::int64_t arrivals(CrashPoint point) const;

  private:
    enum class Stretch { Other, Acknowledging, CleanupDue };
    enum class Kind { Other, Acknowledgement, Cleanup };

    void arrive(CrashPoint point);

    CrashPlan plan_;
    std::function<void(CrashPoint, std::int64_t)> reached_;
    std::int64_t arrivals_[4] = {};
    Stretch stretch_ = Stretch::Other;
    Kind transaction_ = Kind::Other;  // of the transaction open, if any
    bool wrote_ = false;              // the open transaction changed a row
    bool duringReached_ = false;      // its "during" point was reached
};

}  // namespace qel::app
