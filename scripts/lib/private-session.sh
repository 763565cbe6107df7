# Sourced by the measuring scripts: a private dbus + pipewire + wireplumber in a temporary home,
# torn down (every process by its pid) when the script exits. Call start_private_session with the
# sinks' lines for context.objects; it sets $world, $pw, $wp and the XDG variables.
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill -TERM "${pids[i]}" 2>/dev/null; done
  sleep 1
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null; done
  rm -rf "$world"
}

null_sink() { # NAME [POSITIONS]
  echo "{ factory = adapter args = { factory.name = support.null-audio-sink node.name = \"$1\" media.class = \"Audio/Sink\" audio.position = [ ${2:-FL FR} ] audio.rate = 48000 priority.session = 2000 priority.driver = 2000 session.suspend-timeout-seconds = 0 } }"
}

start_private_session() { # SINK_LINES...
  world=$(mktemp -d "${TMPDIR:-/tmp}/kestrelamp-measure.XXXXXX")
  trap cleanup EXIT
  mkdir -p "$world"/{run,home,config/pipewire/pipewire.conf.d,data,state,cache}
  chmod 700 "$world/run"
  export HOME=$world/home XDG_RUNTIME_DIR=$world/run PIPEWIRE_RUNTIME_DIR=$world/run
  export XDG_CONFIG_HOME=$world/config XDG_DATA_HOME=$world/data XDG_STATE_HOME=$world/state
  export XDG_CACHE_HOME=$world/cache DBUS_SESSION_BUS_ADDRESS=unix:path=$world/run/bus
  unset PIPEWIRE_REMOTE PULSE_SERVER
  { echo "context.properties = { default.clock.rate = 48000 }"; echo "context.objects = ["
    printf '  %s\n' "$@"; echo "]"; } >"$world/config/pipewire/pipewire.conf.d/s.conf"
  setsid dbus-daemon --session --nofork --address="$DBUS_SESSION_BUS_ADDRESS" >/dev/null 2>&1 &
  pids+=($!)
  sleep 0.5
  setsid pipewire >/dev/null 2>&1 &
  pids+=($!)
  pw=$!
  sleep 1
  setsid wireplumber >/dev/null 2>&1 &
  pids+=($!)
  wp=$!
  sleep 2
}

# CPU ticks (user + system) a process has used.
ticks() { awk '{print $14+$15}' "/proc/$1/stat"; }
# The same for a process's main thread alone.
thread_ticks() { awk '{print $14+$15}' "/proc/$1/task/$1/stat"; }

wait_for_live_apps() { # PROGRAM COUNT
  local n=0
  for _ in $(seq 1 100); do
    n=$("$1" ctl status 2>/dev/null | jq '[.apps[] | select(.live == true)] | length' 2>/dev/null)
    [[ ${n:-0} -ge $2 ]] && break
    sleep 0.3
  done
  echo "live apps: ${n:-0}"
}
