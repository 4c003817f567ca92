#!/usr/bin/env bash
# End-to-end tests of the demo on a private Xvfb display.
#
#   knot_e2e.sh KNOT XHELPER
#
# Starts its own X server with a real 640x480 mode (so that full screen is a
# true mode switch), runs the demo, drives it with xdotool and xhelper, and
# checks its log, exit codes, state line and screenshots. Ends with the line
# "N passed, N failed" and a non-zero status when anything failed.
set -u

HERE=$(cd "$(dirname "$0")" && pwd)
# Under LeakSanitizer, leaks inside system libraries are not the demo's.
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$HERE/lsan.supp:print_suppressions=0}
# A locale whose name the C library keeps on the heap (the "C" locale's is
# static), as on most desktops: the demo's threads must not race on it.
export LANG=C.UTF-8
unset LC_ALL
KNOT=$(realpath "$1")
XHELPER=$(realpath "$2")
WORK=$(mktemp -d)
PASSED=0
FAILED=0
PIDS=()

cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  [[ -n ${KEEP_WORK:-} ]] && echo "work files kept in $WORK" || rm -rf "$WORK"
}
trap cleanup EXIT

check() {  # check NAME COMMAND...
  local name=$1
  shift
  if "$@"; then
    PASSED=$((PASSED + 1))
    echo "ok   - $name"
  else
    FAILED=$((FAILED + 1))
    echo "FAIL - $name"
    # What the demo said last explains most failures; a sanitizer's report
    # is shown from its start, where the faulting access is named.
    if [[ -n $LOG && -s $LOG ]]; then
      if grep -qE 'ERROR: (Address|Leak)Sanitizer' "$LOG"; then
        grep -E -A 40 'ERROR: (Address|Leak)Sanitizer' "$LOG" | sed 's/^/     | /'
      else
        tail -n 15 "$LOG" | sed 's/^/     | /'
      fi
    fi
  fi
}

# ---- the X server ---------------------------------------------------------

# Each run gets a server of its own: Xvfb chooses a display number that is
# free (-displayfd: no lock file and no socket, abstract ones included, so
# that runs side by side or in separate chroots never share one), and the
# server this run talks to is checked to be the one it started (its lock
# file names its process).
start_xvfb() {  # start_xvfb VAR_FOR_DISPLAY [with-640x480]
  local number_file="$WORK/xvfb-display.$RANDOM$RANDOM" n="" pid
  exec {number_fd}>"$number_file"
  Xvfb -displayfd "$number_fd" -screen 0 1280x1024x24 -noreset -nolisten tcp \
    >>"$WORK/xvfb.log" 2>&1 &
  pid=$!
  exec {number_fd}>&-
  PIDS+=("$pid")
  # Up to 30 s: a loaded machine under the sanitizers starts it slowly.
  for _ in $(seq 300); do
    n=$(head -n 1 "$number_file" 2>/dev/null)
    [[ -n $n ]] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if [[ -z $n ]]; then
    echo "cannot start Xvfb: it gave no display number (its log follows)" >&2
    tail -n 20 "$WORK/xvfb.log" >&2
    exit 1
  fi
  if [[ -e /tmp/.X$n-lock && $(tr -d ' \n' </tmp/.X$n-lock) != "$pid" ]]; then
    echo "display :$n belongs to another X server than the one this run started ($pid)" >&2
    exit 1
  fi
  if ! DISPLAY=":$n" xdpyinfo >/dev/null 2>&1; then
    echo "Xvfb (process $pid) said display :$n, which does not answer" >&2
    exit 1
  fi
  if [[ ${2:-} == with-640x480 ]]; then
    DISPLAY=":$n" xrandr --newmode 640x480_e2e 23.75 640 664 720 800 480 483 487 500 -hsync +vsync
    DISPLAY=":$n" xrandr --addmode screen 640x480_e2e
  fi
  # A key held across a window's destruction must not auto-repeat forever.
  DISPLAY=":$n" xset r off
  printf -v "$1" '%s' ":$n"
}

screen_size() { xdpyinfo | awk '/dimensions:/ {print $2; exit}'; }

# ---- the demo ---------------------------------------------------------------

KNOT_PID=
LOG=
start_knot() {  # start_knot NAME [args...]: runs the demo with its log in $WORK/NAME.log
  LOG="$WORK/$1.log"
  shift
  "$KNOT" --verbose --print-state "$@" >"$LOG.out" 2>"$LOG" &
  KNOT_PID=$!
  PIDS+=("$KNOT_PID")
}

