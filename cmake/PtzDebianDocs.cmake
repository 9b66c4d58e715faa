# The two files Debian wants in /usr/share/doc/<package>: the copyright (the licence in the
# machine-readable form) and the changelog, compressed. The changelog names the version being
# built, so that it always agrees with the package's.
set(PTZ_DEBIAN_DOC_DIR ${PROJECT_BINARY_DIR}/debian-doc)
file(MAKE_DIRECTORY ${PTZ_DEBIAN_DOC_DIR})

file(READ ${PROJECT_SOURCE_DIR}/LICENSE PTZ_LICENSE_TEXT)
# In the copyright format a licence text is indented one space, and a blank line is " .".
string(REGEX REPLACE "\n$" "" PTZ_LICENSE_TEXT "${PTZ_LICENSE_TEXT}")
string(REGEX REPLACE "\n\n" "\n.\n" PTZ_LICENSE_TEXT "${PTZ_LICENSE_TEXT}")
string(REGEX REPLACE "\n" "\n " PTZ_LICENSE_TEXT "${PTZ_LICENSE_TEXT}")
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _ "${PTZ_LICENSE_TEXT}")
set(PTZ_COPYRIGHT_HOLDERS "${CMAKE_MATCH_1}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian-copyright.in ${PTZ_DEBIAN_DOC_DIR}/copyright @ONLY)

# string(TIMESTAMP) formats SOURCE_DATE_EPOCH when it is set.
set(_ptz_saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
set(ENV{SOURCE_DATE_EPOCH} "${PTZ_SOURCE_DATE_EPOCH}")
string(TIMESTAMP PTZ_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${_ptz_saved_epoch}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian-changelog.in ${PTZ_DEBIAN_DOC_DIR}/changelog
    @ONLY)
add_custom_command(OUTPUT ${PTZ_DEBIAN_DOC_DIR}/changelog.gz
    COMMAND gzip -9nkf ${PTZ_DEBIAN_DOC_DIR}/changelog
    DEPENDS ${PTZ_DEBIAN_DOC_DIR}/changelog
    VERBATIM)
add_custom_target(ptz_debian_docs ALL DEPENDS ${PTZ_DEBIAN_DOC_DIR}/changelog.gz)

install(FILES ${PTZ_DEBIAN_DOC_DIR}/copyright ${PTZ_DEBIAN_DOC_DIR}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
