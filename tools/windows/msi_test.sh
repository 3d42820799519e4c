#!/usr/bin/env bash
# QelExp.msi under Wine, as a fleet tool uses it: a silent install with the
# station's registry values as properties, the agent started as the
# point-of-sale program starts it exporting to the Linux server, an upgrade
# to a newer build keeping the values and the run log, and an uninstall that
# removes the program and leaves the run log.
#   tools/windows/msi_test.sh BUILD_FOLDER
# Runs in tools/windows/run_tests.sh's environment: its Wine prefix, and the
# Linux server and simulator named by QELEXP_TEST_SERVER,
# QELEXP_TEST_SERVER_DB and QELEXP_LINUX_BUILD.
set -euo pipefail
build=$(cd "${1:?usage: msi_test.sh BUILD_FOLDER}" && pwd)
: "${WINEPREFIX:?run from tools/windows/run_tests.sh}" "${QELEXP_TEST_SERVER:?no Linux server}"
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'wine taskkill /F /IM QelExp.exe >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
winpath() { echo "Z:${1//\//\\}"; }
key='HKLM\Software\MORADEX\Sistemas Integrados Moradex\Orbel'
folder="$WINEPREFIX/drive_c/QelExp"
store=0715  # a store of its own, told apart from the other tests' rows

value() {  # the registry value as the agent reads it (32-bit view), or nothing
    wine reg query "$key" /v "$1" /reg:32 2>/dev/null | tr -d '\r' |
        sed -n "s/^ *$1 *REG_SZ *//p"
}
msiexec() {  # arguments...; the log goes to $work/msiexec.log
    wine msiexec "$@" /qn /l*v "$(winpath "$work/msiexec.log")" >/dev/null 2>&1 ||
        { iconv -f UTF-16LE -t UTF-8 "$work/msiexec.log" 2>/dev/null | tail -40; fail "msiexec $*"; }
    wineserver -w
}
held() {  # rows of the store the server holds, read from a copy
    cp "$QELEXP_TEST_SERVER_DB" "$work/central.db"
    [ -f "$QELEXP_TEST_SERVER_DB-wal" ] && cp "$QELEXP_TEST_SERVER_DB-wal" "$work/central.db-wal"
    sqlite3 "$work/central.db" "SELECT COUNT(*) FROM export_row WHERE store = '$store'"
}

version=$(msiinfo export "$build/QelExp.msi" Property | tr -d '\r' | sed -n 's/^ProductVersion\t//p')
newer="${version%.*}.$(( ${version##*.} + 1 ))"
"$here/build_msi.sh" "$build" "$newer" "$work/QelExp-newer.msi" >/dev/null

echo "msi: install $version silently with the station's values"
msiexec /i "$(winpath "$build/QelExp.msi")" IPSERVER="$QELEXP_TEST_SERVER" \
    STRINGCONEXAO="Provider=SQLite;Initial Catalog=QELCAIXA;Data Source=C:\\QelExp" \
    SERVERREADTIMEOUT=300
[ -f "$folder/QelExp.exe" ] || fail "QelExp.exe not installed in C:\\QelExp"
[ "$(value IPServer)" = "$QELEXP_TEST_SERVER" ] || fail "IPServer is '$(value IPServer)'"
[ "$(value StringConexao)" = 'Provider=SQLite;Initial Catalog=QELCAIXA;Data Source=C:\QelExp' ] ||
    fail "StringConexao is '$(value StringConexao)'"
[ -z "$(value ServerCredential)" ] || fail "an empty property wrote ServerCredential"

echo "msi: the agent, started as the point-of-sale program starts it, exports"
"${QELEXP_LINUX_BUILD:-build}/tools/simulator/qelexp-simulator" --db "$folder/QELCAIXA.db" \
    --store "$store" --stations 1 --days 1 --sales-per-day 20 --pending 20 --seed 15 --quiet
shop=$(sqlite3 "$folder/QELCAIXA.db" "SELECT CDLOJA FROM CAIXA WHERE CDCAIXA = '001'")
(cd "$folder" && wine 'C:\QelExp\QelExp.exe' "X_${store}_001_${shop}_" >/dev/null 2>&1 &)
for _ in $(seq 600); do
    grep -qa "realizada pelo QelExp" "$folder"/Dados/Qel_Exp/*.txt 2>/dev/null && break
    sleep 0.5
done
grep -qa "realizada pelo QelExp" "$folder"/Dados/Qel_Exp/*.txt 2>/dev/null || fail "no export cycle ended"
sent=$(sqlite3 "$folder/QELCAIXA.db" "SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA = 'S'")
[ "$sent" -gt 0 ] || fail "no sale sent"
[ "$(held)" -gt 0 ] || fail "the server holds no row of store $store"
wine taskkill /F /IM QelExp.exe >/dev/null 2>&1 || true
wineserver -w
logs=$(ls "$folder"/Dados/Qel_Exp/)

echo "msi: upgrade to $newer keeps the values and the run log"
msiexec /i "$(winpath "$work/QelExp-newer.msi")" SERVERCREDENTIAL=station-token
[ "$(value IPServer)" = "$QELEXP_TEST_SERVER" ] || fail "the upgrade lost IPServer"
[ -n "$(value StringConexao)" ] || fail "the upgrade lost StringConexao"
[ "$(value ServerReadTimeout)" = 300 ] || fail "the upgrade lost ServerReadTimeout"
[ "$(value ServerCredential)" = station-token ] || fail "the upgrade did not write ServerCredential"
[ -f "$folder/QelExp.exe" ] || fail "QelExp.exe missing after the upgrade"
[ "$(ls "$folder"/Dados/Qel_Exp/)" = "$logs" ] || fail "the upgrade changed the run logs"
# In place: one QelExp in the list of installed programs, the newer one.
installed=$(wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /reg:32 \
    2>/dev/null | tr -d '\r')
products=$(grep -c 'DisplayName *REG_SZ *QelExp$' <<<"$installed" || true)
[ "$products" = 1 ] || fail "$products QelExp products installed after the upgrade (expected 1)"
grep -q "DisplayVersion *REG_SZ *$newer\$" <<<"$installed" || fail "the installed version is not $newer"

echo "msi: uninstall removes the program and leaves the run log"
msiexec /x "$(winpath "$work/QelExp-newer.msi")"
[ ! -e "$folder/QelExp.exe" ] || fail "QelExp.exe left after uninstall"
[ "$(ls "$folder"/Dados/Qel_Exp/)" = "$logs" ] || fail "uninstall removed the run logs"
echo "msi: OK"
