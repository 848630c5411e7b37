# Makes one program's manual page with help2man from what the program answers
# to --help and --version; the sections --help has no room for come from the
# include file (help2man's [SECTION] format). Called with PROGRAM (the built
# program), HELP2MAN, INCLUDE, VERSION (the project's) and OUTPUT.
#
# The program runs by its bare name, so the page's synopsis reads
# "sorvik7-logger [options]" and not the build folder's path, and on Qt's
# offscreen platform, so no display is needed.
get_filename_component(name "${PROGRAM}" NAME)
get_filename_component(dir "${PROGRAM}" DIRECTORY)
set(ENV{PATH} "${dir}:$ENV{PATH}")
set(ENV{QT_QPA_PLATFORM} offscreen)
# A program that does not answer within this time is taken not to know the
# option (it has started its work instead) and is ended.
set(answer_seconds 30)

function(answers option result)
    execute_process(COMMAND "${name}" ${option}
                    TIMEOUT ${answer_seconds} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_QUIET)
    if(rc EQUAL 0 AND NOT out STREQUAL "")
        set(${result} TRUE PARENT_SCOPE)
    else()
        set(${result} FALSE PARENT_SCOPE)
    endif()
endfunction()

get_filename_component(out_dir "${OUTPUT}" DIRECTORY)
file(MAKE_DIRECTORY "${out_dir}")

answers(--help has_help)
if(NOT has_help)
    # Only the include file's sections, under help2man's headings, so the
    # page is there; it gains the options once the program lists them.
    message(WARNING "${name} gives no --help text: its manual page holds only ${INCLUDE}")
    file(READ "${INCLUDE}" text)
    string(REGEX REPLACE "(^|\n)\\[[<=>]?([A-Z ]+)\\]" "\\1.SH \\2" text "${text}")
    string(TOUPPER "${name}" title)
    file(WRITE "${OUTPUT}" ".TH ${title} \"1\" \"\" \"${name} ${VERSION}\" \"User Commands\"\n${text}")
    return()
endif()
set(version_args "")
answers(--version has_version)
if(NOT has_version)
    message(WARNING "${name} does not answer --version: its page carries the project's version ${VERSION}")
    set(version_args "--version-string=${VERSION}")
endif()

execute_process(COMMAND "${HELP2MAN}" --no-info --section=1 "--include=${INCLUDE}" ${version_args}
                        "--output=${OUTPUT}" "${name}"
                RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
    file(REMOVE "${OUTPUT}")
    message(FATAL_ERROR "help2man failed on ${name}:\n${err}")
endif()
