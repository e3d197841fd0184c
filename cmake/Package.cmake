# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian package: `make package` (or cpack in a build folder) turns an
# installation below /usr into kvopanoramics_<version>_amd64.deb.
#
# Its Depends are worked out from the shared libraries the programs and the
# window's module need (dpkg-shlibdeps, in PackageDepends.cmake), plus
# mtools, which edits disk images. FFmpeg's libraries are only recommended:
# the movie and sound readers load their module on first use, and
# everything else runs without it.

# Manual pages go in compressed, as Debian wants them.
set(KVO_MAN_PAGES kvo.1 kvopanoramics.1)
set(KVO_MAN_GZ)
foreach(page ${KVO_MAN_PAGES})
  set(gz ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/docs/man/${page} > ${gz}
    DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/${page} VERBATIM)
  list(APPEND KVO_MAN_GZ ${gz})
endforeach()
set(KVO_CHANGELOG_GZ ${CMAKE_BINARY_DIR}/man/changelog.gz)
add_custom_command(OUTPUT ${KVO_CHANGELOG_GZ}
  COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/data/debian/changelog > ${KVO_CHANGELOG_GZ}
  DEPENDS ${CMAKE_SOURCE_DIR}/data/debian/changelog VERBATIM)
add_custom_target(kvo_install_data ALL DEPENDS ${KVO_MAN_GZ} ${KVO_CHANGELOG_GZ})

install(FILES ${KVO_MAN_GZ} DESTINATION share/man/man1)
install(FILES data/kvopanoramics.metainfo.xml DESTINATION share/metainfo
        RENAME io.github.kvopanoramics.KvoPanoramics.metainfo.xml)
install(FILES data/kvopanoramics-mime.xml DESTINATION share/mime/packages
        RENAME kvopanoramics.xml)
install(FILES data/kvo.bash-completion DESTINATION share/bash-completion/completions
        RENAME kvo)
install(FILES data/icons/kvopanoramics-48.png DESTINATION share/icons/hicolor/48x48/apps
        RENAME kvopanoramics.png)
install(FILES data/icons/kvopanoramics-256.png DESTINATION share/icons/hicolor/256x256/apps
        RENAME kvopanoramics.png)
install(FILES data/debian/copyright ${KVO_CHANGELOG_GZ} DESTINATION share/doc/kvopanoramics)

# The package is made of what the build made (`make package` builds
# first); packing it must not build every test and fuzzer again.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kvopanoramics)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGE_CONTACT "KvoPanoramics maintainers <maintainers@users.noreply.c-seed-17cc0268.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "manager of the startup and shutdown logos of Windows 95 and 98")
# The summary above is the first line of the Description; this is the rest
# (CPack indents it and marks the empty line).
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"KvoPanoramics manages the three full-screen logo pictures of Windows 95
and 98 (logo.sys, logow.sys and logos.sys) from a Linux desktop, on a
mounted drive or in the disk image of an emulator or virtual machine.

It keeps a store of logo pictures imported from many picture and movie
formats, writes them as logos with a message and the Startup colour bar
animation, puts random logos in place at every session start, backs up
and restores the original logos, and packs pictures into gallery files.
The command-line companion kvo offers the same for scripts.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/PackageDepends.cmake)
include(CPack)
