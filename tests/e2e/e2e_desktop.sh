#!/bin/bash
# Drives the real program on a private X server the way a user does: set the
# ports in the settings dialogs, record a stream from korvel-send, save it
# through the file dialog, play it back to korvel-recv, quit with Q.
# A screenshot of every step lands in the output folder.
#
# Usage: e2e_desktop.sh PROGRAM KORVEL_SEND KORVEL_RECV OUTPUT_DIR RENDER_ICON
# Needs Xvfb (package xvfb), xdotool (xdotool), import/convert/compare (imagemagick).

set -u

program=$1
sender=$2
receiver=$3
out=$4
render_icon=$5
icons=$(cd "$(dirname "$0")/../../resources" && pwd)

frames=200
rate=100

for tool in Xvfb xdotool import convert compare; do
    if ! command -v $tool >/dev/null; then
        echo "SKIP: $tool not found (install xvfb, xdotool and imagemagick)"
        exit 77
    fi
done

rm -rf "$out"
mkdir -p "$out/home" "$out/tmp" "$out/runtime" "$out/files" || exit 1
out=$(cd "$out" && pwd)
chmod 700 "$out/runtime"
log=$out/log.txt
: >"$log"

xvfb_pid=
app_pid=
send_pid=
recv_pid=
shot_number=0
window=

cleanup() {
    for pid in $send_pid $recv_pid $app_pid $xvfb_pid; do
        kill "$pid" 2>/dev/null
    done
    wait 2>/dev/null
}
trap cleanup EXIT

note() {
    echo "$*"
    echo "$*" >>"$log"
}

# Mapped windows with a title, the root window left out.
top_windows() {
    local root
    root=$(xdotool search --maxdepth 0 --name '' 2>/dev/null)
    xdotool search --onlyvisible --name '' 2>/dev/null | grep -vx "$root"
}

fail() {
    note "FAIL: $*"
    if [ -n "$xvfb_pid" ]; then
        import -window root "$out/failure.png" 2>/dev/null
        note "visible windows:"
        for id in $(top_windows); do
            note "  $id '$(xdotool getwindowname "$id")'"
        done
    fi
    exit 1
}

# wait_until SECONDS WHAT COMMAND...: polls COMMAND every 0.1 s.
wait_until() {
    local seconds=$1 what=$2
    shift 2
    local end=$((SECONDS + seconds))
    until "$@"; do
        [ $SECONDS -ge $end ] && fail "timed out after ${seconds}s waiting for $what"
        sleep 0.1
    done
}

shot() {
    shot_number=$((shot_number + 1))
    local file
    file=$(printf '%s/%02d-%s.png' "$out" $shot_number "$1")
    import -window "${2:-root}" "$file" || fail "screenshot $file"
    note "screenshot $file"
}

alive() { kill -0 "$1" 2>/dev/null; }
exited() { ! kill -0 "$1" 2>/dev/null; }

visible_window() {
    xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1
}
has_window() { [ -n "$(visible_window "$1")" ]; }
no_window() { [ -z "$(visible_window "$1")" ]; }

# Waits for a top-level window with exactly this title and puts its id in $window.
await_window() {
    wait_until 20 "window '$1'" has_window "$1"
    window=$(visible_window "$1")
}

# There is no window manager to give focus, so each key stroke focuses its window.
keys_to() {
    local id=$1
    shift
    xdotool windowfocus --sync "$id" || fail "focusing window $id"
    xdotool "$@" || fail "xdotool $*"
}

# Finds a tool-bar icon of the main window by matching the resource image in
# the tool bar strip; prints "X Y ERROR", X and Y the icon's centre. A disabled
# action's icon is drawn greyed: ERROR is then above 0.1, enabled below 0.02.
locate_icon() {
    local strip=$out/files/strip.png flat=$out/files/$1-flat.png background
    xdotool mousemove 1000 750
    import -window "$main" -crop 523x90+0+0 +repage "$strip" || return 1
    background=$(convert "$strip" -format '%[pixel:p{520,50}]' info:)
    # The tool bar draws the SVG at its 22 px icon size, as the renderer does.
    [ -s "$out/files/$1-22.png" ] || "$render_icon" "$icons/$1.svg" 22 "$out/files/$1-22.png" || return 1
    convert "$out/files/$1-22.png" -background "$background" -flatten "$flat"
    # compare exits 1 when the images differ, which they always do a little.
    compare -metric RMSE -dissimilarity-threshold 1 -subimage-search "$strip" "$flat" null: 2>&1 |
        sed -n 's/^[0-9.e+]* (\([0-9.e-]*\)) @ \([0-9]*\),\([0-9]*\)$/\2 \3 \1/p' |
        awk '{ printf "%d %d %s\n", $1 + 11, $2 + 11, $3 }'
}

