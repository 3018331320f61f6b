#!/bin/bash
# The init of a throw-away host for the real-NetworkManager tests. It runs as PID 1 of fresh
# mount, network and PID namespaces (the harness makes them and keeps mounts private), and:
#   - hides the host's state: /etc, /var and /usr become overlays with a tmpfs upper layer, and
#     tmpfs goes on /run, /tmp and every directory the program or NetworkManager writes;
#   - mounts a fresh read-only sysfs, so NetworkManager does not wait for udev (which does not
#     run here) and manages the veth uplinks;
#   - builds a LAN: veth pairs eth1..eth3 whose peers sit on a bridge with a DHCP server in a
#     second network namespace;
#   - starts a private system bus and NetworkManager, and waits until both answer.
# Then it answers one-line requests on standard input ("restart-nm", "stop"), each with one line
# "ok" or "error <why>". At "stop" or at the end of its input it stops every daemon it started,
# by PID, and exits; the kernel removes the namespaces with it.
#
# Usage: world.sh SHIM PROGRAM SAVED_CONFIG
#   SHIM: the logging stand-in that becomes nmcli, ip, virsh and systemctl;
#   PROGRAM: the built quillmar, copied to /run/qm/quillmar;
#   SAVED_CONFIG: the text of /etc/quillmar/config.json.
# Both are opened before any mount, so they are found wherever they were built (even under
# /tmp or /run, which get a tmpfs here).
set -u
exec 3<"$1" 4<"$2" || { printf 'error cannot open %s and %s\n' "$1" "$2"; exit 1; }
Q=/run/qm
LAN_NET=192.0.2            # documentation range: only ever lives inside these namespaces
UPLINKS="eth1 eth2 eth3"

say() { printf '%s\n' "$*"; }
fail() { say "error $*"; exit 1; }

pid_dbus= pid_nm= pid_dhcp=

# --- file system --------------------------------------------------------------------------
mount --make-rprivate / || fail "cannot make mounts private"
mount -t proc -o nosuid,nodev,noexec proc /proc || fail "cannot mount /proc"
mount -t tmpfs -o mode=755 tmpfs /run || fail "cannot mount tmpfs on /run"
for d in etc var usr; do
    mkdir -p "$Q/ov/$d/up" "$Q/ov/$d/work"
    mount -t overlay overlay -o "lowerdir=/$d,upperdir=$Q/ov/$d/up,workdir=$Q/ov/$d/work" "/$d" ||
        fail "cannot put an overlay on /$d"
done
for d in /tmp /var/log /var/lib/quillmar /etc/quillmar /etc/systemd/system /usr/lib/systemd/system \
    /etc/NetworkManager/system-connections /var/lib/NetworkManager /var/lib/dhcp; do
    mkdir -p "$d" && mount -t tmpfs -o mode=755 tmpfs "$d" || fail "cannot mount tmpfs on $d"
done
chmod 1777 /tmp
# A minimal saved configuration, so that no run starts with a first-run backup; a test of the
# first run removes it.
printf '%s\n' "$3" >/etc/quillmar/config.json || fail "cannot write the saved configuration"
mount -t sysfs -o ro,nosuid,nodev,noexec sysfs /sys || fail "cannot mount a read-only sysfs"

mkdir -p "$Q/bin" "$Q/home" "$Q/nm/conf.d" "$Q/nm/system.d" "$Q/dbus" "$Q/lan" /run/dbus
cat <&3 >"$Q/shim" && cat <&4 >"$Q/quillmar" && chmod 755 "$Q/shim" "$Q/quillmar" ||
    fail "cannot copy the stand-in and the program"
exec 3<&- 4<&-
for tool in nmcli ip virsh systemctl; do ln -s "$Q/shim" "$Q/bin/$tool"; done
: >"$Q/calls"

# --- LAN ----------------------------------------------------------------------------------
ip link set lo up || fail "cannot bring up lo"
ip netns add lan || fail "cannot make the LAN namespace"
ip -n lan link set lo up
ip -n lan link add br0 type bridge || fail "cannot make the LAN bridge"
ip -n lan addr add "$LAN_NET.1/24" dev br0
ip -n lan link set br0 up
n=0
for dev in $UPLINKS; do
    n=$((n + 1))
    ip link add "$dev" address "52:54:00:5e:00:0$n" type veth peer name "lan$n" netns lan ||
        fail "cannot make the veth pair $dev"
    ip -n lan link set "lan$n" master br0 up
