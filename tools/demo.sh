#!/usr/bin/env bash
# End-to-end demo: a simulated station, the application server on loopback,
# and the agent exporting the station's pending data to it.
#   tools/demo.sh BUILD_DIR
set -euo pipefail
build=${1:-build}
work=$(mktemp -d /tmp/qelexp-demo.XXXXXX)
server_pid=""
cleanup() { [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null; wait 2>/dev/null || true; }
trap cleanup EXIT

echo "== demo folder: $work"
echo "== 1. simulated station: 1 store, 2 stations, 2 days of 200 sales, 30 pending per station"
"$build/tools/simulator/qelexp-simulator" --db "$work/QELCAIXA.db" --central "$work/CENTRAL.db" \
    --stores 1 --stations 2 --days 2 --sales-per-day 200 --pending 30 --seed 42 --quiet

# A free loopback port for the server.
port=""
for p in $(seq 21100 21300); do
    (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || { port=$p; break; }
done
echo "== 2. application server on 127.0.0.1:$port (central store $work/central-store.db)"
"$build/server/qelexp-server" --listen 127.0.0.1 --port "$port" --db "$work/central-store.db" \
    > "$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 50); do
    curl -sf "http://127.0.0.1:$port/health" >/dev/null 2>&1 && break
    sleep 0.1
done

cat > "$work/registry.conf" <<CONF
[HKEY_LOCAL_MACHINE\\Software\\MORADEX\\Sistemas Integrados Moradex\\Orbel]
IPServer = 127.0.0.1:$port
StringConexao = Provider=SQLite;Initial Catalog=QELCAIXA;Data Source=$work
CONF
export QELEXP_REGISTRY="$work/registry.conf"

pending() {
    sqlite3 "$work/QELCAIXA.db" \
        "SELECT CDCAIXA || ': ' || COUNT(*) FROM VENDA WHERE IDIMPVENDA IN ('I','A') AND IDSITUVENDA <> 'P' GROUP BY CDCAIXA;"
}
echo "== pending sales before:"; pending

for station in 001 002; do
    echo "== 3. agent exports station $station"
    "$build/tools/demo/qelexp-export-once" --store 0001 --station "$station" --shop 01 --folder "$work"
done

echo "== pending sales after:"; pending
echo "== rows in the central store:"
sqlite3 "$work/central-store.db" "SELECT name FROM sqlite_master WHERE type='table';" | head -5
echo "== last lines of the run log ($work/Dados/Qel_Exp):"
iconv -f WINDOWS-1252 -t UTF-8 "$work"/Dados/Qel_Exp/*.txt | tail -25
echo "== server log (last lines):"
tail -5 "$work/server.log"