wait_log() {  # wait_log PATTERN [count]: waits until the log holds COUNT matching lines
  local want=${2:-1} seen=0
  # Up to 20 s, for a loaded machine under the sanitizers.
  for _ in $(seq 200); do
    seen=$(grep -c -- "$1" "$LOG" 2>/dev/null || true)
    ((${seen:-0} >= want)) && return 0
    sleep 0.1
  done
  if [[ ! -e $LOG ]]; then
    echo "     | no log at $LOG: the demo did not start" >&2
  else
    echo "     | waited 20 s for $want line(s) matching '$1', saw ${seen:-0}" >&2
  fi
  return 1
}

window_id() {  # the id of the N-th window the demo created (1 = first)
  grep -o 'window 0x[0-9a-f]* created' "$LOG" | sed -n "${1:-1}p" | awk '{print $2}'
}

EXIT_CODE=
wait_exit() {  # waits up to 10 s for the demo to end; sets EXIT_CODE
  for _ in $(seq 100); do
    if ! kill -0 "$KNOT_PID" 2>/dev/null; then
      wait "$KNOT_PID"
      EXIT_CODE=$?
      return 0
    fi
    sleep 0.1
  done
  kill -9 "$KNOT_PID" 2>/dev/null
  EXIT_CODE=timeout
  return 1
}

press() {  # press WINDOW KEY
  # SDL drops keys that arrive in the first moments after a window takes the
  # focus (it settles the focus after a short delay); give it that moment.
  sleep 0.4
  xdotool windowfocus --sync "$1" 2>/dev/null
  # Held like a person holds a key: the demo looks at held keys between
  # frames, and a frame may take a while under sanitizers.
  xdotool keydown "$2"
  sleep 0.15
  xdotool keyup "$2"
}

find_box() {  # find_box TITLE: id of a top-level window with that title (UTF-8 names
  # are invisible to xdotool search --name)
  local id
  for _ in $(seq 50); do
    id=$(xwininfo -root -children | awk -v t="\"$1\":" '$2 == t {print $1; exit}')
    [[ -n $id ]] && echo "$id" && return 0
    sleep 0.1
  done
  return 1
}

answer_box() {  # answer_box TITLE KEY: presses KEY in the box; fails when no box
  local id
  id=$(find_box "$1") || return 1
  xdotool windowfocus --sync "$id" 2>/dev/null
  xdotool key --window "$id" "$2"
}

# fx expression over an image region: mean brightness (0..1)
mean_of() { convert "$1" -crop "$2" +repage -colorspace gray -format '%[fx:mean]' info:; }
max_of() { convert "$1" -crop "$2" +repage -colorspace gray -format '%[fx:maxima]' info:; }
# mean red, green and blue (0..1) of a region, space separated
rgb_of() { convert "$1" -crop "$2" +repage -format '%[fx:mean.r] %[fx:mean.g] %[fx:mean.b]' info:; }
is_rust() {  # red over green over blue, clearly
  awk -v r="$1" -v g="$2" -v b="$3" 'BEGIN { exit !(r > g && g > b && r > 1.5 * b) }'
}
is_blue() { awk -v r="$1" -v g="$2" -v b="$3" 'BEGIN { exit !(b > 2 * r && b > g) }'; }
is_red() { awk -v r="$1" -v g="$2" -v b="$3" 'BEGIN { exit !(r > 2 * b && r > 2 * g) }'; }
knot_colour() {  # knot_colour WINDOW: the mean colour of the knot's part of the window
  import -window "$1" "$WORK/colour.png"
  # Only lit pixels count: the black background would pull every mean down.
  convert "$WORK/colour.png" -fuzz 6% -transparent black -format '%[fx:mean.r] %[fx:mean.g] %[fx:mean.b]' info:
}
is_below() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a < b) }'; }
is_above() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a > b) }'; }

# ---- tests ------------------------------------------------------------------

start_xvfb DISPLAY with-640x480
export DISPLAY

echo "# start, picture, Escape"
start_knot basic
check "the window comes up windowed at 640x480" wait_log 'created: windowed 640x480'
W=$(window_id 1)
sleep 1
import -window "$W" "$WORK/basic.png"
check "screenshot is 640x480" \
  test "$(identify -format '%wx%h' "$WORK/basic.png" 2>/dev/null)" = 640x480
