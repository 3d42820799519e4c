#!/usr/bin/env bash
# The install script puts the executables, units and configuration in place,
# and keeps a configuration that is already there.
set -euo pipefail
source_dir=$1 build_dir=$2
root=$(mktemp -d /tmp/qel_install.XXXXXX)
trap 'rm -rf "$root"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$source_dir/tools/install.sh" --build "$build_dir" --root "$root" all >/dev/null
[ -x "$root/opt/qelexp/QelExp" ] || fail "agent executable"
[ -x "$root/usr/local/bin/qelexp-server" ] || fail "server executable"
grep -q '^Environment=QELEXP_SUPERVISOR=systemd$' "$root/etc/systemd/system/qelexp-agent.service" ||
    fail "agent unit does not let systemd restart the agent"
grep -q '^Restart=on-failure$' "$root/etc/systemd/system/qelexp-agent.service" || fail "agent restart policy"
grep -q '^ExecStart=/usr/local/bin/qelexp-server ' "$root/etc/systemd/system/qelexp-server.service" ||
    fail "server unit"
grep -q 'Sistemas Integrados Moradex' "$root/etc/qelexp/registry.conf" || fail "registry template"

echo "IPServer = 10.0.0.1" >> "$root/etc/qelexp/registry.conf"
"$source_dir/tools/install.sh" --build "$build_dir" --root "$root" agent >/dev/null
grep -q '^IPServer = 10.0.0.1$' "$root/etc/qelexp/registry.conf" || fail "configuration overwritten"
echo "install script: ok"
