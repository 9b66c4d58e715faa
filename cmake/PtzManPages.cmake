# Manual pages made from the programs' own --help and --version by help2man at build time, so
# that they cannot fall out of step with the options. docs/man/<program>.h2m adds what --help
# does not say: examples, exit statuses, files and permissions.
find_program(PTZ_HELP2MAN help2man)
if(NOT PTZ_HELP2MAN)
    message(WARNING "help2man not found: no manual pages, and the Debian package lacks them; "
        "run scripts/install-deps.sh")
    return()
endif()

set(PTZ_MAN_DIR ${PROJECT_BINARY_DIR}/man)
file(MAKE_DIRECTORY ${PTZ_MAN_DIR})

function(_ptz_add_man_page program summary)
    set(page ${PTZ_MAN_DIR}/${program}.1)
    set(include ${PROJECT_SOURCE_DIR}/docs/man/${program}.h2m)
    add_custom_command(OUTPUT ${page}.gz
        COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8 COLUMNS=80
            SOURCE_DATE_EPOCH=${PTZ_SOURCE_DATE_EPOCH}
            ${PTZ_HELP2MAN} --no-info --section=1 --name=${summary}
            --include=${include} --output=${page} $<TARGET_FILE:${program}>
        # -n: no time stamp in the archive, so that equal pages give equal packages.
        COMMAND gzip -9nf ${page}
        DEPENDS ${program} ${include}
        COMMENT "Manual page of ${program} from its --help"
        VERBATIM)
    list(APPEND PTZ_MAN_PAGES ${page}.gz)
    set(PTZ_MAN_PAGES ${PTZ_MAN_PAGES} PARENT_SCOPE)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()

set(PTZ_MAN_PAGES)
_ptz_add_man_page(ptz-upgrade "load firmware into pan-tilt camera heads over a serial line")
_ptz_add_man_page(ptz-headsim "simulated pan-tilt camera head on a pseudo-terminal")
add_custom_target(ptz_man_pages ALL DEPENDS ${PTZ_MAN_PAGES})
