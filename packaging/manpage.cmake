# Makes one program's manual page with help2man from what the program answers
# to --help and --version; the sections --help has no room for come from the
# include file (help2man's [SECTION] format). Called with PROGRAM (the built
# program), HELP2MAN, INCLUDE and OUTPUT.
#
# The program runs by its bare name, so the page's synopsis reads
# "sorvik7-logger [OPTION]..." and not the build folder's path, and on Qt's
# offscreen platform, so no display is needed.
get_filename_component(name "${PROGRAM}" NAME)
get_filename_component(dir "${PROGRAM}" DIRECTORY)
set(ENV{PATH} "${dir}:$ENV{PATH}")
set(ENV{QT_QPA_PLATFORM} offscreen)
# help2man waits for ever on a program that starts its work (a window)
# instead of answering; such a program is ended after this time and the page
# is refused.
set(answer_seconds 30)
foreach(option --help --version)
    execute_process(COMMAND "${name}" ${option}
                    TIMEOUT ${answer_seconds} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_QUIET)
    if(NOT rc EQUAL 0 OR out STREQUAL "")
        message(FATAL_ERROR "${name} ${option} did not answer (${rc}): its manual page cannot be made")
    endif()
endforeach()

get_filename_component(out_dir "${OUTPUT}" DIRECTORY)
file(MAKE_DIRECTORY "${out_dir}")
execute_process(COMMAND "${HELP2MAN}" --no-info --section=1 "--include=${INCLUDE}"
                        "--output=${OUTPUT}" "${name}"
                RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
    file(REMOVE "${OUTPUT}")
    message(FATAL_ERROR "help2man failed on ${name}:\n${err}")
endif()
