#!/usr/bin/env bash
# The installed program opened the way a file manager's "open with" does (the desktop entry's
# Exec line with a folder for %f): its window must appear with the folder in a path field. Runs
# on an X display (scripts/test-package.sh starts it under xvfb-run); the field is read back
# through the clipboard, Tab by Tab.
#   scripts/test-package-window.sh FOLDER SCRATCH_DIR
set -euo pipefail
folder="$1" scratch="$2"
entry=/usr/share/applications/org.tablaweaver.Tablaweaver.desktop
exec_line="$(sed -n 's/^Exec=//p' "$entry")"
[[ $exec_line == *%f* ]] || { echo "the desktop entry's Exec has no %f: $exec_line" >&2; exit 1; }
read -r -a command <<<"$exec_line"
for i in "${!command[@]}"; do [ "${command[$i]}" = %f ] && command[$i]="$folder"; done

# A home and runtime folder of its own: no settings or running copy of anyone else in the way.
mkdir -p "$scratch/home" "$scratch/runtime"
chmod 700 "$scratch/runtime"
export HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/runtime" XDG_CONFIG_HOME="" LC_ALL=C.UTF-8
"${command[@]}" >"$scratch/window.log" 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null || true' EXIT

window="$(timeout 30 xdotool search --sync --onlyvisible --pid "$pid" --name Tablaweaver | head -1 || true)"
if [ -z "$window" ]; then
    echo "no window appeared" >&2
    cat "$scratch/window.log" >&2
    exit 1
fi
echo "window: $(xdotool getwindowname "$window")"
eval "$(xdotool getwindowgeometry --shell "$window")"
# A click on the window's empty corner gives it the keyboard; then each Tab moves to the next
# control, whose text Ctrl+A Ctrl+C puts on the clipboard.
xdotool mousemove $((X + WIDTH - 4)) $((Y + HEIGHT - 4)) click 1
sleep 0.5
for _ in $(seq 1 12); do
    xdotool key Tab
    sleep 0.2
    xdotool key ctrl+a ctrl+c
    sleep 0.3
    if [ "$(timeout 2 xclip -o -selection clipboard 2>/dev/null || true)" = "$folder" ]; then
        echo "the window shows the folder: $folder"
        exit 0
    fi
done
echo "no field of the window holds $folder" >&2
exit 1
