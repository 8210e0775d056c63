# SPDX-License-Identifier: MIT
# Run by cpack (CPACK_PRE_BUILD_SCRIPTS) on the staging tree of the Debian
# package, after the install and before the package is packed: see
# cmake/packaging.cmake.
# The source release has no such tree.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(root ${CPACK_TEMPORARY_INSTALL_DIRECTORY})
if(NOT EXISTS ${root}/usr/sbin/mevraktd)
  message(FATAL_ERROR "no staged package under ${root}")
endif()

foreach(program usr/sbin/mevraktd usr/bin/mevraktsh usr/bin/mevrakt-read usr/bin/mevrakt-meter-sim)
  execute_process(
    COMMAND ${CPACK_MEVRAKT_STRIP} --remove-section=.comment --remove-section=.note --strip-unneeded
            ${root}/${program}
    RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot strip ${program}")
  endif()
endforeach()

# Copied, not installed: cpack runs this with DESTDIR set to the staging
# tree, which an install would add once more.
configure_file(${CPACK_MEVRAKT_CHANGELOG} ${root}/usr/share/doc/mevrakt/changelog.Debian.gz COPYONLY)
configure_file(${CPACK_MEVRAKT_OVERRIDES} ${root}/usr/share/lintian/overrides/mevrakt COPYONLY)
