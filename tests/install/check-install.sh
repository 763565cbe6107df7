#!/usr/bin/env bash
# check-install.sh BUILD_DIR VERSION: installs the build into a temporary prefix, and into one
# whose path needs quoting, and checks the program, its desktop entry, icons and metadata.
set -euo pipefail
build=$1
version=$2
app_id=com.kestrelamp.Kestrelamp

root=$(mktemp -d)
# cmake --install records what it installed in the build folder; the user's own install's record
# must survive this test, for uninstalling.
manifest=$build/install_manifest.txt
if [[ -e $manifest ]]; then
    cp -p "$manifest" "$root/manifest"
fi
restore() {
    if [[ -e $root/manifest ]]; then
        cp -p "$root/manifest" "$manifest"
    else
        rm -f "$manifest"
    fi
    rm -rf "$root"
}
trap restore EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

check_prefix() {
    local prefix=$1
    echo "== cmake --install $build --prefix '$prefix'"
    if ! cmake --install "$build" --prefix "$prefix" >"$root/install.log" 2>&1; then
        cat "$root/install.log" >&2
        fail "cmake --install into '$prefix' failed"
        return
    fi
    local desktop=$prefix/share/applications/$app_id.desktop
    local metainfo=$prefix/share/metainfo/$app_id.metainfo.xml
    local file
    for file in "$prefix/bin/kestrelamp" "$desktop" "$metainfo" \
        "$prefix/share/icons/hicolor/scalable/apps/$app_id.svg" \
        "$prefix/share/icons/hicolor/symbolic/apps/$app_id-symbolic.svg"; do
        [[ -s $file ]] || fail "$file is missing or empty"
    done
    for file in "$prefix"/share/icons/hicolor/*/apps/*.svg; do
        grep -q '<svg' "$file" || fail "$file is not an SVG drawing"
    done

    local shown
    shown=$("$prefix/bin/kestrelamp" --version 2>&1) || fail "the installed program does not start"
    [[ $shown == "kestrelamp $version" ]] || fail "the installed program says '$shown'"

    desktop-file-validate "$desktop" || fail "desktop-file-validate refuses $desktop"
    appstreamcli validate --no-net "$metainfo" || fail "appstreamcli refuses $metainfo"

    # The entry starts the installed program, whatever PATH the desktop session has.
    local exec
    exec=$(sed -n 's/^Exec=//p' "$desktop")
    local expected=$prefix/bin/kestrelamp
    if [[ $expected == *[^-A-Za-z0-9_./+,:@]* ]]; then
        expected="\"$expected\""
    fi
    [[ $exec == "$expected" ]] || fail "Exec is '$exec', not '$expected'"
    grep -qx "Icon=$app_id" "$desktop" || fail "the entry does not name the icon $app_id"
    grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" ||
        fail "the metadata does not launch $app_id.desktop"
    grep -q "<id>$app_id</id>" "$metainfo" || fail "the metadata's id is not $app_id"
}

check_prefix "$root/prefix"
check_prefix "$root/a prefix with spaces"

# A path the entry cannot carry is refused, rather than installed as an entry that runs nothing.
if cmake --install "$build" --prefix "$root/cost\$5" >"$root/install.log" 2>&1; then
    fail "an install into '$root/cost\$5' was not refused"
elif ! grep -q "The desktop entry cannot name a program at" "$root/install.log"; then
    cat "$root/install.log" >&2
    fail "the refused install does not say why"
fi

if ((failures)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "installation checks passed"