# Black frame: the outer 20-pixel border holds no knot.
border_max=0
for region in 640x20+0+0 640x20+0+460 20x480+0+0 20x480+620+0; do
  m=$(max_of "$WORK/basic.png" "$region")
  is_above "$m" "$border_max" && border_max=$m
done
check "the frame around the knot is black" is_below "$border_max" 0.02
centre_mean=$(mean_of "$WORK/basic.png" 320x240+160+120)
centre_max=$(max_of "$WORK/basic.png" 320x240+160+120)
check "the centre shows the tube (mean $centre_mean)" is_above "$centre_mean" 0.04
check "the tube is lit, with highlights (max $centre_max)" is_above "$centre_max" 0.4
press "$W" Escape
wait_exit
check "Escape ends the demo with exit code 0 (got $EXIT_CODE)" test "$EXIT_CODE" = 0
check "the state line reports the default knot" \
  grep -qx 'p=1.00 q=0.00 torus_radius=2.00 tube_radius=0.50 env_mapping=0' "$LOG.out"

echo "# F1 to full screen and back"
start_knot fullscreen
wait_log 'created: windowed'
W1=$(window_id 1)
press "$W1" F1
check "F1 creates a full-screen window" wait_log 'created: full screen 640x480, screen 640x480'
check "the X screen really switched to 640x480" test "$(screen_size)" = 640x480
W2=$(window_id 2)
sleep 0.5
import -window root "$WORK/full.png"
full_mean=$(mean_of "$WORK/full.png" 320x240+160+120)
check "the full screen shows the knot (mean $full_mean)" is_above "$full_mean" 0.04
press "$W2" F1
check "F1 again returns to a window" wait_log 'created: windowed 640x480, screen 1280x1024' 2
W3=$(window_id 3)
check "the window is a new one ($W1 then $W3)" test -n "$W3" -a "$W3" != "$W1" -a "$W3" != "$W2"
check "the screen is back at 1280x1024" test "$(screen_size)" = 1280x1024
press "$W3" Escape
wait_exit
check "the demo ends with exit code 0 after the switches" test "$EXIT_CODE" = 0
check "the knot kept its parameters" \
  grep -qx 'p=1.00 q=0.00 torus_radius=2.00 tube_radius=0.50 env_mapping=0' "$LOG.out"

echo "# closing the window"
start_knot close
wait_log 'created: windowed'
"$XHELPER" close "$(window_id 1)"
wait_exit
check "closing the window ends the demo with exit code 0 (got $EXIT_CODE)" test "$EXIT_CODE" = 0
check "the close arrived as a message" grep -q '^knot: close' "$LOG"

echo "# headless frames and screenshot"
start_knot frames --frames 20 --screenshot "$WORK/frames.png"
wait_exit
check "--frames ends by itself with exit code 0 (got $EXIT_CODE)" test "$EXIT_CODE" = 0
check "--screenshot writes a 640x480 PNG" \
  test "$(identify -format '%m %wx%h' "$WORK/frames.png" 2>/dev/null)" = "PNG 640x480"
frames_mean=$(mean_of "$WORK/frames.png" 320x240+160+120)
check "the screenshot shows the knot (mean $frames_mean)" is_above "$frames_mean" 0.04

echo "# no display"
LOG="$WORK/nodisplay.log"
env -u DISPLAY "$KNOT" >"$LOG.out" 2>"$LOG"
rc=$?
check "without a display the demo fails with status 1 (got $rc)" test "$rc" = 1
check "and says that there is no display" grep -q 'no display: DISPLAY is not set' "$LOG"

echo "# the control panel"
# Control centres in the panel's window, from the template's dialog units
# (x * 6 / 4, y * 13 / 8): the P row's "+" button, the torus slider's thumb
# at position 50 and its track left of it, the check box.
P_PLUS="172 41"
THUMB="103 170"
THUMB_AT_75="141 170"
TRACK_LEFT="40 170"
CHECK_BOX="32 288"

panel_window() { xdotool search --class KnotPanel 2>/dev/null | head -1; }
click_at() {  # click_at WINDOW X Y
  xdotool mousemove --window "$1" "$2" "$3"
  sleep 0.1
  xdotool click 1
}
window_x() { xwininfo -id "$1" | awk '/Absolute upper-left X/ {print $4}'; }
window_w() { xwininfo -id "$1" | awk '/Width:/ {print $2}'; }

