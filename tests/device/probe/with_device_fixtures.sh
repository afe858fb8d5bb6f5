#!/usr/bin/env bash
# Runs a program with fixture files over the board's fact sources and a small LAN.
#
#   unshare -m -n -- bash with_device_fixtures.sh FIXTURES NETWORK PROGRAM [ARGS...]
#
# Must run in fresh mount and network namespaces (it refuses otherwise). Every mount is made
# in the private mount namespace and every link in the private network namespace, so nothing
# outside changes.
#
# FIXTURES holds, each optional (a missing one hides the real source behind an empty one):
#   firmware/        over /sys/firmware           (devicetree/base/model, .../serial-number)
#   thermal/         over /sys/class/thermal      (thermal_zoneN/temp)
#   cpu/             over /sys/devices/system/cpu (online, cpuN/cpufreq/..., cpufreq/policy0/...)
#   block/           over /sys/class/block        (mmcblkN/size)
#   uptime           over /proc/uptime
#   os-release       over /etc/os-release
# NETWORK: "ipv4" (IPv4 and IPv6 default routes), "ipv6" (IPv6 default route only),
#          "none" (no default route, veth0 with a link-local IPv6 address only).
set -euo pipefail
fixtures="$1"
network="$2"
shift 2

if [ "$(readlink /proc/self/ns/mnt)" = "$(readlink /proc/1/ns/mnt)" ] ||
   [ "$(readlink /proc/self/ns/net)" = "$(readlink /proc/1/ns/net)" ]; then
    echo "refusing to run outside private mount and network namespaces" >&2
    exit 99
fi
mount --make-rprivate /

# A sysfs of this network namespace, so /sys/class/net lists its own interfaces.
mount -t sysfs sysfs /sys

empty="$(mktemp -d)"
: > "$empty/file"
cover() {  # cover FIXTURE TARGET
    if [ -e "$fixtures/$1" ]; then
        mount --bind "$fixtures/$1" "$2"
    elif [ -d "$2" ]; then
        mount --bind "$empty" "$2"
    else
        mount --bind "$empty/file" "$2"
    fi
}
cover firmware /sys/firmware
cover thermal /sys/class/thermal
cover cpu /sys/devices/system/cpu
cover block /sys/class/block
cover uptime /proc/uptime
cover os-release /etc/os-release

ip link set lo up
ip link add veth0 type veth peer name veth1
ip link set veth0 address dc:a6:32:01:02:03
ip link set veth0 up
ip link set veth1 up
ip -6 addr add fe80::1/64 dev veth0 nodad
case "$network" in
    ipv4)
        ip addr add 192.168.50.10/24 dev veth0
        ip -6 addr add 2001:db8::5/64 dev veth0 nodad
        ip route add default via 192.168.50.1 dev veth0
        ip -6 route add default via 2001:db8::1 dev veth0
        ;;
    ipv6)
        ip addr add 192.168.50.10/24 dev veth0
        ip -6 addr add 2001:db8::5/64 dev veth0 nodad
        ip -6 route add default via 2001:db8::1 dev veth0
        ;;
    none) ;;
    *)
        echo "unknown network '$network'" >&2
        exit 2
        ;;
esac

exec "$@"
