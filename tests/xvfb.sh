# Sourced by the test scripts: start_xvfb starts an Xvfb with a 1280x720x24
# screen (so the demo's fullscreen mode exists) on a free display, exports
# DISPLAY and leaves the server's process id in xvfb_pid for the caller to kill.
start_xvfb() {
    local displayfile
    displayfile=$(mktemp)
    Xvfb -displayfd 4 -screen 0 1280x720x24 -nolisten tcp 4>"$displayfile" &
    xvfb_pid=$!
    for _ in $(seq 50); do [ -s "$displayfile" ] && break; sleep 0.1; done
    export DISPLAY=":$(head -n1 "$displayfile")"
    rm -f "$displayfile"
}
