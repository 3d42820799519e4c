#!/usr/bin/env bash
# Idle agent between cycles: resident memory and CPU time over 60 idle
# seconds of a real QelExp (a harness, not a test: it reports figures).
#   bench/agent_idle.sh BUILD_DIR [SECONDS]
set -euo pipefail
build=${1:-build}
seconds=${2:-60}
work=$(mktemp -d /tmp/qelexp-idle.XXXXXX)
agent=""
trap '[ -n "$agent" ] && kill -TERM "$agent" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT

"$build/tools/simulator/qelexp-simulator" --db "$work/QELCAIXA.db" --stations 1 --days 1 \
    --sales-per-day 1000 --pending 0 --quiet >/dev/null
cat > "$work/registry.conf" <<CONF
[HKEY_LOCAL_MACHINE\\Software\\MORADEX\\Sistemas Integrados Moradex\\Orbel]
StringConexao = Provider=SQLite;Initial Catalog=QELCAIXA;Data Source=$work
CONF
cp "$build/src/app/QelExp" "$work/QelExp"
QELEXP_REGISTRY="$work/registry.conf" QELEXP_LOCK_DIR="$work" "$work/QelExp" X_0001_001_01_ &
agent=$!
for _ in $(seq 300); do
    iconv -f WINDOWS-1252 -t UTF-8 "$work"/Dados/Qel_Exp/*.txt 2>/dev/null |
        grep -q "QelExp Executando: Não" && break
    sleep 0.1
done
ticks() { awk '{print $14 + $15}' "/proc/$agent/stat"; }
hz=$(getconf CLK_TCK)
before=$(ticks)
sleep "$seconds"
after=$(ticks)
echo "idle agent after its first cycle (timer 5 minutes), pid $agent:"
grep -E '^(VmRSS|VmHWM|Threads)' "/proc/$agent/status"
echo "CPU time over $seconds idle seconds: $(( (after - before) * 1000 / hz )) ms"
