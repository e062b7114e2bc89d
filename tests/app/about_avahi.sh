#!/bin/sh
# Runs the Find computer test against a real Avahi daemon: in a network and
# mount namespace of its own (a veth pair with a 10.x address, nothing leaves
# the namespace), with a private system bus. Exit 77 (skipped) where
# namespaces cannot be made or the daemons are missing.
# Usage: about_avahi.sh TEST-PROGRAM
set -u
program=$1

if [ "${AMBREL_IN_NAMESPACE:-}" != 1 ]; then
    command -v unshare >/dev/null && command -v avahi-daemon >/dev/null && command -v dbus-daemon >/dev/null \
        && command -v ip >/dev/null || exit 77
    unshare --net --mount true 2>/dev/null || exit 77
    AMBREL_IN_NAMESPACE=1 exec unshare --net --mount sh "$0" "$program"
fi

scratch=$(mktemp -d)
daemons=""
finish() {
    for pid in $daemons; do kill "$pid" 2>/dev/null; done
    for pid in $daemons; do wait "$pid" 2>/dev/null; done
    rm -rf "$scratch"
}
trap finish EXIT

ip link set lo up
ip link add amb0 type veth peer name amb1 || exit 77
ip link set amb0 multicast on up
ip link set amb1 up
ip addr add 10.213.0.1/24 dev amb0
# The daemon's pid file lives under /run, its static hosts and services under
# /etc/avahi: give this namespace its own.
mount -t tmpfs tmpfs /run || exit 77
mount -t tmpfs tmpfs /etc/avahi || exit 77
mkdir /etc/avahi/services
# A second computer: one service announced for a host of its own.
echo "10.213.0.2 other-host.local" > /etc/avahi/hosts
cat > /etc/avahi/services/ambrel.service <<CONF
<?xml version="1.0" standalone='no'?>
<!DOCTYPE service-group SYSTEM "avahi-service.dtd">
<service-group>
  <name>Ambrel intercom</name>
  <service>
    <type>_ambrel._udp</type>
    <port>5007</port>
    <host-name>other-host.local</host-name>
  </service>
</service-group>
CONF
export AMBREL_AVAHI_SERVICE=/etc/avahi/services/ambrel.service

cat > "$scratch/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$scratch/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
CONF
cat > "$scratch/avahi.conf" <<CONF
[server]
host-name=ambrel-test-host
use-ipv4=yes
use-ipv6=no
allow-interfaces=amb0
enable-dbus=yes
[publish]
publish-workstation=yes
CONF

dbus-daemon --config-file="$scratch/bus.conf" --nofork >"$scratch/dbus.log" 2>&1 &
daemons="$!"
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$scratch/bus"
i=0
while [ ! -S "$scratch/bus" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
avahi-daemon --no-chroot --no-drop-root -f "$scratch/avahi.conf" >"$scratch/avahi.log" 2>&1 &
daemons="$daemons $!"
i=0
while ! grep -q "Server startup complete" "$scratch/avahi.log" && [ $i -lt 200 ]; do sleep 0.1; i=$((i + 1)); done
if ! grep -q "Server startup complete" "$scratch/avahi.log"; then
    cat "$scratch/avahi.log"
    exit 1
fi

QT_QPA_PLATFORM=offscreen "$program"
