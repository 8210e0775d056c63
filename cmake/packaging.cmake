# A Debian package of what `cmake --install` puts on a board:
#   cpack -G DEB      (in the build folder)
# for the build's target architecture, native or cross.

set(CPACK_PACKAGE_NAME mevrakt)
set(CPACK_PACKAGE_VENDOR "mevraKT")
set(CPACK_PACKAGE_CONTACT "mevraKT developers <mevrakt@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "gateway between serial electricity meters (NBR 14522) and an AMR head-end")
set(CPACK_PACKAGE_DESCRIPTION "mevraktd joins up to two electricity meters, each on a serial line and
read with NBR 14522, to an AMR head-end that reaches each meter through a
TCP port of its own. mevraktsh prints a running daemon's channel status,
its recent protocol events and its metrics; mevrakt-textfile hands these to
node_exporter's textfile collector (mevrakt-textfile.timer).
The field tools mevrakt-meter-sim and mevrakt-read play a meter and the AMR
side. Settings: /opt/mevraKT/etc/settings.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)

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
# binaries to that.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34)")

# The settings and the init script are the operator's once installed:
# upgrades keep their changes.
set(deb_control ${CMAKE_BINARY_DIR}/debian-control)
file(WRITE ${deb_control}/conffiles "/etc/init.d/mevraktd\n/opt/mevraKT/etc/settings\n")
configure_file(${PROJECT_SOURCE_DIR}/dist/debian/postinst ${deb_control}/postinst COPYONLY)
configure_file(${PROJECT_SOURCE_DIR}/dist/debian/prerm ${deb_control}/prerm COPYONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${deb_control}/conffiles ${deb_control}/postinst ${deb_control}/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
