# Sourced by the test scripts: start_xvfb starts an Xvfb with a 1280x720x24
# screen (so the demo's fullscreen mode exists) on a free display, exports
# DISPLAY and leaves the server's process id in xvfb_pid for the caller to kill.
# The server is ready once it has written its display number; a busy machine
# may take a while, so the wait is long, and it ends at once if the server
# dies. Status 1 (and a line) when no server came.
start_xvfb() {
    local displayfile
    displayfile=$(mktemp)
    Xvfb -displayfd 4 -screen 0 1280x720x24 -nolisten tcp 4>"$displayfile" 2>"$displayfile.log" &
    xvfb_pid=$!
    for _ in $(seq 1200); do
        [ -s "$displayfile" ] && break
        kill -0 "$xvfb_pid" 2>/dev/null || break
        sleep 0.05
    done
    if [ ! -s "$displayfile" ]; then
        echo "xvfb: Xvfb did not start: $(tail -n 3 "$displayfile.log" 2>/dev/null | tr '\n' ' ')" >&2
        kill "$xvfb_pid" 2>/dev/null
        rm -f "$displayfile" "$displayfile.log"
        return 1
    fi
    export DISPLAY=":$(head -n1 "$displayfile")"
    rm -f "$displayfile" "$displayfile.log"
}
