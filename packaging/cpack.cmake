# The Debian package "kozu-vxrclient-isp", built from this tree by CPack:
#   cpack --config <build>/CPackConfig.cmake -G DEB
# (scripts/package.sh does it). Its version is the project's version.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${VXR_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${VXR_PACKAGE_PREFIX})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "backup of the appliance's ZFS datasets to a backup server")
set(CPACK_PACKAGE_DESCRIPTION "The vxrclient service snapshots the appliance's ZFS datasets, sends them to a
backup server over ssh at the scheduled times, restores them on request and
reports its state to the management server. dsrecover restores datasets
without the service; hxcall sends one request to the service's socket, and
vxrstatus shows its settings, transfers with their progress and its log.")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "vxrbackup developers <vxrbackup@kozu.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the programs link come from dpkg-shlibdeps; the programs
# the service starts are listed here. zfs-fuse stands in for the kernel's
# ZFS where the latter is not packaged. script comes from bsdutils; it and
# bash are essential, so only the versions they must reach are stated
# ("script -e", "set -o pipefail").
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "zfsutils-linux | zfs-fuse, openssh-client, sshpass, pv, zstd, lz4, bsdutils (>= 1:2.21), bash (>= 3.0)")
# Status reports may go to an https address.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS ca-certificates)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/conffiles
  ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/postinst
  ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/prerm
  ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
