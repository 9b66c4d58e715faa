#!/usr/bin/env bash
# Builds what a technician installs and checks it as they would meet it: the Debian package
# (lintian, its fields and files, the installed programs run from a scratch root) and the
# Windows zip (its files, the programs' DLL imports and version resources).
# Usage: check-packages.sh [NATIVE_BUILD_DIR [WINDOWS_BUILD_DIR]]   (build/native, build/windows)
# Both build directories must be configured already. Exits non-zero on the first fault found.
set -euo pipefail
cd "$(dirname "$0")/.."
export LC_ALL=C

native_dir=${1:-build/native}
windows_dir=${2:-build/windows}
run_limit=120  # seconds for any one run of an installed program, so that a hang fails the check

fail() {
    echo "check-packages: $*" >&2
    exit 1
}
for tool in lintian dpkg-deb unzip x86_64-w64-mingw32-objdump strings timeout; do
    command -v "$tool" >/dev/null \
        || fail "'$tool' is not installed (scripts/install-deps.sh installs it)"
done
for dir in "$native_dir" "$windows_dir"; do
    [ -f "$dir/CMakeCache.txt" ] || fail "$dir is not a configured build directory"
done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/ptz-packages.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# The version a build directory was configured with, from its generated header.
built_version() {
    sed -n 's/^#define PTZ_VERSION "\(.*\)"$/\1/p' "$1/generated/ptz_version.h"
}

# Builds the package target and prints the one package it made (older ones are removed first,
# so that a package of an earlier version cannot pass for this one).
build_package() {
    local dir=$1 pattern=$2 made
    mkdir -p "$dir/packages"
    find "$dir/packages" -maxdepth 1 -name "$pattern" -delete
    cmake --build "$dir" --target package >"$scratch/cpack.log" 2>&1 \
        || { cat "$scratch/cpack.log" >&2; fail "building the package in $dir failed"; }
    mapfile -t made < <(find "$dir/packages" -maxdepth 1 -name "$pattern")
    if [ "${#made[@]}" -ne 1 ]; then
        fail "expected one $pattern in $dir/packages, found: ${made[*]}"
    fi
    echo "${made[0]}"
}

# --- Debian package ---------------------------------------------------------------------------
deb=$(build_package "$native_dir" 'ptz-upgrade_*.deb')
version=$(built_version "$native_dir")
echo "Debian package: $deb"

lintian --fail-on error "$deb" \
    || fail "lintian reports errors on $deb"

[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] \
    || fail "the package's version $(dpkg-deb -f "$deb" Version) is not the build's $version"
[ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || fail "the package names no maintainer"
depends=$(dpkg-deb -f "$deb" Depends)
for package in $(echo "$depends" | tr ',' '\n' | sed 's/(.*)//; s/ //g'); do
    case $package in
        # libgcrypt20: the SHA-256 of the images in ptz-upgrade's fleet report.
        libc6 | libgcc-s1 | libstdc++6 | libgcrypt20) ;;
        *) fail "unexpected dependency '$package' (Depends: $depends)" ;;
    esac
done
echo "$depends" | grep -q libc6 || fail "Depends lacks libc6: '$depends'"

dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\./|/|' >"$scratch/deb-files"
for file in /usr/bin/ptz-upgrade /usr/bin/ptz-headsim \
    /usr/share/man/man1/ptz-upgrade.1.gz /usr/share/man/man1/ptz-headsim.1.gz \
    /usr/share/doc/ptz-upgrade/README.md /usr/share/doc/ptz-upgrade/copyright \
    /usr/share/doc/ptz-upgrade/changelog.gz; do
    grep -qx "$file" "$scratch/deb-files" || fail "$deb lacks $file"
done

root=$scratch/root
dpkg -x "$deb" "$root"
for program in ptz-upgrade ptz-headsim; do
    reported=$(timeout "$run_limit" "$root/usr/bin/$program" --version) || true
    [ "$reported" = "$program $version" ] \
        || fail "installed $program --version says '$reported', expected '$program $version'"
