#!/bin/bash
# A USB HID UPS 0665:5161 that the guest's own kernel enumerates as a real USB device: dummy_hcd
# is the gadget side and a virtual host controller in one kernel, usb_f_hid the HID function
# (configfs: one interface, unnumbered 8-byte input and output reports, a vendor usage page), and
# gw-test-hid-ups-responder answers the protocol on /dev/hidg0.
#   hid-gadget.sh up | down
# Never unbind the gadget while /dev/hidg0 is open: on Debian 12's kernel 6.1 that corrupts the
# character device list and the kernel hits a BUG when the holder exits. down stops the
# responder first.
set -euo pipefail
G=/sys/kernel/config/usb_gadget/gwups
case ${1:-up} in
down)
    systemctl stop gw-test-hid-ups-responder.service 2>/dev/null || true
    if [ -d $G ]; then
        echo "" >$G/UDC 2>/dev/null || true
        rm -f $G/configs/c.1/hid.usb0
        rmdir $G/configs/c.1/strings/0x409 $G/configs/c.1 $G/functions/hid.usb0 \
            $G/strings/0x409 $G 2>/dev/null || true
    fi
    exit 0
    ;;
up) ;;
*)
    echo "usage: hid-gadget.sh up|down" >&2
    exit 2
    ;;
esac
modprobe dummy_hcd
modprobe libcomposite
modprobe usb_f_hid
mountpoint -q /sys/kernel/config || mount -t configfs none /sys/kernel/config
mkdir -p $G $G/strings/0x409 $G/configs/c.1/strings/0x409 $G/functions/hid.usb0
echo 0x0665 >$G/idVendor
echo 0x5161 >$G/idProduct
echo 0x0110 >$G/bcdUSB
echo 0x0100 >$G/bcdDevice
echo "HIDSIM" >$G/strings/0x409/manufacturer
echo "UPS HID simulator" >$G/strings/0x409/product
echo "0001" >$G/strings/0x409/serialnumber
echo "UPS" >$G/configs/c.1/strings/0x409/configuration
echo 100 >$G/configs/c.1/MaxPower
echo 0 >$G/functions/hid.usb0/protocol
echo 0 >$G/functions/hid.usb0/subclass
echo 8 >$G/functions/hid.usb0/report_length
# Usage Page (Vendor FF00), Usage 1, Collection (Application), Logical 0..255, Report Size 8,
# Report Count 8, Usage 1, Input (Data,Var,Abs), Report Count 8, Usage 1, Output (Data,Var,Abs),
# End Collection. No Report ID: the reports are unnumbered.
printf '\x06\x00\xff\x09\x01\xa1\x01\x15\x00\x26\xff\x00\x75\x08\x95\x08\x09\x01\x81\x02\x95\x08\x09\x01\x91\x02\xc0' \
    >$G/functions/hid.usb0/report_desc
[ -e $G/configs/c.1/hid.usb0 ] || ln -s $G/functions/hid.usb0 $G/configs/c.1/
ls /sys/class/udc | head -n1 >$G/UDC
for _ in $(seq 1 50); do [ -e /dev/hidg0 ] && break; sleep 0.1; done
systemctl reset-failed gw-test-hid-ups-responder.service 2>/dev/null || true
systemd-run --unit=gw-test-hid-ups-responder --quiet \
    /usr/bin/python3 /usr/local/sbin/gw-test-hid-ups-responder /dev/hidg0
