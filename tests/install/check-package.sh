#!/usr/bin/env bash
# check-package.sh BUILD_DIR SOURCE_DIR VERSION: makes the Debian package with cpack and checks
# what it declares and installs, the manual page and the completion against the program's own
# command list, and lintian's verdict.
set -euo pipefail
build=$1
source=$2
version=$3
app_id=com.kestrelamp.Kestrelamp
program=$build/src/app/kestrelamp

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

echo "== cpack -G DEB"
if ! (cd "$root" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$root/out") \
    >"$root/cpack.log" 2>&1; then
    cat "$root/cpack.log" >&2
    echo "FAIL: cpack could not make the package" >&2
    exit 1
fi
deb=$(find "$root/out" -maxdepth 1 -name 'kestrelamp_*.deb' | head -n 1)
[[ -n $deb ]] || { echo "FAIL: no kestrelamp_*.deb in $root/out" >&2; exit 1; }

field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == kestrelamp ]] || fail "the package is called '$(field Package)'"
[[ $(field Version) == "$version" ]] || fail "the package's version is '$(field Version)'"
depends=$(field Depends)
for needed in libc6 libqt6widgets6 libqt6svg6 libqt6dbus6 libpipewire-0.3-0 pipewire wireplumber \
    qt6-qpa-plugins; do
    [[ $depends == *"$needed"* ]] || fail "Depends lacks $needed: $depends"
done

dpkg-deb -x "$deb" "$root/tree"
for file in usr/bin/kestrelamp "usr/share/applications/$app_id.desktop" \
    "usr/share/metainfo/$app_id.metainfo.xml" "usr/share/icons/hicolor/scalable/apps/$app_id.svg" \
    "usr/share/icons/hicolor/symbolic/apps/$app_id-symbolic.svg" \
    "usr/share/icons/hicolor/22x22/apps/$app_id-symbolic.svg" usr/share/man/man1/kestrelamp.1.gz \
    usr/share/bash-completion/completions/kestrelamp usr/share/doc/kestrelamp/copyright \
    usr/share/doc/kestrelamp/changelog.gz; do
    [[ -s $root/tree/$file ]] || fail "the package does not install /$file"
done
grep -qx "Exec=/usr/bin/kestrelamp" "$root/tree/usr/share/applications/$app_id.desktop" ||
    fail "the desktop entry does not start /usr/bin/kestrelamp"
if dpkg-deb -c "$deb" | awk '{print $2}' | grep -v '^root/root$' | grep -q .; then
    fail "files in the package are not owned by root"
fi
zcat "$root/tree/usr/share/doc/kestrelamp/changelog.gz" | head -n 1 | grep -q "($version)" ||
    fail "the changelog's first entry is not for $version"

# The manual page and the completion know every command the program takes.
manual=$(zcat "$root/tree/usr/share/man/man1/kestrelamp.1.gz" | sed 's/\\-/-/g; s/\\f[BIRP]//g')
completion=$root/tree/usr/share/bash-completion/completions/kestrelamp
commands=$("$program" ctl help | sed -n 's/^  \([a-z][a-z-]*\( [a-z]\+\)\?\).*/\1/p' |
    sed 's/ [A-Z].*//; s/ *$//')
[[ $(wc -l <<<"$commands") -ge 20 ]] || fail "'kestrelamp ctl help' lists too few commands: $commands"
while read -r command; do
    grep -q "^\.B[I]\? *\"\?$command\b" <<<"$manual" || fail "the manual page lacks 'ctl $command'"
    grep -qw -- "${command%% *}" "$completion" || fail "the completion lacks '$command'"
done <<<"$commands"
options=$("$program" --help | grep -o -- '--[a-z-]\+' | sort -u)
while read -r option; do
    grep -q -- "$option" <<<"$manual" || fail "the manual page lacks $option"
    grep -qw -- "$option" "$completion" || fail "the completion lacks $option"
done <<<"$options"
if command -v man >/dev/null; then
    warnings=$(MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$root/tree/usr/share/man/man1/kestrelamp.1.gz" 2>&1 >/dev/null || true)
    [[ -z $warnings ]] || fail "the manual page has troff warnings: $warnings"
fi

# Completion, with a stand-in for the running program.
mkdir -p "$root/bin"
cat >"$root/bin/kestrelamp" <<'STUB'
#!/bin/sh
case "$2 $3" in
"list apps") printf 'org.example.Player\tPlayer\norg.example.Radio\tRadio\n' ;;
"list devices") printf 'speakers\tSpeakers\nheadphones\tHeadphones\n' ;;
"profile list") printf '1234\tEvening Music\tactive\n' ;;
esac
STUB
chmod +x "$root/bin/kestrelamp"
complete_words() {
    PATH=$root/bin:$PATH bash -c '
        source "$1"; shift
        COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
        _kestrelamp
        printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$@"
}
[[ $(complete_words kestrelamp ctl ro) == route ]] || fail "ctl ro does not complete to route"
[[ $(complete_words kestrelamp ctl route org.example.P) == org.example.Player ]] ||
    fail "route does not complete application ids"
[[ $(complete_words kestrelamp ctl route org.example.Player head) == headphones ]] ||
    fail "route does not complete device UIDs"
[[ $(complete_words kestrelamp ctl profile apply Ev) == 'Evening\ Music' ]] ||
    fail "profile apply does not complete profile names"
[[ $(complete_words kestrelamp --th) == --theme ]] || fail "--th does not complete to --theme"

if command -v lintian >/dev/null; then
    echo "== lintian"
    lintian --tag-display-limit 0 "$deb" >"$root/lintian.log" 2>&1 || true
    cat "$root/lintian.log"
    if grep -q '^E:' "$root/lintian.log"; then
        fail "lintian reports errors"
    fi
else
    fail "lintian is not installed (scripts/setup installs it)"
fi

if ((failures)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "package checks passed"