start_knot panel
wait_log 'created: windowed'
PANEL=
for _ in $(seq 50); do PANEL=$(panel_window); [[ -n $PANEL ]] && break; sleep 0.1; done
check "the control panel window appears" test -n "$PANEL"
check "it stands left of the knot's window" \
  test "$(($(window_x "$PANEL") + $(window_w "$PANEL")))" -le 220
check "its caption is \"Zembril ToolBar\"" \
  sh -c "xwininfo -id $PANEL | grep -q 'Zembril ToolBar'"
sleep 2.2  # a second of idle frame rate in the log
idle_lines=$(grep -c 'frames per second' "$LOG")
click_at "$PANEL" $P_PLUS
sleep 3.5
idle_fps=$(grep 'frames per second' "$LOG" | sed -n "${idle_lines}p" | awk '{print $2}')
morph_fps=$(grep 'frames per second' "$LOG" | sed -n "$((idle_lines + 2))p" | awk '{print $2}')
echo "     frames per second: idle $idle_fps, during a morph $morph_fps"
check "frames keep coming during a morph ($morph_fps a second)" \
  test "${morph_fps:-0}" -ge $((${idle_fps:-0} / 10 + 1))
xdotool mousemove --window "$PANEL" $THUMB
sleep 0.1
xdotool mousedown 1
sleep 0.1
xdotool mousemove --window "$PANEL" 120 170
sleep 0.1
xdotool mousemove --window "$PANEL" $THUMB_AT_75
sleep 0.1
xdotool mouseup 1
sleep 0.2
click_at "$PANEL" $CHECK_BOX
sleep 0.3
press "$(window_id 1)" Escape
wait_exit
check "Escape ends it with exit code 0 (got $EXIT_CODE)" test "$EXIT_CODE" = 0
state=$(cat "$LOG.out")
echo "     state: $state"
check "P + morphed p to 2" grep -q '^p=2.00 q=0.00 ' "$LOG.out"
check "dragging the torus thumb to 75 % set the radius near 3" \
  grep -Eq 'torus_radius=(2\.9[6-9]|3\.0[0-4]) ' "$LOG.out"
check "ticking the box switched environment mapping on" grep -q 'env_mapping=1$' "$LOG.out"

start_knot panel_track
wait_log 'created: windowed'
for _ in $(seq 50); do PANEL=$(panel_window); [[ -n $PANEL ]] && break; sleep 0.1; done
sleep 0.5
click_at "$PANEL" $TRACK_LEFT
sleep 0.3
"$XHELPER" close "$PANEL"
sleep 0.5
check "closing the panel removes it" test -z "$(panel_window)"
import -window "$(window_id 1)" "$WORK/turn1.png"
sleep 0.5
import -window "$(window_id 1)" "$WORK/turn2.png"
difference=$(compare -metric AE "$WORK/turn1.png" "$WORK/turn2.png" null: 2>&1)
check "the knot keeps turning without the panel ($difference pixels changed)" \
  test "${difference%%.*}" -gt 1000
press "$(window_id 1)" Escape
wait_exit
check "and Escape still ends it with exit code 0 (got $EXIT_CODE)" test "$EXIT_CODE" = 0
check "a click on the slider's track left the torus radius at 2.00" \
  grep -q 'torus_radius=2.00 ' "$LOG.out"

start_knot panel_open_at_exit
wait_log 'created: windowed'
for _ in $(seq 50); do [[ -n $(panel_window) ]] && break; sleep 0.1; done
click_at "$(panel_window)" $P_PLUS
sleep 0.5
"$XHELPER" close "$(window_id 1)"
wait_exit
check "closing the knot's window mid-morph, panel open, ends the demo (got $EXIT_CODE)" \
  test "$EXIT_CODE" = 0