icon_enabled() {
    local found
    found=$(locate_icon "$1")
    [ -n "$found" ] && awk -v e="${found##* }" 'BEGIN { exit !(e < 0.08) }'
}

icon_disabled() {
    local found
    found=$(locate_icon "$1")
    [ -n "$found" ] && awk -v e="${found##* }" 'BEGIN { exit !(e >= 0.08) }'
}

click_icon() {
    wait_until 20 "tool button '$1' enabled" icon_enabled "$1"
    local found
    found=$(locate_icon "$1")
    note "clicking $1 at ${found% *}"
    xdotool mousemove --window "$main" ${found% *} click 1
    xdotool mousemove 1000 750
}

# The walk-through's port when nothing on 127.0.0.1 holds it at this moment, so
# the screenshots show what the README says; otherwise any free one.
free_port() {
    local port
    port=$("$receiver" --port "$1" --duration 0.001 2>/dev/null | sed -n 's/^listening port=//p')
    [ -n "$port" ] || port=$("$receiver" --port 0 --duration 0.001 | sed -n 's/^listening port=//p')
    echo "$port"
}

file_size() { stat -c %s "$1" 2>/dev/null || echo 0; }
grown_to() { [ "$(file_size "$1")" -ge "$2" ]; }
settings_say() { grep -qF "$1" "$settings" 2>/dev/null; }

# ---- 1. A private X server and a clean session for the program
display_file=$out/files/display
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$display_file" >"$out/xvfb.log" 2>&1 &
xvfb_pid=$!
display_known() { grep -q '^[0-9]' "$display_file"; }
wait_until 20 "Xvfb to choose a display" display_known
export DISPLAY=:$(head -n 1 "$display_file")
note "Xvfb on $DISPLAY"

settings=$out/home/.Ostra/Korvel_Recorder/config/current-settings.xml
[ -f "$(dirname "$program")/config/current-settings.xml" ] || fail "no default settings beside $program"

# A bare environment: no desktop session to choose a platform theme, so Qt's own dialogs appear.
env -i PATH="$PATH" HOME="$out/home" TMPDIR="$out/tmp" XDG_RUNTIME_DIR="$out/runtime" DISPLAY="$DISPLAY" \
    LANG=C.UTF-8 QT_QPA_PLATFORM=xcb QT_QPA_PLATFORMTHEME= "$program" >"$out/program.log" 2>&1 &
app_pid=$!

# ---- 2. First start from the defaults beside the program: no warning, the main window alone
await_window "Korvel Recorder"
main=$window
alive $app_pid || fail "program ended at start"
[ -z "$(xdotool search --name 'Error loading settings')" ] || fail "settings warning at first start"
count=$(top_windows | wc -l)
[ "$count" -eq 1 ] || fail "$count windows at start, expected the main window alone"
geometry=$(xdotool getwindowgeometry "$main" | sed -n 's/^ *Geometry: //p')
[ "$geometry" = 523x567 ] || fail "main window is $geometry, expected 523x567"
[ ! -e "$settings" ] || fail "settings file written before anything was confirmed"
wait_until 20 "Record enabled in the idle window" icon_enabled record
icon_disabled play || fail "Play enabled with no recording"
shot start "$main"

# ---- 3. Record a paced stream on a port set through the record settings
record_port=$(free_port 5000)
[ -n "$record_port" ] || fail "no free port found"
keys_to "$main" key F8
await_window "Record Settings"
keys_to "$window" key ctrl+a
keys_to "$window" type "$record_port"
shot record-settings
keys_to "$window" key Return
wait_until 20 "the record settings to close" no_window "Record Settings"
wait_until 20 "record port $record_port in the settings file" settings_say "<RECORD_PORT PORT_NR=\"$record_port\"/>"

click_icon record
wait_until 20 "Stop enabled while recording" icon_enabled stop
icon_disabled record || fail "Record still enabled while recording"

