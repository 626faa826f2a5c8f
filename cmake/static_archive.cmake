# SPDX-License-Identifier: GPL-2.0-or-later
# Run by the target static-archive of the static build (preset static):
# packs the programs as they are built there, stripped, with the man pages,
# the licence, the OpenRC scripts (etc/init.d/, etc/conf.d/, for programs
# copied to /usr/sbin and /usr/bin as the README says) and the README for
# routers without systemd into
#   quenlyte-VERSION-x86_64-linux-static.tar.gz
# beside them in the build tree. Its top directory unpacks onto a prefix
# (sbin/, bin/, share/man/, share/quenlyte/); tests/system/archive/check_archive.sh checks it.
# Variables: version, source_dir, bin_dir, out_dir, strip.
set(name "quenlyte-${version}-x86_64-linux-static")
set(stage "${out_dir}/archive/${name}")
file(REMOVE_RECURSE "${out_dir}/archive")

# The daemon programs and quenlyte-linkd in sbin/ (system services), the
# tools in bin/, as `cmake --install` places them.
set(programs_sbin quenlyte5 quenlyte5-ppdev quenlyte-linkd)
set(programs_bin quenlyte5-sim quenlyte-sim)
foreach(dir sbin bin)
  file(MAKE_DIRECTORY "${stage}/${dir}")
  foreach(program IN LISTS programs_${dir})
    execute_process(COMMAND "${strip}" -o "${stage}/${dir}/${program}" "${bin_dir}/${program}"
      RESULT_VARIABLE stripped)
    if(NOT stripped EQUAL 0)
      message(FATAL_ERROR "static-archive: ${program}: strip failed")
    endif()
  endforeach()
endforeach()
file(INSTALL "${source_dir}/man/quenlyte5.8" "${source_dir}/man/quenlyte-linkd.8"
  DESTINATION "${stage}/share/man/man8")
file(INSTALL "${source_dir}/man/quenlyte-sim.1" DESTINATION "${stage}/share/man/man1")
file(INSTALL "${source_dir}/share/walk.script" DESTINATION "${stage}/share/quenlyte")
if(NOT EXISTS "${source_dir}/COPYING")
  message(FATAL_ERROR "static-archive: ${source_dir}/COPYING: missing")
endif()
file(INSTALL "${source_dir}/COPYING" DESTINATION "${stage}")
configure_file("${source_dir}/docs/router-without-systemd.md" "${stage}/README" COPYONLY)
include("${source_dir}/cmake/openrc_scripts.cmake")
quenlyte_openrc_files("${source_dir}" "${stage}/etc" /usr/sbin)

# One fixed time for every entry, so that the same build gives the same
# archive.
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar czf "${out_dir}/${name}.tar.gz" --format=gnutar
    "--mtime=1970-01-01 00:00:00 UTC" "${name}"
  WORKING_DIRECTORY "${out_dir}/archive" RESULT_VARIABLE packed)
if(NOT packed EQUAL 0)
  message(FATAL_ERROR "static-archive: ${out_dir}/${name}.tar.gz: tar failed")
endif()
message(STATUS "static-archive: ${out_dir}/${name}.tar.gz")
