#pragma once

#include <atomic>
#include <mutex>

#include "core/clock.h"

namespace qel::app {

// What the main thread and the watchdog thread share. Each value is read
// and written whole, so a time is never seen half-written; no ordering
// between the values is needed. The two times are moments: the watchdog
// measures how long since on their monotonic reading and logs their wall
// reading.
class SharedState {
  public:
    Moment ultimaAtividade() const { return read(UltimaAtividade); }
    void setUltimaAtividade(Moment value) { write(UltimaAtividade, value); }
    Moment inicioExecucao() const { return read(InicioExecucao); }
    void setInicioExecucao(Moment value) { write(InicioExecucao, value); }
    bool reiniciarAgora() const { return ReiniciarAgora.load(); }
    void setReiniciarAgora(bool value) { ReiniciarAgora.store(value); }

    // The start-up values: no run yet, both times now.
    void reset(Moment now) {
        QtdExecucoes = 0;
        setUltimaAtividade(now);
        setInicioExecucao(now);
        setReiniciarAgora(false);
    }

    // Agent runs since start; the main thread alone uses it.
    int QtdExecucoes = 0;

  private:
    Moment read(const Moment& value) const {
        std::lock_guard lock(mutex_);
        return value;
    }
    void write(Moment& target, Moment value) {
        std::lock_guard lock(mutex_);
        target = value;
    }

    mutable std::mutex mutex_;
    Moment UltimaAtividade{};                 // time of the last export activity
    Moment InicioExecucao{};                  // start of the current running period
    std::atomic<bool> ReiniciarAgora{false};  // the watchdog asks the main thread to restart
};

}  // namespace qel::app