sent=$out/files/sent.wly
"$sender" --port "$record_port" --count $frames --rate $rate --out "$sent" >"$out/send.log" 2>&1 &
send_pid=$!
temporary=$out/tmp/korvel_recorder_temp.wly
wait_until 20 "half the stream in the temporary recording" grown_to "$temporary" $((frames * 300 / 2))
shot recording "$main"
wait_until 30 "korvel-send to finish" exited $send_pid
wait $send_pid || fail "korvel-send failed: $(cat "$out/send.log")"
send_pid=
note "$(cat "$out/send.log")"
# The receiver writes through a stdio buffer: all but its last block is on disk.
wait_until 10 "the stream in the temporary recording" grown_to "$temporary" $(($(file_size "$sent") - 8192))

click_icon stop
await_window "Save File"
saved=$out/files/recording.wly
keys_to "$window" type "$saved"
shot save-dialog
keys_to "$window" key Return
wait_until 20 "the save dialog to close" no_window "Save File"
wait_until 20 "the saved recording" test -s "$saved"
cmp "$sent" "$saved" || fail "saved recording differs from what was sent"
note "saved recording equals the $(file_size "$sent") bytes sent"
wait_until 20 "Play enabled for the saved recording" icon_enabled play
[ ! -e "$temporary" ] || fail "temporary recording left behind after saving"
shot saved "$main"

# ---- 4. Play the recording once to korvel-recv, set up through the play settings
received=$out/files/received.wly
"$receiver" --port "$(free_port 5001)" --count $frames --timeout-ms 30000 --duration 60 --out "$received" >"$out/recv.log" 2>&1 &
recv_pid=$!
recv_port() { sed -n 's/^listening port=//p' "$out/recv.log"; }
recv_ready() { [ -n "$(recv_port)" ]; }
wait_until 20 "korvel-recv to listen" recv_ready
play_port=$(recv_port)

keys_to "$main" key F9
await_window "Play Settings"
# Focus starts in the first host field; from the port, Tab passes "active" and
# the frequency and reaches the loop radio button, where Right picks "single".
keys_to "$window" key ctrl+a
keys_to "$window" type localhost
keys_to "$window" key Tab ctrl+a
keys_to "$window" type "$play_port"
keys_to "$window" key Tab Tab Tab Right
shot play-settings
keys_to "$window" key Return
wait_until 20 "the play settings to close" no_window "Play Settings"
wait_until 20 "play port $play_port in the settings file" settings_say "<PLAY_PORT_1 PORT_NR=\"$play_port\"/>"
settings_say '<PLAY_HOST_1 HOST="localhost"/>' || fail "play host not stored"
settings_say '<LOOP LOOP="false"/>' || fail "single playback not stored"

click_icon play
wait_until 20 "Pause enabled while playing" icon_enabled pause
shot playing "$main"
wait_until 60 "korvel-recv to finish" exited $recv_pid
wait $recv_pid
recv_status=$?
recv_pid=
note "$(cat "$out/recv.log")"
[ $recv_status -eq 0 ] || fail "korvel-recv ended with $recv_status"
figures=$(grep '^received=' "$out/recv.log")
for expected in "received=$frames " "first_frame=1 " "last_frame=$frames " "gaps=0 " "repeats=0 " \
    "out_of_order=0 " "unnumbered=0 "; do
    case "$figures " in
    *"$expected"*) ;;
    *) fail "playback: expected $expected in: $figures" ;;
    esac
done
# The sender's frames are CR LF-ended without blanks, so playback sends them unchanged.
cmp "$sent" "$received" || fail "played frames differ from the recording"
# The recording's 100 Hz timestamps set the pace, not the 4 Hz of the settings.
played_rate=$(sed -n 's/.* rate_hz=\([0-9.]*\) .*/\1/p' <<<"$figures")
awk -v r="$played_rate" 'BEGIN { exit !(r > 20) }' || fail "played at $played_rate Hz: timestamps not used"
wait_until 20 "Play enabled after the single pass" icon_enabled play
icon_disabled stop || fail "Stop still enabled after playback ended"
shot played "$main"

# ---- 5. Q ends the program cleanly and leaves the settings behind
keys_to "$main" key q
wait_until 20 "the program to end after Q" exited $app_pid
wait $app_pid
app_status=$?
app_pid=
[ $app_status -eq 0 ] || fail "program exited with $app_status"
[ -f "$settings" ] || fail "no settings file after quitting"
settings_say "<RECORD_PORT PORT_NR=\"$record_port\"/>" || fail "record port not kept at exit"
settings_say "<SAVE_FILE_DIR SAVE_FILE_DIR=\"$out/files\"/>" || fail "directory of the save not kept at exit"
note "PASS in ${SECONDS}s"
