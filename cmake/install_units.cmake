# SPDX-License-Identifier: GPL-2.0-or-later
# Run by `cmake --install`: fills the systemd units and the files for
# /etc/default from their templates in systemd/ (configure_file, @ONLY) with
# the paths of this installation and the defaults of cmake/defaults.cmake,
# then installs them. It runs at install time, not at configure time, so that
# the units name the programs where this install puts them, also when the
# prefix is given as `cmake --install --prefix`; file(INSTALL) adds DESTDIR.
# Set by the install(CODE) before it: quenlyte_source_dir, quenlyte_staging
# (a directory in the build tree), quenlyte_unit_dir, quenlyte_sbindir,
# quenlyte_bindir, quenlyte_sysconfdir (each relative to the prefix, or
# absolute).
include("${quenlyte_source_dir}/cmake/defaults.cmake")

string(REGEX REPLACE "(.)/+$" "\\1" prefix "${CMAKE_INSTALL_PREFIX}")
foreach(kind unit_dir sbindir bindir sysconfdir)
  if(IS_ABSOLUTE "${quenlyte_${kind}}")
    set(full_${kind} "${quenlyte_${kind}}")
  elseif(kind STREQUAL "sysconfdir" AND prefix MATCHES "^/(usr)?$")
    # As GNUInstallDirs has it: the prefixes / and /usr keep their
    # configuration in /etc, not /usr/etc.
    set(full_${kind} "/${quenlyte_${kind}}")
  else()
    string(REGEX REPLACE "^/$" "" base "${prefix}")
    set(full_${kind} "${base}/${quenlyte_${kind}}")
  endif()
endforeach()

# The names the templates use.
set(QUENLYTE_SBINDIR "${full_sbindir}")
set(QUENLYTE_BINDIR "${full_bindir}")
set(QUENLYTE_DEFAULTS_DIR "${full_sysconfdir}/default")

file(MAKE_DIRECTORY "${quenlyte_staging}/default")
foreach(unit quenlyte-linkd.service quenlyte-linkd.socket quenlyte5.service quenlyte5-ppdev.service)
  configure_file("${quenlyte_source_dir}/systemd/${unit}.in" "${quenlyte_staging}/${unit}" @ONLY)
  file(INSTALL "${quenlyte_staging}/${unit}" DESTINATION "${full_unit_dir}")
endforeach()
# quenlyte-linkd's drop-in for each daemon unit, which ties the unit to
# quenlyte-linkd.service (the Debian package quenlyte-linkd ships them; the
# daemon units alone ask whichever service listens on 127.0.0.1:5000).
foreach(unit quenlyte5.service quenlyte5-ppdev.service)
  file(INSTALL "${quenlyte_source_dir}/systemd/daemon-with-linkd.conf"
    DESTINATION "${full_unit_dir}/${unit}.d" RENAME quenlyte-linkd.conf)
endforeach()
# Conffiles of the package: what the admin changes, each setting shown with
# its default.
foreach(name quenlyte5 quenlyte-linkd)
  configure_file("${quenlyte_source_dir}/systemd/${name}.default.in"
    "${quenlyte_staging}/default/${name}" @ONLY)
  file(INSTALL "${quenlyte_staging}/default/${name}" DESTINATION "${QUENLYTE_DEFAULTS_DIR}")
endforeach()
