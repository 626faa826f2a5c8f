# SPDX-License-Identifier: GPL-2.0-or-later
# The OpenRC service scripts and their conf.d files, filled from their
# templates in openrc/ (configure_file, @ONLY) with the defaults of
# cmake/defaults.cmake and the programs' directories. One script template
# serves quenlyte5 and quenlyte5-ppdev (the program is its one difference
# but for ppdev's module), one conf.d template both daemons.
# Used by cmake/static_archive.cmake; in script mode (cmake -P) as well.
include("${CMAKE_CURRENT_LIST_DIR}/defaults.cmake")

# quenlyte_openrc_files(SOURCE_DIR OUT_DIR SBINDIR): writes
# OUT_DIR/init.d/{quenlyte-linkd,quenlyte5,quenlyte5-ppdev} (mode 0755) and
# OUT_DIR/conf.d/ the same names, with the programs (the daemons and
# quenlyte-linkd) in SBINDIR, an absolute path.
function(quenlyte_openrc_files source_dir out_dir sbindir)
  set(QUENLYTE_SBINDIR "${sbindir}")
  set(staging "${out_dir}/.openrc-staging")
  file(MAKE_DIRECTORY "${out_dir}/init.d" "${out_dir}/conf.d" "${staging}")
  foreach(QUENLYTE_PROGRAM quenlyte-linkd quenlyte5 quenlyte5-ppdev)
    set(template "${QUENLYTE_PROGRAM}")
    if(QUENLYTE_PROGRAM STREQUAL "quenlyte5-ppdev")
      set(template quenlyte5)
    endif()
    configure_file("${source_dir}/openrc/${template}.in" "${staging}/${QUENLYTE_PROGRAM}" @ONLY)
    file(COPY "${staging}/${QUENLYTE_PROGRAM}" DESTINATION "${out_dir}/init.d"
      FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
      WORLD_READ WORLD_EXECUTE)
    configure_file("${source_dir}/openrc/${template}.confd.in"
      "${out_dir}/conf.d/${QUENLYTE_PROGRAM}" @ONLY)
  endforeach()
  file(REMOVE_RECURSE "${staging}")
endfunction()
