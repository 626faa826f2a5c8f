# SPDX-License-Identifier: GPL-2.0-or-later
# Where the systemd units and the udev rule go, for the install section of
# the root CMakeLists.txt: sets quenlyte_unit_dir and quenlyte_udev_rules_dir
# (each absolute, or relative to the install prefix).
#
# - The cache variables QUENLYTE_SYSTEMD_UNIT_DIR and QUENLYTE_UDEV_RULES_DIR,
#   when set, win.
# - Installing into the prefix that this machine's systemd.pc names (/usr: a
#   distribution package), the directories come from pkg-config, as the
#   distribution has them: systemd.pc's systemdsystemunitdir and udev.pc's
#   udevdir plus /rules.d (/lib/systemd/system and /lib/udev/rules.d on
#   Debian 12, /usr/lib/... where /usr is merged).
# - Otherwise (another prefix such as /usr/local or a staging directory, or
#   no pkg-config or no systemd.pc): lib/systemd/system under the prefix,
#   which systemd reads for /usr/local too.
# - The udev rule without udev.pc: beside the units' directory, the
#   systemd/system at its end replaced by udev/rules.d (Debian 12 ships
#   udev.pc in the package udev, which a build need not have); failing that,
#   lib/udev/rules.d under the prefix. udev reads rules only from /etc, /run,
#   /lib and /usr/lib.
set(QUENLYTE_SYSTEMD_UNIT_DIR "" CACHE STRING
  "Where the systemd units go: relative to the install prefix, or absolute; empty: from pkg-config (cmake/systemd_dirs.cmake)")
set(QUENLYTE_UDEV_RULES_DIR "" CACHE STRING
  "Where the udev rule for quenlyte5-ppdev.service goes: relative to the install prefix, or absolute; empty: from pkg-config (cmake/systemd_dirs.cmake)")

# first_dir(OUT FROM VALUE WHENCE [VALUE WHENCE]...): OUT is the first VALUE
# that is not empty, FROM its WHENCE (in the caller's scope).
function(first_dir out from)
  list(LENGTH ARGN count)
  math(EXPR last "${count} - 2")
  foreach(i RANGE 0 ${last} 2)
    list(GET ARGN ${i} value)
    if(NOT value STREQUAL "")
      math(EXPR i "${i} + 1")
      list(GET ARGN ${i} whence)
      set(${out} "${value}" PARENT_SCOPE)
      set(${from} "${whence}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
endfunction()

# A function, so that its working variables stay its own.
function(quenlyte_systemd_dirs)
  set(systemd_pc_unit_dir "")
  set(systemd_pc_prefix "")
  set(udev_pc_dir "")
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_get_variable(systemd_pc_unit_dir systemd systemdsystemunitdir)
    pkg_get_variable(systemd_pc_prefix systemd prefix)
    pkg_get_variable(udev_pc_dir udev udevdir)
  endif()
  string(REGEX REPLACE "(.)/+$" "\\1" install_prefix "${CMAKE_INSTALL_PREFIX}")
  if(systemd_pc_prefix STREQUAL "")
    set(systemd_pc_prefix "/usr")
  endif()
  # pkg-config's directories count only for the prefix that systemd.pc names.
  if(NOT install_prefix STREQUAL systemd_pc_prefix)
    set(systemd_pc_unit_dir "")
    set(udev_pc_dir "")
  endif()
  if(NOT udev_pc_dir STREQUAL "")
    string(APPEND udev_pc_dir "/rules.d")
  endif()

  first_dir(quenlyte_unit_dir unit_dir_from
    "${QUENLYTE_SYSTEMD_UNIT_DIR}" QUENLYTE_SYSTEMD_UNIT_DIR
    "${systemd_pc_unit_dir}" systemd.pc
    "lib/systemd/system" "under the prefix")
  set(beside_units "")
  if(quenlyte_unit_dir MATCHES "^(.*/)?systemd/system/*$")
    set(beside_units "${CMAKE_MATCH_1}udev/rules.d")
  endif()
  first_dir(quenlyte_udev_rules_dir udev_dir_from
    "${QUENLYTE_UDEV_RULES_DIR}" QUENLYTE_UDEV_RULES_DIR
    "${udev_pc_dir}" udev.pc
    "${beside_units}" "beside the units"
    "lib/udev/rules.d" "under the prefix")
  message(STATUS "quenlyte: systemd units: ${quenlyte_unit_dir} (${unit_dir_from}); "
    "udev rule: ${quenlyte_udev_rules_dir} (${udev_dir_from})")
  set(quenlyte_unit_dir "${quenlyte_unit_dir}" PARENT_SCOPE)
  set(quenlyte_udev_rules_dir "${quenlyte_udev_rules_dir}" PARENT_SCOPE)
endfunction()
quenlyte_systemd_dirs()
