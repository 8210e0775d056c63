# SPDX-License-Identifier: MIT
# A Debian package of what `cmake --install` puts on a board:
#   cpack -G DEB      (in the build folder)
# for the build's target architecture, native or cross. It is built as
# debhelper would build it (maintainer scripts, stripping, documentation),
# without a debian/ source tree, so that every build folder, cross or
# native, makes its package with the tools the build already needs.

# Where the package's users write to. Set it for a fleet's own packages.
set(MEVRAKT_MAINTAINER "mevraKT developers <mevrakt@example.org>" CACHE STRING
    "Maintainer field of the Debian package")

set(CPACK_PACKAGE_NAME mevrakt)
set(CPACK_PACKAGE_VENDOR "mevraKT")
set(CPACK_PACKAGE_CONTACT "${MEVRAKT_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "gateway between serial electricity meters (NBR 14522) and an AMR head-end")
set(CPACK_PACKAGE_DESCRIPTION "mevraktd joins up to two electricity meters, each on a serial line and
read with NBR 14522, to an AMR head-end that reaches each meter through a
TCP port of its own. mevraktsh prints a running daemon's channel status,
its recent protocol events and its metrics; mevrakt-textfile hands these to
node_exporter's textfile collector (mevrakt-textfile.timer).
The field tools mevrakt-meter-sim and mevrakt-read play a meter and the AMR
side. Settings: /opt/mevraKT/etc/settings.")
# The Debian revision of the package, 1 for each new version: the top entry
# of dist/debian/changelog names the same, which the package check holds.
set(CPACK_DEBIAN_PACKAGE_RELEASE "1~bookworm")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# The package installs under /usr whatever this build's prefix is. Files
# under /etc and /opt go to their absolute places inside the package, which
# takes installing into a staging DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)

# dpkg's own name for the build's target, which cross builds do not share
# with the machine that makes the package.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm" AND CMAKE_CXX_COMPILER MATCHES "gnueabihf")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armel)
endif()

# The programs and the field tools need the C library alone (and, through
# it, libgcc_s for thread cancellation). scripts/check-package.sh holds the
# binaries to that. The maintainer scripts call invoke-rc.d with
# --skip-systemd-native, new in init-system-helpers 1.54, from prerm too.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34)")
set(CPACK_DEBIAN_PACKAGE_PREDEPENDS "init-system-helpers (>= 1.54~)")

# The licence, and the README as the documentation of the package's files,
# go wherever the programs are installed; compressed as Debian ships them
# (gzip -9n: no name or time inside, the same file from the same text).
set(doc_dir ${CMAKE_BINARY_DIR}/doc)
add_custom_command(
  OUTPUT ${doc_dir}/README.md.gz ${doc_dir}/changelog.Debian.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${doc_dir}
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/README.md ${doc_dir}/README.md
  COMMAND ${MEVRAKT_GZIP} -9nf ${doc_dir}/README.md
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/dist/debian/changelog ${doc_dir}/changelog.Debian
  COMMAND ${MEVRAKT_GZIP} -9nf ${doc_dir}/changelog.Debian
  DEPENDS ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/dist/debian/changelog
  VERBATIM)
add_custom_target(package-docs ALL DEPENDS ${doc_dir}/README.md.gz ${doc_dir}/changelog.Debian.gz)
install(FILES ${PROJECT_SOURCE_DIR}/dist/debian/copyright ${doc_dir}/README.md.gz
        DESTINATION share/doc/mevrakt)

# The settings and the init script are the operator's once installed:
# upgrades keep their changes.
set(deb_control ${CMAKE_BINARY_DIR}/debian-control)
file(WRITE ${deb_control}/conffiles "/etc/init.d/mevraktd\n/opt/mevraKT/etc/settings\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${deb_control}/conffiles)
foreach(script preinst postinst prerm postrm)
  configure_file(${PROJECT_SOURCE_DIR}/dist/debian/${script} ${deb_control}/${script} COPYONLY)
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${deb_control}/${script})
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# What only the Debian package carries, added to its staging tree before it
# is packed: the Debian changelog and lintian's overrides, and the programs
# stripped as dh_strip strips them (no symbols, no .comment or .note).
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/debian-staging.cmake)
set(CPACK_MEVRAKT_STRIP ${CMAKE_STRIP})
set(CPACK_MEVRAKT_CHANGELOG ${doc_dir}/changelog.Debian.gz)
set(CPACK_MEVRAKT_OVERRIDES ${PROJECT_SOURCE_DIR}/dist/debian/lintian-overrides)

# The source release, for distributions that build from a tarball and pin
# its hash (Buildroot, Yocto, OpenWrt):
#   cmake --build BUILD --target package_source
# makes mevrakt-VERSION.tar.gz in BUILD: every file of the source tree under
# mevrakt-VERSION/, with the tests and their fuzz corpora, the docs and dist/,
# and without version control, CI, editor or build output (folders named
# build* at the top, and this build folder wherever it is).
# scripts/check-source-release.sh builds and tests it where no git is.
# The patterns are regular expressions, written once more into CPack's
# configuration: each backslash doubled for that too.
string(REGEX REPLACE "([][+.*()^$?|\\])" "\\\\\\\\\\1" source_dir_pattern "${PROJECT_SOURCE_DIR}")
string(REGEX REPLACE "([][+.*()^$?|\\])" "\\\\\\\\\\1" binary_dir_pattern "${PROJECT_BINARY_DIR}")
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_PACKAGE_FILE_NAME mevrakt-${PROJECT_VERSION})
set(CPACK_SOURCE_IGNORE_FILES
  "/\\\\.git$" "/\\\\.git/" "/\\\\.gitignore$" "/\\\\.gitattributes$"
  "^${source_dir_pattern}/\\\\.ci/" "^${source_dir_pattern}/build[^/]*/" "^${binary_dir_pattern}/"
  "/\\\\.cache/" "/compile_commands\\\\.json$" "/__pycache__/" "\\\\.pyc$" "~$" "\\\\.sw[op]$" "/\\\\.#")

include(CPack)
