#!/usr/bin/env bash
# The one-command demo: the controller simulator with the bundled house scenario on a
# pseudo-terminal, and the server against it in a throw-away instance directory.
#   run-demo.sh BUILD_DIR            runs until Ctrl-C
#   ZEL_DEMO_SECONDS=N run-demo.sh   stops by itself after N seconds (used by the tests)
#   ZEL_DEMO_LINK=udp run-demo.sh    the network transport (UDP inside an AES-128 session) to the
#                                    simulator on 127.0.0.1 instead of the serial line
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
scenario="${ZEL_DEMO_SCENARIO:-$root/sim/scenarios/house.json}"
inst="$(mktemp -d /tmp/zelcommsrv-demo.XXXXXX)"
export ZELCOMMSRV_HOME="$inst"
zelctl() { "$build/cli/zelctl" --socket "$inst/zelbridge.sock" "$@"; }

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$inst"
}
trap cleanup EXIT
trap 'exit 0' INT TERM

# The server opens its serial line at the catalogue's device prefix followed by the port number
# (1): point the prefix into the instance directory, where the simulator places its link.
sed "s|^185 = .*|185 = $inst/ttyS|" "$root/resources/ZelCommSrvRes.DLL.txt" \
  > "$inst/ZelCommSrvRes.DLL.txt"

link="${ZEL_DEMO_LINK:-serial}"
udp_args=()
[ "$link" = udp ] && udp_args=(--udp 0)
"$build/sim/zelsim" --scenario "$scenario" --link "$inst/ttyS1" "${udp_args[@]}" \
  --control "$inst/sim.sock" --record "$inst/frames.txt" > "$inst/sim.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -e "$inst/ttyS1" ] && break; sleep 0.05; done
udp_port=""
if [ "$link" = udp ]; then
  for _ in $(seq 100); do
    udp_port="$(sed -n 's/^udp 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$inst/sim.out")"
    [ -n "$udp_port" ] && break
    sleep 0.05
  done
fi

# The bridge also listens on a free loopback port, which serves the web front end.
"$build/service/zelcommsrv" --instance "$inst" --port 0 --no-start 2> "$inst/server.log" &
pids+=($!)
for _ in $(seq 100); do [ -S "$inst/zelbridge.sock" ] && break; sleep 0.05; done
web_port=""
for _ in $(seq 100); do
  web_port="$(sed -n 's/.* and 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$inst/server.log" | head -1)"
  [ -n "$web_port" ] && break
  sleep 0.05
done

# The scenario's access code; the server keeps it in its stored configuration.
code="$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["controller"]["access_code"])' "$scenario")"
# A fresh store has no stored configuration, so Start keeps the code set here; SaveSetup then
# stores it with the transport's settings.
zelctl put AccessCode "$code" >/dev/null
if [ "$link" = udp ]; then
  # The network transport from the catalogue, pointed at the simulator (whose private key is the
  # transport's default), then handed to the server.
  net='CommHandlers.Item("Network (UDP)")'
  zelctl put "$net.Address" 127.0.0.1 >/dev/null
  zelctl put "$net.Port" "$udp_port" >/dev/null
  zelctl put CommunicationsHandler "@$net" >/dev/null || true
fi
zelctl call Start >/dev/null || true
zelctl call SaveSetup >/dev/null || true
printf 'Link         %s\n' "$(zelctl get CommunicationsHandler.Name || true)"
zelctl status || true
# The first of the scenario's user codes, to sign in to the page with.
read -r web_user web_code < <(python3 -c 'import json,sys; c=json.load(open(sys.argv[1]))["objects"]["codes"][0]; print(c["name"], c["code"])' "$scenario" 2>/dev/null || echo "? ?")

cat <<MSG

The demo server is running against the simulated controller (instance: $inst).
Try, in another terminal:
  export ZELCOMMSRV_HOME=$inst
  $build/cli/zelctl status
  $build/cli/zelctl list Zones
  $build/cli/zelctl get 'Zones.Item(3).CurrCondition'
  $build/cli/zelctl call 'Zones.Item(2).Bypass' $code
  $build/cli/zelctl call 'Units.Item(1).On'
  $build/cli/zelctl watch
The web front end: http://127.0.0.1:$web_port/Portico/ (sign in as $web_user, code $web_code).
The frames the simulator received are in $inst/frames.txt. Ctrl-C stops both.
MSG

if [ -n "${ZEL_DEMO_SECONDS:-}" ]; then
  sleep "$ZEL_DEMO_SECONDS"
else
  wait "${pids[1]}"
fi
