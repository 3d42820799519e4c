#include "app/crash_watcher.h"

#include <cctype>

#include "core/text.h"

namespace qel::app {
namespace {

// The statement's first word, upper-case.
std::string firstWord(std::string_view sql) {
    std::size_t i = 0;
    while (i < sql.size() && std::isspace(static_cast<unsigned char>(sql[i]))) ++i;
    std::size_t j = i;
    while (j < sql.size() && std::isalpha(static_cast<unsigned char>(sql[j]))) ++j;
    return text::upper(sql.substr(i, j - i));
}

}  // namespace

CrashWatcher::CrashWatcher(CrashPlan plan, std::function<void(CrashPoint, std::int64_t)> reached)
    : plan_(plan), reached_(std::move(reached)) {}

void CrashWatcher::install(agent::TdtmExportaVenda& dm) {
    dm.adcCaixa.setBeforeStatement(
        [this, &dm](std::string_view sql) { onStatement(sql, dm.adcCaixa.inTransaction()); });
    auto onCall = [this](std::string_view method) { onServerCall(method); };
    dm.net.netInsereServidor.BeforeCall = onCall;
    dm.net.netAjuste.BeforeCall = onCall;
    dm.net.netAtualizaPontuacao.BeforeCall = onCall;
    dm.transactionHook = [this](agent::TransactionStep step) { onTransaction(step); };
}

std::int64_t CrashWatcher::arrivals(CrashPoint point) const {
    return arrivals_[static_cast<int>(point)];
}

void CrashWatcher::arrive(CrashPoint point) {
    const std::int64_t n = ++arrivals_[static_cast<int>(point)];
    if (point == plan_.point && n == plan_.occurrence) reached_(point, n);
}

void CrashWatcher::onServerCall(std::string_view method) {
    if (method == "getVerificaExportacao") {
        stretch_ = Stretch::Acknowledging;
    } else if (method == "getLimpezaDiaria" || method == "getLimpezaMensal") {
        stretch_ = Stretch::CleanupDue;
    } else {
        stretch_ = Stretch::Other;
    }
}

void CrashWatcher::onStatement(std::string_view sql, bool inTransaction) {
    if (!inTransaction) {
        // The acknowledgement routines run back to back, each wholly inside
        // its transaction: a statement outside one means they are over.
        if (stretch_ == Stretch::Acknowledging) stretch_ = Stretch::Other;
        return;
    }
    if (transaction_ == Kind::Other) return;
    if (wrote_ && !duringReached_) {
        duringReached_ = true;
        arrive(transaction_ == Kind::Cleanup ? CrashPoint::Cleanup : CrashPoint::AckDuring);
    }
    const std::string verb = firstWord(sql);
    if (transaction_ == Kind::Cleanup
            ? verb == "DELETE"
            : (verb == "UPDATE" || verb == "DELETE" || verb == "INSERT")) {
        wrote_ = true;
    }
}

void CrashWatcher::onTransaction(agent::TransactionStep step) {
    switch (step) {
        case agent::TransactionStep::BeforeBegin:
            wrote_ = duringReached_ = false;
            transaction_ = stretch_ == Stretch::Acknowledging ? Kind::Acknowledgement
                           : stretch_ == Stretch::CleanupDue  ? Kind::Cleanup
                                                              : Kind::Other;
            if (transaction_ == Kind::Cleanup) stretch_ = Stretch::Other;
            if (transaction_ == Kind::Acknowledgement) arrive(CrashPoint::AckBefore);
            break;
        case agent::TransactionStep::BeforeCommit:
            // A transaction whose last statement was its first change.
            if (wrote_ && !duringReached_ && transaction_ != Kind::Other) {
                duringReached_ = true;
                arrive(transaction_ == Kind::Cleanup ? CrashPoint::Cleanup : CrashPoint::AckDuring);
            }
            break;
        case agent::TransactionStep::AfterCommit:
            if (transaction_ == Kind::Acknowledgement) arrive(CrashPoint::AckAfter);
            transaction_ = Kind::Other;
            break;
    }
}

}  // namespace qel::app
