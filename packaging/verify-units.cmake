# Installs the build into a scratch root and checks what systemd will read
# there: `systemd-analyze verify` on the unit and on an instance of the
# template (the program must be where ExecStart= says), and a dry run of
# systemd-sysusers on the user entry. Any complaint about our files fails.
# Needs no running systemd. Called by CTest with BUILD_DIR, UNIT_DIR and
# SYSUSERS_DIR (absolute, as installed) and the two programs.
set(root "${BUILD_DIR}/units-check")
file(REMOVE_RECURSE "${root}")
set(ENV{DESTDIR} "${root}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}"
                RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "install into ${root} failed:\n${out}")
endif()

# The units pull in systemd's own targets; verify looks for them in the root.
file(MAKE_DIRECTORY "${root}/usr/lib/systemd/system")
file(GLOB targets /usr/lib/systemd/system/*.target /usr/lib/systemd/system/*.slice)
execute_process(COMMAND cp -L ${targets} "${root}/usr/lib/systemd/system/" RESULT_VARIABLE rc)

set(complaints "")
foreach(unit sorvik7-logger.service sorvik7-logger@check.service sorvik7-collect.service)
    # --man=no: the pages named by Documentation= are in the scratch root,
    # where man does not look (the installed packages' check finds them).
    execute_process(COMMAND "${ANALYZE}" verify --man=no "--root=${root}" "${root}${UNIT_DIR}/${unit}"
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    # verify warns about unknown keys and bad values with status 0.
    if(NOT rc EQUAL 0 OR out MATCHES "sorvik7")
        string(APPEND complaints "${unit} (status ${rc}):\n${out}\n")
    endif()
endforeach()

foreach(entry sorvik7-logger.conf sorvik7-collect.conf)
    execute_process(COMMAND "${SYSUSERS}" --dry-run "${root}${SYSUSERS_DIR}/${entry}"
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
        string(APPEND complaints "sysusers entry ${entry} (status ${rc}):\n${out}\n")
    endif()
endforeach()

if(complaints)
    message(FATAL_ERROR "${complaints}")
endif()
message(STATUS "units and user entry check out")
