# SPDX-License-Identifier: GPL-2.0-or-later
# Run by `cmake --install`: installs the systemd units with the program paths
# of this installation. The units in systemd/ name /usr/local/sbin and
# /usr/local/bin; CMAKE_INSTALL_PREFIX is the prefix of this install (also
# when given as `cmake --install --prefix`); file(INSTALL) adds DESTDIR.
foreach(kind unit_dir sbindir bindir)
  if(IS_ABSOLUTE "${quenlyte_${kind}}")
    set(full_${kind} "${quenlyte_${kind}}")
  else()
    set(full_${kind} "${CMAKE_INSTALL_PREFIX}/${quenlyte_${kind}}")
  endif()
endforeach()
foreach(unit quenlyte-linkd.service quenlyte-linkd.socket quenlyte5.service quenlyte5-ppdev.service)
  file(READ "${quenlyte_unit_sources}/${unit}" text)
  string(REPLACE "/usr/local/sbin/" "${full_sbindir}/" text "${text}")
  string(REPLACE "/usr/local/bin/" "${full_bindir}/" text "${text}")
  file(WRITE "${quenlyte_unit_staging}/${unit}" "${text}")
  file(INSTALL "${quenlyte_unit_staging}/${unit}" DESTINATION "${full_unit_dir}")
endforeach()