done
# Two frames' worth of deterministic bytes, through the built-in simulated head.
{ yes "ptz-upgrade package check" || true; } | head -c 5000 >"$scratch/image.bin"
timeout "$run_limit" "$root/usr/bin/ptz-upgrade" --port sim --quiet "$scratch/image.bin" \
    || fail "installed ptz-upgrade --port sim failed with status $?"

# The manual pages come from --help; what is written by hand beside it must stay complete.
for program in ptz-upgrade ptz-headsim; do
    zcat "$root/usr/share/man/man1/$program.1.gz" | sed 's/\\-/-/g' >"$scratch/$program.1"
    for option in $("$root/usr/bin/$program" --help | grep -o -- '--[a-z][a-z0-9-]*' | sort -u); do
        grep -q -- "$option" "$scratch/$program.1" \
            || fail "the manual page of $program does not mention $option"
    done
done
# The exit statuses come from --help's list into a section of their own.
sed -n '/^\.SS "Exit status/,/^\.S[HS]/p' "$scratch/ptz-upgrade.1" >"$scratch/exit-statuses"
sed -n 's/^constexpr int k[A-Za-z]* = \([0-9]*\);.*/\1/p' src/cli/exit_status.h \
    | while read -r status; do
        grep -qx "$status" "$scratch/exit-statuses" \
            || fail "exit status $status (src/cli/exit_status.h) is missing from the manual page"
    done
for text in dialout /dev/serial/by-id; do
    grep -q "$text" "$scratch/ptz-upgrade.1" || fail "the manual page does not mention $text"
done

# --- Windows zip ------------------------------------------------------------------------------
zip=$(build_package "$windows_dir" 'ptz-upgrade-*-win64.zip')
windows_version=$(built_version "$windows_dir")
echo "Windows zip: $zip"
if [ "$windows_version" != "$version" ]; then
    echo "check-packages: note: the builds were configured at different commits" \
        "($version, $windows_version)"
fi

expected=(LICENSE.txt README.txt ptz-upgrade.exe)
if cmake --build "$windows_dir" --target help | grep -Eq '^(\.\.\. )?PtzUpgrade(:|$)'; then
    expected+=(PtzUpgrade.exe)
else
    echo "check-packages: note: no PtzUpgrade target in $windows_dir; the zip is checked without it"
fi
unzip -Z1 "$zip" | grep -v '/$' | sed 's|^[^/]*/||' | sort >"$scratch/zip-files"
printf '%s\n' "${expected[@]}" | sort >"$scratch/zip-expected"
diff -u "$scratch/zip-expected" "$scratch/zip-files" \
    || fail "the zip's files differ from the expected ones (- missing, + unexpected)"

unzip -q "$zip" -d "$scratch/zip"
# What every Windows has; anything else would have to ship beside the .exe.
printf '%s\n' advapi32.dll bcrypt.dll cfgmgr32.dll comctl32.dll comdlg32.dll gdi32.dll imm32.dll \
    kernel32.dll msvcrt.dll ole32.dll oleaut32.dll setupapi.dll shell32.dll shlwapi.dll \
    user32.dll uxtheme.dll version.dll winmm.dll ws2_32.dll >"$scratch/system-dlls"
while IFS= read -r -d '' exe; do
    name=$(basename "$exe")
    dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr '[:upper:]' '[:lower:]')
    [ -n "$dlls" ] || fail "$name: no imports found"
    for dll in $dlls; do
        grep -qx "$dll" "$scratch/system-dlls" \
            || fail "$name imports $dll, which a clean Windows does not have"
    done
    for field in FileVersion ProductVersion; do
        value=$(strings -el "$exe" | grep -A1 -x "$field" | sed -n 2p) || true
        [ "$value" = "$windows_version" ] \
            || fail "$name: version resource $field is '$value', expected '$windows_version'"
    done
    echo "$name: imports ${dlls//$'\n'/ }, version $windows_version"
done < <(find "$scratch/zip" -name '*.exe' -print0)

echo "check-packages: the Debian package and the Windows zip are in order"
