# SPDX-License-Identifier: GPL-2.0-or-later
# The defaults of the installed services, written here and nowhere else by
# hand. cmake/install_units.cmake fills the systemd units (Environment=) and
# the files for /etc/default (each setting shown commented out with its
# default) from them; the man pages and the README point to those files.

# The six arguments of quenlyte5 and quenlyte5-ppdev (quenlyte5.service,
# quenlyte5-ppdev.service, /etc/default/quenlyte5); see quenlyte5(8).
set(QUENLYTE_DEFAULT_IN_MAX 1024) # full-scale inbound rate, KiB/s
set(QUENLYTE_DEFAULT_OUT_MAX 256) # full-scale outbound rate, KiB/s
set(QUENLYTE_DEFAULT_PORT 0) # 0 = 0x378, 1 = 0x278, 2 = 0x3BC, or the I/O address in decimal
set(QUENLYTE_DEFAULT_LEDS 16) # LEDs in the chain, half per direction
set(QUENLYTE_DEFAULT_MODE 2) # 1 dot, 2 bar
set(QUENLYTE_DEFAULT_RATE 10) # updates per second while online

# The arguments of quenlyte-linkd under quenlyte-linkd.service
# (/etc/default/quenlyte-linkd); see quenlyte-linkd(8). The PPPoE interface.
set(QUENLYTE_DEFAULT_LINKD_ARGS "--iface ppp0")
