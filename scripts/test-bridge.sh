#!/usr/bin/env bash
# Real traffic through the driver, as root: two network namespaces talk through two emulated
# adapters (`nicsim bridge`), each adapter's protocol side on a TAP interface inside one of them.
#   - ping: 50 echoes, none lost;
#   - iperf3: TCP for 5 s each way, with the default frame timing and with the full-speed USB
#     timing model, beside a plain user-space relay between the same two TAPs;
#   - a link taken down in the middle shows as carrier loss inside the namespace and comes back;
#   - one adapter whose cable's far end is a TAP answers pings too;
#   - every bridge halts clean (no violation, no leak) when told to stop.
# Usage: scripts/test-bridge.sh [NICSIM]   (default: build/default/tools/nicsim/nicsim, built
# with the default preset when missing). Prints a throughput table at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" != 0 ]; then
  echo "test-bridge: needs root (network namespaces, TAP interfaces)" >&2
  exit 2
fi

missing=()
for p in iperf3 iproute2 iputils-ping; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "test-bridge: installing ${missing[*]}" >&2
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

nicsim="${1:-build/default/tools/nicsim/nicsim}"
if [ ! -x "$nicsim" ]; then
  scripts/setup.sh default nicsim >/dev/null
fi

ns_a="nsbrA$$"
ns_b="nsbrB$$"
tap_a="brtap0"
tap_b="brtap1"
ip_a="10.77.0.1"
ip_b="10.77.0.2"
work="$(mktemp -d)"
bridge_pid=""
iperf_pid=""
passed=0
failed=0

