# What a technician installs: the Debian package (native build: `--target package`) and the
# Windows zip (windows build: `--target package`). Included at the end of the top-level
# CMakeLists.txt, so that every program target, PtzUpgrade.exe's too, exists by now.
# Sanitizer builds are for tests only and ship nothing.
if(NOT PTZ_SANITIZE STREQUAL "")
    return()
endif()

set(PTZ_PACKAGE_MAINTAINER "The ptz-upgrade developers <ptz-upgrade@example.org>"
    CACHE STRING "Maintainer named in the Debian package and its changelog")

if(WIN32)
    # Everything in one folder: the programs start from wherever the zip was unpacked.
    set(PTZ_PACKAGED_PROGRAMS ptz-upgrade)
    if(TARGET PtzUpgrade)
        list(PREPEND PTZ_PACKAGED_PROGRAMS PtzUpgrade)
    endif()
    install(TARGETS ${PTZ_PACKAGED_PROGRAMS} RUNTIME DESTINATION .)
    # .txt, so that a double click opens them on any Windows.
    install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . RENAME README.txt)
    install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
else()
    include(GNUInstallDirs)
    install(TARGETS ptz-upgrade ptz-headsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
    include(${CMAKE_CURRENT_LIST_DIR}/PtzManPages.cmake)
    include(${CMAKE_CURRENT_LIST_DIR}/PtzDebianDocs.cmake)
endif()

set(CPACK_PACKAGE_NAME ptz-upgrade)
set(CPACK_PACKAGE_VENDOR "The ptz-upgrade developers")
set(CPACK_PACKAGE_VERSION "${PTZ_VERSION}")
set(CPACK_PACKAGE_CONTACT "${PTZ_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware loader for pan-tilt camera heads on a serial line")
# One string (separate arguments would make a list), lines within the 80 columns of Debian's
# description field.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "ptz-upgrade loads new firmware into pan-tilt camera heads over an RS-232 or\n"
    "RS-485 serial line. It switches each head into its upgrade mode with a Pelco-D\n"
    "or Pelco-P command, checks the connection and streams the image in checked\n"
    "frames, resending damaged ones, with progress, exit statuses for scripts and\n"
    "JSON events. Several heads on one bus and several buses in parallel are\n"
    "upgraded in one run.\n"
    "\n"
    "ptz-headsim simulates a head on a pseudo-terminal, for trying the loader, for\n"
    "tests and for training without a head attached; ptz-upgrade --port sim uses it\n"
    "built in.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/" "/out/" "/\\\\.cache/")

if(WIN32)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME "ptz-upgrade-${PTZ_VERSION}-win64")
else()
    set(CPACK_GENERATOR DEB)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PTZ_PACKAGE_MAINTAINER}")
    set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    # Depends from the libraries the programs actually link (libc6, libstdc++6, libgcc-s1).
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
