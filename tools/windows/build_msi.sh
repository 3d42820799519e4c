#!/usr/bin/env bash
# Builds QelExp.msi from a Windows cross-build with wixl (msitools):
#   tools/windows/build_msi.sh BUILD_FOLDER [VERSION] [OUTPUT]
# VERSION defaults to the project's; OUTPUT to BUILD_FOLDER/QelExp.msi.
# wixl writes no component conditions and no permanent components, so each
# registry value's component is given both afterwards with msibuild: the
# value is written only when its property is given, and stays on upgrade and
# uninstall.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?usage: build_msi.sh BUILD_FOLDER [VERSION] [OUTPUT]}" && pwd)
version=${2:-$(sed -n 's/^project(QelExp VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")}
output=${3:-$build/QelExp.msi}
exe=$build/src/app/QelExp.exe
[ -f "$exe" ] || { echo "build_msi.sh: no $exe" >&2; exit 1; }
[ -n "$version" ] || { echo "build_msi.sh: no version" >&2; exit 1; }
# wixl takes a file's source relative to the folder it runs in.
(cd "$(dirname "$exe")" &&
    wixl -D Version="$version" -D Exe=QelExp.exe -o "$output" "$root/packaging/windows/QelExp.wxs")
# msidbComponentAttributesRegistryKeyPath (4) + msidbComponentAttributesPermanent (16).
for pair in IPSERVER:IPServer STRINGCONEXAO:StringConexao SERVERCREDENTIAL:ServerCredential \
    SERVERSCHEME:ServerScheme SERVERCONNECTTIMEOUT:ServerConnectTimeout \
    SERVERREADTIMEOUT:ServerReadTimeout SERVERCOMPRESSION:ServerCompression; do
    msibuild "$output" -q "UPDATE Component SET Condition = '${pair%%:*}', Attributes = 20 \
WHERE Component = 'Value${pair#*:}'"
done
# The properties a silent install passes on to the installation itself.
msibuild "$output" -q "UPDATE Property SET Value = 'IPSERVER;STRINGCONEXAO;SERVERCREDENTIAL;\
SERVERSCHEME;SERVERCONNECTTIMEOUT;SERVERREADTIMEOUT;SERVERCOMPRESSION;INSTALLDIR;\
WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED' WHERE Property = 'SecureCustomProperties'"
# Every value component must now be conditional and permanent.
conditional=$(msiinfo export "$output" Component | awk -F'\t' '$4 == 20 && $5 != ""' | wc -l)
[ "$conditional" = 7 ] || { echo "build_msi.sh: $conditional of 7 values made conditional" >&2; exit 1; }
echo "$output ($version)"