cleanup() {
  set +e
  if [ -n "$bridge_pid" ] && kill -0 "$bridge_pid" 2>/dev/null; then
    kill -TERM "$bridge_pid"
    wait "$bridge_pid" 2>/dev/null
  fi
  if [ -n "$iperf_pid" ]; then kill "$iperf_pid" 2>/dev/null; fi
  ip netns del "$ns_a" 2>/dev/null
  ip netns del "$ns_b" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

ok() { echo "ok: $*"; passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }

in_a() { ip netns exec "$ns_a" "$@"; }
in_b() { ip netns exec "$ns_b" "$@"; }

ip netns add "$ns_a"
ip netns add "$ns_b"
in_a ip link set lo up
in_b ip link set lo up

# Waits (at most $3 seconds) until the carrier of interface $2 in namespace $1 reads $4.
wait_carrier() {
  local ns="$1" dev="$2" limit="$3" want="$4" i
  for ((i = 0; i < limit * 10; i++)); do
    if [ "$(ip netns exec "$ns" cat "/sys/class/net/$dev/carrier" 2>/dev/null)" = "$want" ]; then
      return 0
    fi
    sleep 0.1
  done
  return 1
}

wait_interface() {
  local ns="$1" dev="$2" i
  for ((i = 0; i < 100; i++)); do
    ip netns exec "$ns" test -e "/sys/class/net/$dev" && return 0
    if ! kill -0 "$bridge_pid" 2>/dev/null; then return 1; fi
    sleep 0.1
  done
  return 1
}

# Starts `nicsim bridge` with the given arguments, addresses the two interfaces and waits for
# their carrier. $1: a name for the log.
start_bridge() {
  local name="$1"
  shift
  "$nicsim" bridge "$@" >"$work/$name.log" 2>&1 &
  bridge_pid=$!
  if ! wait_interface "$ns_a" "$tap_a" || ! wait_interface "$ns_b" "$tap_b"; then
    cat "$work/$name.log"
    fail "$name: the TAP interfaces did not appear"
    return 1
  fi
  in_a ip addr add "$ip_a/24" dev "$tap_a"
  in_b ip addr add "$ip_b/24" dev "$tap_b"
  if ! wait_carrier "$ns_a" "$tap_a" 20 1 || ! wait_carrier "$ns_b" "$tap_b" 20 1; then
    cat "$work/$name.log"
    fail "$name: no carrier on the TAP interfaces"
    return 1
  fi
}

# Stops the bridge with SIGINT; it must halt clean and print its summary.
stop_bridge() {
  local name="$1" status=0
  kill -INT "$bridge_pid"
  wait "$bridge_pid" || status=$?
  bridge_pid=""
  if [ "$status" -eq 0 ] && grep -q "violations: 0, leaks: 0" "$work/$name.log"; then
    ok "$name: halted clean on SIGINT"
  else
    cat "$work/$name.log"
    fail "$name: exit status $status after SIGINT, or violations/leaks"
  fi
}

# TCP for 5 s from namespace A to B ($2 = "" ) or back (-R); prints the receiver's bytes/s.
iperf_rate() {
  local out
  out="$(in_a timeout 30 iperf3 -c "$ip_b" -t 5 -f k $1 2>&1)" || { echo "$out" >&2; echo 0; return; }
  echo "$out" | awk '/receiver/ { for (i = 1; i <= NF; i++) if ($i == "Kbits/sec") r = $(i - 1) }
                     END { if (r == "") r = 0; printf "%d\n", r * 1000 / 8 }'
}

declare -A rate
measure() {
  local name="$1" forward reverse
  forward="$(iperf_rate "")"
  reverse="$(iperf_rate "-R")"
  rate["$name A->B"]="$forward"
  rate["$name B->A"]="$reverse"
  if [ "$forward" -gt 10000 ] && [ "$reverse" -gt 10000 ]; then
    ok "$name: iperf3 TCP both ways ($forward and $reverse bytes/s)"
  else
    fail "$name: iperf3 TCP both ways ($forward and $reverse bytes/s)"
  fi
}

# One iperf3 server in B for every run; it listens on whatever address B has at the time.
in_b iperf3 -s -D --pidfile "$work/iperf3.pid" >/dev/null
sleep 0.5
iperf_pid="$(cat "$work/iperf3.pid" 2>/dev/null || true)"

# ---- two adapters, frame timing: ping, iperf3, a link flap ----
if start_bridge driver --tap "$tap_a@$ns_a" --tap "$tap_b@$ns_b"; then
  if in_a ping -c 50 -i 0.2 -W 2 -q "$ip_b" >"$work/ping.txt" 2>&1 &&
     grep -q " 50 received, 0% packet loss" "$work/ping.txt"; then
    ok "driver: 50 echoes, no loss ($(grep rtt "$work/ping.txt"))"
  else
    cat "$work/ping.txt"
    fail "driver: ping lost echoes"
  fi
  measure driver

  kill -USR1 "$bridge_pid"
  if wait_carrier "$ns_a" "$tap_a" 15 0 && wait_carrier "$ns_b" "$tap_b" 15 0; then
    if in_a ip link show "$tap_a" | grep -q NO-CARRIER; then
      ok "driver: link down shows as carrier loss (NO-CARRIER) in both namespaces"
    else
      fail "driver: carrier reads 0 but ip link does not say NO-CARRIER"
    fi
  else
    fail "driver: link down did not show as carrier loss"
  fi
  kill -USR2 "$bridge_pid"
  if wait_carrier "$ns_a" "$tap_a" 20 1 && wait_carrier "$ns_b" "$tap_b" 20 1; then
    ok "driver: carrier back after the link came up"
    if in_a ping -c 5 -i 0.2 -W 2 -q "$ip_b" >/dev/null 2>&1; then
      ok "driver: traffic flows again after the flap"
    else
      fail "driver: no traffic after the flap"
    fi
  else
    fail "driver: carrier did not come back"
  fi
  stop_bridge driver
  # Every frame the kernel handed over reached MiniportSend and was completed: the resources
  # answers the driver gave (it did run out of descriptors under iperf3) were retried, not dropped.
  for adapter in A B; do
    line="$(grep -E "^ +$adapter on " "$work/driver.log" || true)"
    sends="$(grep -E "^ +$adapter: sends " "$work/driver.log" || true)"
    echo "  $line"
    echo "  $sends"
    in="$(echo "$line" | sed -nE 's/.*from the kernel ([0-9]+) frames.*/\1/p')"
    completed="$(echo "$sends" | sed -nE 's/.*= completed ([0-9]+) .*/\1/p')"
    refused="$(echo "$sends" | sed -nE 's/.* refused ([0-9]+) .*/\1/p')"
    halted="$(echo "$sends" | sed -nE 's/.* given up ([0-9]+) .*/\1/p')"
    answers="$(echo "$sends" | sed -nE 's/.*times \(([0-9]+) answered resources.*/\1/p')"
    if [ -n "$in" ] && [ "$refused" = 0 ] && [ "$in" -eq $((completed + halted)) ] && [ "$answers" -gt 0 ]; then
      ok "driver: $adapter completed every frame from the kernel ($in) after $answers resources answers"
    else
      fail "driver: $adapter lost frames between its TAP and the miniport, or never ran out of descriptors"
    fi
  done
  # Every frame of the run is accounted for: each of the summary's accounts balances.
  if grep -q "does not balance" "$work/driver.log"; then
    fail "driver: an account does not balance: $(grep "does not balance" "$work/driver.log" | head -1)"
  else
    ok "driver: every account of the summary balances"
  fi
fi

# ---- two adapters on the full-speed USB timing model ----
if start_bridge full-speed --tap "$tap_a@$ns_a" --tap "$tap_b@$ns_b" --usb-timing full-speed; then
  measure full-speed
  stop_bridge full-speed
fi

# ---- no driver: a plain user-space relay between the same TAPs ----
if start_bridge relay --tap "$tap_a@$ns_a" --tap "$tap_b@$ns_b" --relay; then
  measure relay
  kill -INT "$bridge_pid"
  wait "$bridge_pid" || true
  bridge_pid=""
fi

# ---- one adapter, the far end of its cable a TAP in the other namespace ----
if start_bridge partner --tap "$tap_a@$ns_a" --partner-tap "$tap_b@$ns_b"; then
  if in_a ping -c 10 -i 0.2 -W 2 -q "$ip_b" >"$work/ping2.txt" 2>&1 &&
     grep -q " 10 received" "$work/ping2.txt"; then
    ok "partner: 10 echoes through one adapter to a TAP on the wire"
  else
    cat "$work/ping2.txt"
    fail "partner: ping lost echoes"
  fi
  stop_bridge partner
fi

echo
echo "iperf3 TCP, 5 s each way, receiver's rate in bytes per second (USB full-speed bulk ceiling 1216000):"
for key in "driver A->B" "driver B->A" "full-speed A->B" "full-speed B->A" "relay A->B" "relay B->A"; do
  printf "  %-16s %12s\n" "$key" "${rate[$key]:-n/a}"
done
echo
echo "bridge: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
