# SPDX-License-Identifier: GPL-3.0-or-later
# Run by CPack once the files are staged: Depends and Recommends of the
# package from the shared libraries its programs and modules link.
#
# The programs and the window's module make Depends; the FFmpeg module
# (libkvoav.so) makes Recommends, since the program runs without it and
# loads it only for movies and sounds. dpkg-shlibdeps drops from
# Recommends what Depends already names.

file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
set(needed)
set(optional)
foreach(f ${staged})
  if(f MATCHES "/lib/kvopanoramics/libkvoav\\.so$")
    list(APPEND optional ${f})
  elseif(f MATCHES "/(bin/kvo|bin/kvopanoramics|lib/kvopanoramics/libkvodesktop\\.so)$")
    list(APPEND needed ${f})
  endif()
endforeach()
if(NOT needed OR NOT optional)
  message(FATAL_ERROR "PackageDepends: programs or modules missing from ${CPACK_TEMPORARY_DIRECTORY}")
endif()

# dpkg-shlibdeps reads the package's name from a debian/control.
set(work "${CPACK_TOPLEVEL_DIRECTORY}/shlibdeps")
file(MAKE_DIRECTORY "${work}/debian")
file(WRITE "${work}/debian/control" "Source: kvopanoramics\n\nPackage: kvopanoramics\nArchitecture: any\n")
# The modules take the core from the program that loads them; those
# symbols are found in no library, which dpkg-shlibdeps would report.
execute_process(
  COMMAND dpkg-shlibdeps -O --warnings=0 -dDepends ${needed} -dRecommends ${optional}
  WORKING_DIRECTORY "${work}"
  OUTPUT_VARIABLE fields
  ERROR_VARIABLE complaints
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "PackageDepends: dpkg-shlibdeps failed (${rc}):\n${complaints}")
endif()
string(REGEX MATCH "shlibs:Depends=([^\n]*)" _ "${fields}")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CMAKE_MATCH_1}, mtools")
string(REGEX MATCH "shlibs:Recommends=([^\n]*)" _ "${fields}")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "${CMAKE_MATCH_1}")
# QEMU's storage daemon and FUSE open the container disk images (QCOW2,
# VDI, VMDK, VHDX, dynamic VHD); raw images and folders need neither.
if(CPACK_DEBIAN_PACKAGE_RECOMMENDS STREQUAL "")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, qemu-system-common, fuse3")
else()
  string(APPEND CPACK_DEBIAN_PACKAGE_RECOMMENDS ", xdg-utils, qemu-system-common, fuse3")
endif()
message(STATUS "Depends: ${CPACK_DEBIAN_PACKAGE_DEPENDS}")
message(STATUS "Recommends: ${CPACK_DEBIAN_PACKAGE_RECOMMENDS}")
