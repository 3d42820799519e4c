#pragma once

#include <atomic>

#include "core/datetime.h"

namespace qel::app {

// What the main thread and the watchdog thread share. Each value is read
// and written atomically, so a date-time is never seen half-written; no
// ordering between the values is needed.
class SharedState {
  public:
    DateTime ultimaAtividade() const { return DateTime(UltimaAtividade.load()); }
    void setUltimaAtividade(DateTime value) { UltimaAtividade.store(value.value()); }
    DateTime inicioExecucao() const { return DateTime(InicioExecucao.load()); }
    void setInicioExecucao(DateTime value) { InicioExecucao.store(value.value()); }
    bool reiniciarAgora() const { return ReiniciarAgora.load(); }
    void setReiniciarAgora(bool value) { ReiniciarAgora.store(value); }

    // The start-up values: no run yet, both times now.
    void reset(DateTime now) {
        QtdExecucoes = 0;
        setUltimaAtividade(now);
        setInicioExecucao(now);
        setReiniciarAgora(false);
    }

    // Agent runs since start; the main thread alone uses it.
    int QtdExecucoes = 0;

  private:
    std::atomic<double> UltimaAtividade{0.0};  // time of the last export activity
    std::atomic<double> InicioExecucao{0.0};   // start of the current running period
    std::atomic<bool> ReiniciarAgora{false};   // the watchdog asks the main thread to restart
};

}  // namespace qel::app
