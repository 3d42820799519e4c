#!/usr/bin/env bash
# Installs the QelExp agent and/or application server with their systemd units.
#   sudo tools/install.sh [--build DIR] [--root DIR] [--no-start] agent|server|all
#     --build DIR   the build folder (default: build)
#     --root DIR    install below DIR instead of / (no users, no systemctl): packaging and tests
#     --no-start    install and enable, but do not start now
# Existing configuration files are kept; executables and units are replaced.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build root="" start=1 what=""
while [ $# -gt 0 ]; do
    case "$1" in
        --build) build=$2; shift 2 ;;
        --root) root=$2; shift 2 ;;
        --no-start) start=0; shift ;;
        agent|server|all) what=$1; shift ;;
        *) sed -n '2,7p' "$0"; exit 2 ;;
    esac
done
[ -n "$what" ] || { sed -n '2,7p' "$0"; exit 2; }

system() { [ -z "$root" ]; }
user() {  # name home
    system || return 0
    id -u "$1" >/dev/null 2>&1 ||
        useradd --system --home-dir "$2" --no-create-home --shell /usr/sbin/nologin "$1"
}
keep_or_write() {  # file, content on stdin: written only when the file is missing
    if [ -e "$1" ]; then cat >/dev/null; echo "   kept $1"; else cat > "$1"; echo "   wrote $1"; fi
}

units="$root/etc/systemd/system"
install -d "$units" "$root/etc/qelexp"

if [ "$what" = agent ] || [ "$what" = all ]; then
    echo "== agent: $root/opt/qelexp/QelExp, unit qelexp-agent.service"
    user qelexp /opt/qelexp
    install -d "$root/opt/qelexp"
    install -m 0755 "$build/src/app/QelExp" "$root/opt/qelexp/QelExp"
    install -m 0644 packaging/systemd/qelexp-agent.service "$units/qelexp-agent.service"
    keep_or_write "$root/etc/qelexp/registry.conf" <<'CONF'
[HKEY_LOCAL_MACHINE\Software\MORADEX\Sistemas Integrados Moradex\Orbel]
; application server: host, or host:port (default port 211)
;IPServer = 192.0.2.10:211
; station database; default: the SQLite file QELCAIXA.db in /opt/qelexp
;StringConexao = Provider=SQLite;Initial Catalog=QELCAIXA;Data Source=/opt/qelexp
CONF
    system && chown -R qelexp:qelexp /opt/qelexp
fi

if [ "$what" = server ] || [ "$what" = all ]; then
    echo "== server: $root/usr/local/bin/qelexp-server, unit qelexp-server.service"
    user qelexp-server /var/lib/qelexp-server
    install -d "$root/usr/local/bin"
    install -m 0755 "$build/server/qelexp-server" "$root/usr/local/bin/qelexp-server"
    install -m 0644 packaging/systemd/qelexp-server.service "$units/qelexp-server.service"
    keep_or_write "$root/etc/qelexp/server.env" <<'CONF'
# Settings of qelexp-server.service (see qelexp-server --help).
QELEXP_SERVER_LISTEN=0.0.0.0
QELEXP_SERVER_PORT=211
# e.g. --cert /etc/qelexp/server.pem --key /etc/qelexp/server.key --credentials /etc/qelexp/stations.txt
QELEXP_SERVER_OPTIONS=
CONF
fi

system || exit 0
systemctl daemon-reload
for unit in agent server; do
    { [ "$what" = "$unit" ] || [ "$what" = all ]; } || continue
    if [ "$start" = 1 ]; then
        systemctl enable --now "qelexp-$unit.service"
    else
        systemctl enable "qelexp-$unit.service"
    fi
done