echo "# the texture"
convert -size 64x48 xc:'#2040e0' "$WORK/blue sky.JPG"
convert -size 64x48 xc:'#e02020' "$WORK/red.jpg"
convert -size 64x48 xc:'#20e020' "$WORK/green.png"
printf 'not a jpeg at all' >"$WORK/broken.jpg"
start_knot texture
wait_log 'created: windowed'
W=$(window_id 1)
sleep 0.5
read -r r g b <<<"$(knot_colour "$W")"
check "the start-up texture is rust ($r $g $b)" is_rust "$r" "$g" "$b"
"$XHELPER" drop "$W" "$WORK/blue sky.JPG"
sleep 0.7
read -r r g b <<<"$(knot_colour "$W")"
check "a dropped .JPG with a space in its name becomes the texture ($r $g $b)" is_blue "$r" "$g" "$b"
"$XHELPER" drop "$W" "$WORK/green.png"
sleep 0.5
read -r r g b <<<"$(knot_colour "$W")"
check "a dropped .png is ignored ($r $g $b)" is_blue "$r" "$g" "$b"
check "and the log says so" grep -q 'green.png" (not a .jpg or .JPG name: ignored)' "$LOG"
"$XHELPER" drop "$W" "$WORK/broken.jpg"
sleep 0.5
read -r r g b <<<"$(knot_colour "$W")"
check "a file the codec cannot read changes nothing ($r $g $b)" is_blue "$r" "$g" "$b"
check "and its status text is printed" grep -q 'broken.jpg: Not JPEG' "$LOG"
mkfifo "$WORK/x.jpg"
"$XHELPER" drop "$W" "$WORK/x.jpg"
check "a dropped FIFO named x.jpg does not hang the demo" wait_log 'x.jpg: Invalid file name'
sleep 0.3
read -r r g b <<<"$(knot_colour "$W")"
check "and changes nothing ($r $g $b)" is_blue "$r" "$g" "$b"
"$XHELPER" drop "$W" "$WORK/red.jpg" "$WORK/blue sky.JPG"
sleep 0.7
read -r r g b <<<"$(knot_colour "$W")"
check "of several dropped files only the first is taken ($r $g $b)" is_red "$r" "$g" "$b"
press "$W" F1
wait_log 'created: full screen'
press "$(window_id 2)" F1
wait_log 'created: windowed' 2
W3=$(window_id 3)
sleep 0.5
read -r r g b <<<"$(knot_colour "$W3")"
check "F1 twice brings the rust back ($r $g $b)" is_rust "$r" "$g" "$b"
press "$W3" Escape
wait_exit
check "and the demo still ends with exit code 0 (got $EXIT_CODE)" test "$EXIT_CODE" = 0

echo "# full screen refused"
start_xvfb PLAIN_DISPLAY
export DISPLAY=$PLAIN_DISPLAY
start_knot refused_yes
wait_log 'created: windowed'
press "$(window_id 1)" F1
check "a display without 640x480 asks the question" \
  wait_log 'Blah: The Requested Fullscreen Mode Is Not Supported By'
check "the question is shown in a box titled Blah; Return answers Yes" answer_box Blah Return
check "Yes goes on in a window" wait_log 'created: windowed 640x480, screen 1280x1024' 2
press "$(window_id 2)" Escape
wait_exit
check "and Escape then ends it with exit code 0 (got $EXIT_CODE)" test "$EXIT_CODE" = 0

start_knot refused_no
wait_log 'created: windowed'
press "$(window_id 1)" F1
wait_log 'Blah: The Requested'
check "Escape answers No" answer_box Blah Escape
check "No says that the program will close" wait_log 'ERROR: Program Will Now Close.'
check "in a box titled ERROR" answer_box ERROR Return
wait_exit
check "the refused switch ends the demo with exit code 1 (got $EXIT_CODE)" test "$EXIT_CODE" = 1

echo "# the X server goes away"
# Both threads lose their connection at once: the demo must end with one
# message and exit status 1 every time, never a crash.
lost_codes=()
lost_messages=()
odd_try_log=
for try in $(seq 10); do
  start_xvfb LOST_DISPLAY
  XVFB_PID=${PIDS[-1]}
  export DISPLAY=$LOST_DISPLAY
  start_knot "lost$try"
  wait_log 'created: windowed'
  for _ in $(seq 50); do [[ -n $(panel_window) ]] && break; sleep 0.1; done
  sleep 0.2
  kill -TERM "$XVFB_PID"
  wait_exit
  lost_codes+=("$EXIT_CODE")
  lost_messages+=("$(grep -c 'connection to the X server was lost' "$LOG")")
  # A try that ends otherwise is the one to read when the check fails.
  [[ ${lost_messages[-1]} == 1 ]] || odd_try_log=$LOG
done
[[ -n ${odd_try_log:-} ]] && LOG=$odd_try_log
check "losing the X server ends the demo with exit code 1, ten times (${lost_codes[*]})" \
  test "${lost_codes[*]}" = "1 1 1 1 1 1 1 1 1 1"
check "with one message each time (${lost_messages[*]})" \
  test "${lost_messages[*]}" = "1 1 1 1 1 1 1 1 1 1"

echo "$PASSED passed, $FAILED failed"
((FAILED == 0))
