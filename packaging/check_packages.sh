#!/usr/bin/env bash
# Builds the Debian packages from a build folder, unpacks them into a
# temporary root and checks what a Linux administrator relies on: the
# programs, the systemd units and the paths they name, the configuration
# files marked as conffiles, and the maintainer scripts that make the users.
# Then installs, upgrades and purges each package with dpkg in another
# temporary root, and has systemd-analyze verify the units when it is here.
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

# Installs a package with dpkg into a temporary root: dpkg unpacks it,
# registers its conffiles and runs its maintainer scripts with their real
# arguments (install, upgrade, purge). The scripts put every path under
# $DPKG_ROOT; the account and service tools they call are stand-ins that
# record the call, so nothing on this machine changes.
make_stand_ins() {
    local shims="$work/stand-ins"
    mkdir -p "$shims"
    for tool in adduser deluser chown systemctl; do
        printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$tool" "$work/calls.log" >"$shims/$tool"
    done
    # getent passwd NAME: found once adduser made it and deluser has not removed it.
    cat >"$shims/getent" <<SHIM
#!/bin/sh
last=\$(grep -E "^(adduser|deluser) .* \$2\\\$" "$work/calls.log" 2>/dev/null | tail -1)
case "\$last" in adduser*) echo "\$2:x:999:999::/:/usr/sbin/nologin" ;; *) exit 2 ;; esac
SHIM
    chmod +x "$shims"/*
    touch "$work/calls.log"
}

in_root() {  # root dpkg-arguments...
    local root=$1; shift
    PATH="$work/stand-ins:$PATH" dpkg --root="$root" --force-script-chrootless --force-not-root \
        --force-depends --force-confold "$@" >>"$work/dpkg.log" 2>&1 ||
        { cat "$work/dpkg.log"; fail "dpkg $* failed"; }
}

install_check() {  # package-glob package user conffile folder...
    local deb package=$2 user=$3 conffile=$4
    deb=$(ls "$work"/out/$1 | head -1)
    shift 4
    local root="$work/dpkg-$package"
    mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
    touch "$root/var/lib/dpkg/status"
    : >"$work/calls.log"
    echo "installing $(basename "$deb") with dpkg --root"
    in_root "$root" -i "$deb"
    dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Status}' "$package" | grep -q "install ok installed" ||
        fail "$package is not installed"
    grep -q "^adduser --system.* $user\$" "$work/calls.log" || fail "install did not create $user"
    for folder in "$@"; do
        [ -d "$root$folder" ] || fail "install did not make $folder"
        grep -q "^chown $user:$user .*$root$folder" "$work/calls.log" || fail "$folder is not given to $user"
    done
    # An upgrade keeps the administrator's configuration and the user.
    echo "# changed by the administrator" >>"$root$conffile"
    in_root "$root" -i "$deb"
    grep -q "changed by the administrator" "$root$conffile" || fail "upgrade replaced $conffile"
    [ "$(grep -c "^adduser" "$work/calls.log")" = 1 ] || fail "upgrade made $user again"
    ! grep -q "^systemctl" "$work/calls.log" || fail "the scripts started services outside the root"
    # Purge removes the configuration, the written folders and the user.
    in_root "$root" --purge "$package"
    [ ! -e "$root$conffile" ] || fail "purge left $conffile"
    for folder in "$@"; do
        [ ! -e "$root$folder" ] || fail "purge left $folder"
    done
    grep -q "^deluser --system $user\$" "$work/calls.log" || fail "purge did not remove $user"
}

# A purge never destroys a chain's data: installs the package again, puts
# data in its folder, purges, and expects the data moved aside under a dated
# name that the purge's output gives; a folder holding only empty things
# (a database without rows) is removed.
purge_keeps_data() {  # package-glob package folder kept-prefix data-file make-data-command
    local deb package=$2 folder=$3 prefix=$4 file=$5 make=$6
    deb=$(ls "$work"/out/$1 | head -1)
    local root="$work/dpkg-$package"
    rm -rf "$root$prefix"-kept-*
    in_root "$root" -i "$deb"
    (cd "$root$folder" && sh -c "$make" sh empty) || fail "cannot make an empty $file"
    in_root "$root" --purge "$package"
    [ ! -e "$root$folder" ] || fail "purge left $folder holding no data"
    ! ls -d "$root$prefix"-kept-* >/dev/null 2>&1 || fail "purge kept a $folder holding no data"
    in_root "$root" -i "$deb"
    (cd "$root$folder" && sh -c "$make" sh full) || fail "cannot make $file"
    : >"$work/dpkg.log"
    in_root "$root" --purge "$package"
    local kept
    kept=$(ls -d "$root$prefix"-kept-* 2>/dev/null | head -1)
    [ -n "$kept" ] || fail "purge of $package destroyed $folder/$file"
    grep -q "kept.*${kept#"$root"}" "$work/dpkg.log" || fail "purge did not say where $folder went"
    find "$kept" -name "$(basename "$file")" -size +0c | grep -q . || fail "$file lost in $kept"
    [ ! -e "$root$folder" ] || fail "purge left $folder after moving it aside"
    echo "purge of $package kept its data as ${kept#"$root"}"
}

# Each unit as systemd reads it, with its program at its place in the
# unpacked tree: unknown keys and bad values are errors here.
verify_unit() {  # root unit-path
    command -v systemd-analyze >/dev/null || { echo "no systemd-analyze: $2 not verified"; return; }
    local copy="$work/verify/$(basename "$2")" out
    mkdir -p "$work/verify"
    sed "s#^ExecStart=\([^ ]*\)#ExecStart=$1\1#" "$1$2" >"$copy"
    out=$(systemd-analyze verify --man=no "$copy" 2>&1) || fail "systemd-analyze verify $2: $out"
    [ -z "$out" ] || fail "systemd-analyze verify $2: $out"
}

make_stand_ins
check_package 'qelexp-server_*.deb' qelexp-server.service /usr/bin/qelexp-server /etc/qelexp/server.conf
grep -q 'ReadWritePaths=/var/lib/qelexp-server' "$work/root-qelexp-server.service/lib/systemd/system/qelexp-server.service" ||
    fail "the server may not write its data folder"
grep -q '^ExecReload=/bin/kill -HUP \$MAINPID' "$work/root-qelexp-server.service/lib/systemd/system/qelexp-server.service" ||
    fail "systemctl reload does not make the server read its credentials again"
[ -f "$work/root-qelexp-server.service/usr/share/qelexp-server/qelexp-server.rules.yml" ] ||
    fail "the alerting rules are not in the package"
verify_unit "$work/root-qelexp-server.service" /lib/systemd/system/qelexp-server.service
install_check 'qelexp-server_*.deb' qelexp-server qelexp-server /etc/qelexp/server.conf /var/lib/qelexp-server
# "empty": a central database with its table and no row; "full": one row.
purge_keeps_data 'qelexp-server_*.deb' qelexp-server /var/lib/qelexp-server /var/lib/qelexp-server \
    central.db 'sqlite3 central.db "CREATE TABLE export_row (k TEXT)"; [ "$1" = full ] &&
                sqlite3 central.db "INSERT INTO export_row VALUES (1)"; true'
"$work/root-qelexp-server.service/usr/bin/qelexp-server" --help | grep -q -- '--db' ||
    fail "the packaged server does not run"
if grep -q 'qelexp-agent' "$build/CPackConfig.cmake" 2>/dev/null && ls "$work"/out/qelexp-agent_*.deb >/dev/null 2>&1; then
    check_package 'qelexp-agent_*.deb' qelexp-agent.service /opt/qelexp/QelExp \
        /etc/qelexp/agent.conf /etc/qelexp/registry.conf
    verify_unit "$work/root-qelexp-agent.service" /lib/systemd/system/qelexp-agent.service
    install_check 'qelexp-agent_*.deb' qelexp-agent qelexp /etc/qelexp/registry.conf \
        /opt/qelexp/Dados/Qel_Exp /opt/qelexp/Dados/Backup_Vendas
    # "empty": an empty run log; "full": a run log with a line.
    purge_keeps_data 'qelexp-agent_*.deb' qelexp-agent /opt/qelexp/Dados /opt/qelexp \
        Qel_Exp/run.log ': >Qel_Exp/run.log; [ "$1" = full ] && echo "FormDestroy" >Qel_Exp/run.log; true'
else
    echo "no agent executable in this build: agent package not checked"
fi
echo "packages OK"
