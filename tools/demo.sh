#!/usr/bin/env bash
# End-to-end demo: a simulated store whose point-of-sale program keeps
# selling, the application server on loopback, and the resident agent QelExp
# exporting station 001 and its associated station 002 cycle after cycle.
#   tools/demo.sh BUILD_DIR
# The demo sets the store's export period (PARAVEND.NRMINEXPVENDA) to one
# minute so that two timer cycles fit in about a minute, and the sales per
# transfer (NRVENDAEXP) to 10 so that the waiting sales cross in both cycles
# (a sale is sent once it is two minutes old); the agent itself runs with its
# normal timer rules.
set -euo pipefail
build=${1:-build}
work=$(mktemp -d /tmp/qelexp-demo.XXXXXX)
pids=()
stop_all() {
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    pids=()
}
trap stop_all EXIT

station_db="$work/QELCAIXA.db"
runlog() { iconv -f WINDOWS-1252 -t UTF-8 "$work"/Dados/Qel_Exp/*.txt 2>/dev/null || true; }
cycles_done() { runlog | grep -c "QelExp Executando: Não" || true; }

echo "== demo folder: $work"
echo "== 1. simulated store 0001: stations 001 and 002 (001 exports for 002), 40 sales waiting each"
"$build/tools/simulator/qelexp-simulator" --db "$station_db" --stores 1 --stations 2 \
    --associated 1 --days 1 --sales-per-day 120 --pending 40 --seed 42 --quiet >/dev/null
sqlite3 "$station_db" "UPDATE PARAVEND SET NRMINEXPVENDA = '1', NRVENDAEXP = '10';"

echo "== 2. point-of-sale program sells live (1 sale every 2 seconds)"
"$build/tools/simulator/qelexp-simulator" --db "$station_db" --live --rate 0.5 --duration 100 \
    --quiet > "$work/simulator.log" 2>&1 &
pids+=($!)

port=""
for p in $(seq 21100 21300); do
    (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || { port=$p; break; }
done
echo "== 3. application server on 127.0.0.1:$port (central store $work/central-store.db)"
"$build/server/qelexp-server" --listen 127.0.0.1 --port "$port" --db "$work/central-store.db" \
    > "$work/server.log" 2>&1 &
pids+=($!)
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
# This demo's agent is an instance of its own: its lock lives in the demo
# folder, and its restarts only touch agents run from that folder.
export QELEXP_LOCK_DIR="$work"
# The agent lives in its station's folder: run log, lastHandle.txt and Pontax.cds are there.
cp "$build/src/app/QelExp" "$work/QelExp"

counts() {
    echo "   station (rows / waiting for export)            server (rows held)"
    local server
    server=$(sqlite3 "$work/central-store.db" \
        "SELECT table_name || '=' || COUNT(*) FROM export_row GROUP BY table_name;" 2>/dev/null || true)
    # Each table with the condition its export selection uses for "not yet sent".
    while read -r table waiting_when; do
        local total waiting held
        total=$(sqlite3 "$station_db" "SELECT COUNT(*) FROM $table;")
        waiting=$(sqlite3 "$station_db" "SELECT COUNT(*) FROM $table WHERE $waiting_when;")
        held=$(echo "$server" | sed -n "s/^$table=//p")
        printf "   %-12s %6s / %-6s                          %s\n" "$table" "$total" "$waiting" "${held:-0}"
    done <<TABLES
VENDA IDIMPVENDA IN ('I','A')
TURCAIXA IDATUTURCAIXA IN ('I','A')
MOVCAIXA IDIMPMOVCAIXA <> 'S'
REDUCAOZ IDIMPREDUCAO <> 'S'
EXTRATOCONS IDIMPEXTRATO <> 'S'
TABLES
}

# Why the sales still waiting wait: open at the till, too young for the
# two-minute age rule, or beyond what this cycle's transfers took.
why_waiting() {
    local young="strftime('%Y-%m-%d %H:%M:%f', 'now', 'localtime', '-2 minutes')"
    sqlite3 -separator ' ' "$station_db" "SELECT
            COALESCE(SUM(IDSITUVENDA = 'P'), 0),
            COALESCE(SUM(IDSITUVENDA <> 'P' AND COALESCE(DTINSERCAO, DTFECHAVENDA) > $young), 0),
            COALESCE(SUM(IDSITUVENDA <> 'P' AND NOT COALESCE(DTINSERCAO, DTFECHAVENDA) > $young), 0)
          FROM VENDA WHERE IDIMPVENDA IN ('I','A');" |
        while read -r open young_sales rest; do
            echo "   sales waiting: $open open at the till (situation P: sent once the till closes them),"
            echo "   $young_sales younger than two minutes (sent from the next cycle on), $rest left for the"
            echo "   next cycle (each transfer takes at most 10 sales in this demo)"
        done || true
}

echo "== before the agent starts:"; counts

echo "== 4. resident agent: $work/QelExp X_0001_001_01_"
"$work/QelExp" X_0001_001_01_ &
agent=$!
pids+=($agent)

for cycle in 1 2; do
    for _ in $(seq 900); do
        [ "$(cycles_done)" -ge "$cycle" ] && break
        sleep 0.1
    done
    echo "== after export cycle $cycle ($(date +%T)):"; counts; why_waiting
done

echo "== 5. stop everything by PID (agent $agent gets SIGTERM: it records the station as stopped)"
stop_all
echo "== run log of the agent ($work/Dados/Qel_Exp):"
runlog | grep -E "FormCreate|Intervalo|Chama BuscaVendas|CAIXA: |DADOS A SEREM|SUCESSO|QelExp Executando|Exportação realizada|FormDestroy|ERRO|Exception" | cut -c1-110
echo "== server log (last lines):"
tail -3 "$work/server.log"