done
ip netns exec lan /usr/sbin/dnsmasq --keep-in-foreground --conf-file=/dev/null --port=0 \
    --interface=br0 --bind-interfaces --dhcp-range="$LAN_NET.100,$LAN_NET.199,255.255.255.0,1h" \
    --dhcp-leasefile="$Q/lan/leases" --pid-file="$Q/lan/dnsmasq.pid" --user=root --group=root \
    </dev/null >"$Q/lan/dnsmasq.log" 2>&1 &
pid_dhcp=$!

# --- system bus ---------------------------------------------------------------------------
cat >"$Q/dbus/system.conf" <<'EOF'
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=/run/dbus/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
    <allow eavesdrop="true"/>
  </policy>
</busconfig>
EOF
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/dbus/system_bus_socket
/usr/bin/dbus-daemon --nofork --nopidfile --config-file="$Q/dbus/system.conf" \
    </dev/null >"$Q/dbus/log" 2>&1 &
pid_dbus=$!

# --- NetworkManager -----------------------------------------------------------------------
cat >"$Q/nm/NetworkManager.conf" <<'EOF'
[main]
plugins=keyfile
no-auto-default=*
dns=none
rc-manager=unmanaged
auth-polkit=false
dhcp=internal

[logging]
level=INFO
EOF

# --debug: stays in the foreground and logs to stderr (no syslog runs here).
start_nm() {
    /usr/sbin/NetworkManager --debug --config="$Q/nm/NetworkManager.conf" --config-dir="$Q/nm/conf.d" \
        --system-config-dir="$Q/nm/system.d" --pid-file="$Q/nm/NetworkManager.pid" \
        </dev/null >>"$Q/nm/log" 2>&1 &
    pid_nm=$!
}

# Bounded: 30 s at most.
wait_nm() {
    local i
    for ((i = 0; i < 300; i++)); do
        kill -0 "$pid_nm" 2>/dev/null || { say "error NetworkManager exited: $(tail -n 3 "$Q/nm/log" | tr '\n' ' ')"; return 1; }
        if [ "$(/usr/bin/nmcli -t -f RUNNING general status 2>/dev/null)" = running ] &&
            /usr/bin/nm-online -s -q -t 0 >/dev/null 2>&1; then
            # Every uplink managed and with carrier: ready for a profile.
            local devs ready=1 dev
            devs=$(/usr/bin/nmcli -t -f DEVICE,STATE device status 2>/dev/null)
            for dev in $UPLINKS; do
                grep -q "^$dev:" <<<"$devs" && ! grep -qE "^$dev:(unmanaged|unavailable)" <<<"$devs" || ready=0
            done
            [ $ready = 1 ] && return 0
        fi
        sleep 0.1
    done
    say "error NetworkManager not ready within 30 s: $(/usr/bin/nmcli -t device status 2>&1 | tr '\n' ' ')"
    return 1
}

# Stops one daemon by PID: TERM, then KILL after 10 s.
stop_pid() {
    local pid=$1 i
    [ -n "$pid" ] || return 0
    kill -TERM "$pid" 2>/dev/null || return 0
    for ((i = 0; i < 100; i++)); do
        kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null; return 0; }
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
}

teardown() {
    stop_pid "$pid_nm"
    stop_pid "$pid_dbus"
    stop_pid "$pid_dhcp"
    ip netns delete lan 2>/dev/null
}

# Bounded: 10 s for the bus socket.
for ((i = 0; i < 100; i++)); do
    [ -S /run/dbus/system_bus_socket ] && break
    kill -0 "$pid_dbus" 2>/dev/null || break
    sleep 0.1
done
[ -S /run/dbus/system_bus_socket ] || { teardown; fail "the system bus did not start: $(tr '\n' ' ' <"$Q/dbus/log")"; }
kill -0 "$pid_dhcp" 2>/dev/null || { teardown; fail "dnsmasq did not start: $(tr '\n' ' ' <"$Q/lan/dnsmasq.log")"; }

start_nm
wait_nm || { teardown; exit 1; }
say ready

while IFS= read -r request; do
    case $request in
    restart-nm)
        stop_pid "$pid_nm"
        start_nm
        wait_nm && say ok
        ;;
    stop) break ;;
    *) say "error unknown request: $request" ;;
    esac
done
teardown
