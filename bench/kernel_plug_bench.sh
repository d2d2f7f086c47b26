#!/usr/bin/env bash
# How fast a plugged modem is served on Debian 12's own kernel: ten plugs of a CDC ACM modem
# made by dummy_hcd and a configfs gadget, each timed from the gadget's bind to smsd started with
# the modem in its configuration, with where the time goes (udev, the wake-up window, the pass,
# smstools' stop and start). The box runs under QEMU, mostly emulated: the figures are an
# emulated CPU's. A benchmark: it prints figures and judges nothing.
#   bench/kernel_plug_bench.sh PACKAGE.deb MODEM_SIM_BINARY
set -euo pipefail
exec "$(dirname "$0")/../tests/box/kernel_box.sh" "$1" "$2" bench
