#!/usr/bin/env bash
# The Debian package as a user meets it: built from build/, its desktop entry and metadata
# validated, lintian run, installed with apt-get, the installed program run (--version, a folder
# merge of the examples, its window opened under Xvfb with a folder as "open with" does), the
# manual page and the completion found, then purged: nothing of the package may remain. Needs
# root (or sudo).
set -euo pipefail
cd "$(dirname "$0")/.."
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
APP_ID=org.tablaweaver.Tablaweaver
work="$(mktemp -d)"
# A run that stops half-way leaves the package behind no more than a finished one.
trap 'dpkg -s tablaweaver >/dev/null 2>&1 && $SUDO apt-get purge -y tablaweaver >/dev/null 2>&1; rm -rf "$work"' EXIT
for tool in cpack dpkg-shlibdeps desktop-file-validate appstreamcli lintian man file xvfb-run xdotool xclip; do
    command -v "$tool" >/dev/null || { bash scripts/install-deps.sh; break; }
done
passes=0 failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; passes=$((passes + 1)); }

echo "== package =="
deb="$(bash scripts/package.sh 2>"$work/package.log" | tail -1)" || { cat "$work/package.log"; exit 1; }
echo "$deb"
version="$(sed -n 's/^project(Tablaweaver VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
[ "$(basename "$deb")" = "tablaweaver_${version}_$(dpkg --print-architecture).deb" ] ||
    fail "package name $(basename "$deb")"
depends="$(dpkg-deb -f "$deb" Depends)"
[[ $depends == *libqt5widgets5* && $depends == *libzip4* ]] && pass "Depends (dpkg-shlibdeps): $depends" ||
    fail "Depends lacks the linked libraries: $depends"
dpkg-deb -x "$deb" "$work/content"

echo "== desktop entry, metadata, icons =="
desktop-file-validate "$work/content/usr/share/applications/$APP_ID.desktop" &&
    pass "desktop-file-validate" || fail "desktop-file-validate"
appstreamcli validate --no-net "$work/content/usr/share/metainfo/$APP_ID.metainfo.xml" &&
    pass "appstreamcli validate" || fail "appstreamcli validate"
for size in 16 22 24 32 48 64 128 256; do
    png="$work/content/usr/share/icons/hicolor/${size}x${size}/apps/$APP_ID.png"
    kind="$(file -b "$png")"
    [[ $kind == "PNG image data, $size x $size,"* ]] || fail "icon $size: $kind"
done
[ -s "$work/content/usr/share/icons/hicolor/scalable/apps/$APP_ID.svg" ] || fail "no scalable icon"

echo "== lintian =="
# Errors and warnings fail unless the README's Install section explains their tag.
lintian --tag-display-limit 0 -I "$deb" >"$work/lintian.txt" 2>&1 || true
cat "$work/lintian.txt"
while read -r line; do
    tag="$(echo "$line" | awk '{print $3}')"
    grep -q "\`$tag\`" README.md || fail "lintian finding not explained in the README: $line"
done < <(grep -E '^[EW]: ' "$work/lintian.txt" || true)
grep -qE '^[EW]: ' "$work/lintian.txt" || pass "lintian: no errors or warnings"

echo "== install =="
if dpkg -s tablaweaver >/dev/null 2>&1; then $SUDO apt-get purge -y tablaweaver >/dev/null; fi
# The folders the package would create: after the purge they must be gone again.
dpkg-deb -c "$deb" | awk '{print substr($0, index($0, "./") + 1)}' | sed 's#/$##; /^$/d' \
    >"$work/paths.txt"
while read -r path; do [ -e "$path" ] || echo "$path"; done <"$work/paths.txt" >"$work/new-paths.txt"
(cd "$(dirname "$deb")" && $SUDO apt-get install -y ./tablaweaver_*.deb) >"$work/apt.log" 2>&1 &&
    pass "apt-get install" || { cat "$work/apt.log"; fail "apt-get install"; }

installed="$(command -v tablaweaver || true)"
[ "$installed" = /usr/bin/tablaweaver ] && pass "tablaweaver on PATH" || fail "tablaweaver on PATH: '$installed'"
out="$(tablaweaver --version 2>&1 || true)"
[ "$out" = "tablaweaver $version" ] && pass "--version: $out" || fail "--version said '$out'"

/usr/bin/python3 examples/make_examples.py "$work/examples" --tablaweaver /usr/bin/tablaweaver >/dev/null
saved="$(cd "$work" && tablaweaver merge-files examples/销售 -o 合并结果.xlsx 2>"$work/merge.log")" ||
    { cat "$work/merge.log"; fail "folder merge through the installed program"; }
/usr/bin/python3 - "$saved" "$work/examples/销售" <<'EOF' && pass "folder merge: $saved" || fail "merged workbook"
import os, sys, openpyxl
merged, folder = sys.argv[1:]
sources = [n for _, _, names in os.walk(folder) for n in names if not n.endswith(".txt")]
sheets = openpyxl.load_workbook(merged, read_only=True).sheetnames
assert len(sources) >= 5 and len(sheets) >= len(sources), (sources, sheets)
EOF

[ "$(man -w tablaweaver)" = /usr/share/man/man1/tablaweaver.1.gz ] && pass "man -w tablaweaver" ||
    fail "man -w tablaweaver: $(man -w tablaweaver 2>&1)"
page="$(MANWIDTH=100 man tablaweaver 2>&1)"
[[ $page == *split-column* ]] || fail "man tablaweaver shows no jobs"
completion=/usr/share/bash-completion/completions/tablaweaver
got="$(bash --norc -c "source $completion; COMP_WORDS=(tablaweaver merge-f); COMP_CWORD=1; _tablaweaver; echo \${COMPREPLY[*]}")"
[ "$got" = "merge-files" ] && pass "completion" || fail "completion of merge-f: '$got'"

echo "== window (Xvfb) =="
xvfb-run -a -s "-screen 0 1920x1080x24" \
    bash scripts/test-package-window.sh "$work/examples/销售" "$work/window" &&
    pass "open with: the window opens with the folder" || fail "open with: window and folder"

echo "== purge =="
before=$failures
$SUDO apt-get purge -y tablaweaver >"$work/apt.log" 2>&1 && pass "apt-get purge" ||
    { cat "$work/apt.log"; fail "apt-get purge"; }
dpkg -s tablaweaver >/dev/null 2>&1 && fail "dpkg still knows the package"
[ -e /usr/bin/tablaweaver ] && fail "/usr/bin/tablaweaver remains"
while read -r path; do
    [ -e "$path" ] && fail "left after purge: $path"
done < <(grep -v '^/usr$' "$work/new-paths.txt"; grep -E '/tablaweaver|Tablaweaver' "$work/paths.txt")
ls /usr/bin/Tablaweaver.zrk /var/lib/dpkg/info/tablaweaver.* 2>/dev/null && fail "files of the package remain"
[ "$failures" -eq "$before" ] && pass "nothing of the package remains"

echo "package: $passes passed, $failures failed"
exit $((failures == 0 ? 0 : 1))
