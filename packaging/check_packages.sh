#!/usr/bin/env bash
# Builds the Debian packages from a build folder, unpacks them into a
# temporary root and checks what a Linux administrator relies on: the
# programs, the systemd units and the paths they name, the configuration
# files marked as conffiles, and the maintainer scripts that make the users.
#   packaging/check_packages.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log"; fail "cpack failed"; }

check_package() {  # package-glob unit binary conffile...
    local glob=$1 unit=$2 binary=$3; shift 3
    local deb
    deb=$(ls "$work"/out/$glob 2>/dev/null | head -1 || true)
    [ -n "$deb" ] || fail "no package $glob"
    local root="$work/root-$unit" ctl="$work/ctl-$unit"
    dpkg-deb -x "$deb" "$root"
    dpkg-deb -e "$deb" "$ctl"
    echo "checking $(basename "$deb")"
    local unitfile="$root/lib/systemd/system/$unit"
    [ -f "$unitfile" ] || fail "$unit missing"
    grep -q '^\[Install\]' "$unitfile" || fail "$unit has no [Install] section"
    # The program the unit starts is in the package and runs.
    local exec
    exec=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$unitfile")
    [ "$exec" = "$binary" ] || fail "$unit starts $exec, expected $binary"
    [ -x "$root$binary" ] || fail "$binary missing or not executable"
    # The files the unit reads are configuration files kept on upgrade.
    for conf in "$@"; do
        [ -f "$root$conf" ] || fail "$conf missing"
        grep -qx "$conf" "$ctl/conffiles" || fail "$conf is not a conffile"
    done
    for script in postinst prerm postrm; do
        [ -x "$ctl/$script" ] || fail "$script missing"
        sh -n "$ctl/$script" || fail "$script is not valid shell"
    done
    local user
    user=$(sed -n 's/^User=//p' "$unitfile")
    grep -q "adduser --system.* $user >/dev/null" "$ctl/postinst" || fail "postinst does not create $user"
    grep -q '^Depends:.*adduser' "$ctl/control" || fail "no dependency on adduser"
}

check_package 'qelexp-server_*.deb' qelexp-server.service /usr/bin/qelexp-server /etc/qelexp/server.conf
grep -q 'ReadWritePaths=/var/lib/qelexp-server' "$work/root-qelexp-server.service/lib/systemd/system/qelexp-server.service" ||
    fail "the server may not write its data folder"
grep -q 'mkdir -p /var/lib/qelexp-server' "$work/ctl-qelexp-server.service/postinst" ||
    fail "postinst does not make the data folder"
"$work/root-qelexp-server.service/usr/bin/qelexp-server" --help | grep -q -- '--db' ||
    fail "the packaged server does not run"
if grep -q 'qelexp-agent' "$build/CPackConfig.cmake" 2>/dev/null && ls "$work"/out/qelexp-agent_*.deb >/dev/null 2>&1; then
    check_package 'qelexp-agent_*.deb' qelexp-agent.service /opt/qelexp/QelExp \
        /etc/qelexp/agent.conf /etc/qelexp/registry.conf
else
    echo "no agent executable in this build: agent package not checked"
fi
echo "packages OK"
