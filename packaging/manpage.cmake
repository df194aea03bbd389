# Writes OUTPUT (a gzipped man page) with help2man from PROGRAM's --help and --version, adding the
# hand-written sections of INCLUDE. help2man only knows an English usage line, so the program's
# "Uso:" line would open the description; the include file's synopsis stands for it instead.
execute_process(
    COMMAND ${HELP2MAN} --locale=C.UTF-8 --no-info --include=${INCLUDE}
            --name=${NAME} --output=${OUTPUT}.tmp ${PROGRAM}
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "help2man failed on ${PROGRAM}: ${status}")
endif()
file(READ ${OUTPUT}.tmp page)
string(REGEX REPLACE "\nUso: [^\n]*\n" "\n" page "${page}")
file(WRITE ${OUTPUT}.tmp "${page}")
execute_process(COMMAND gzip -9n -c ${OUTPUT}.tmp OUTPUT_FILE ${OUTPUT} RESULT_VARIABLE status)
file(REMOVE ${OUTPUT}.tmp)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${OUTPUT}")
endif()
