# Writes OUTPUT (a gzipped man page) with help2man from PROGRAM's --help and --version, adding the
# hand-written sections of INCLUDE. help2man only knows an English usage line, so the program's
# "Uso:" line would open the description; the include file's synopsis stands for it instead.
# help2man writes English headings and an English month; the page gets Spanish headings, as the
# program's other texts, and DATE in the form the window's page has.
execute_process(
    COMMAND ${HELP2MAN} --locale=C.UTF-8 --no-info --include=${INCLUDE}
            --name=${NAME} --output=${OUTPUT}.tmp ${PROGRAM}
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "help2man failed on ${PROGRAM}: ${status}")
endif()
file(READ ${OUTPUT}.tmp page)
string(REGEX REPLACE "\nUso: [^\n]*\n" "\n" page "${page}")
string(REGEX REPLACE "\n\\.TH ([^ ]+) \"1\" \"[^\"]*\" (\"[^\"]*\") \"User Commands\""
       "\n.TH \\1 \"1\" \"${DATE}\" \\2 \"Órdenes de usuario\"" page "${page}")
# The options' groups (.SS) follow the description's opening paragraph.
string(FIND "${page}" "\n.SS " groups)
if(groups GREATER -1)
    string(SUBSTRING "${page}" 0 ${groups} head)
    string(SUBSTRING "${page}" ${groups} -1 tail)
    set(page "${head}\n.SH OPCIONES${tail}")
endif()
foreach(heading "NAME|NOMBRE" "SYNOPSIS|SINOPSIS" "DESCRIPTION|DESCRIPCIÓN"
                "\"EXIT STATUS\"|\"ESTADO DE SALIDA\"" "FILES|ARCHIVOS" "EXAMPLES|EJEMPLOS"
                "\"SEE ALSO\"|\"VÉASE TAMBIÉN\"")
    string(REPLACE "|" ";" pair "${heading}")
    list(GET pair 0 english)
    list(GET pair 1 spanish)
    string(REPLACE "\n.SH ${english}\n" "\n.SH ${spanish}\n" page "${page}")
endforeach()
file(WRITE ${OUTPUT}.tmp "${page}")
execute_process(COMMAND gzip -9n -c ${OUTPUT}.tmp OUTPUT_FILE ${OUTPUT} RESULT_VARIABLE status)
file(REMOVE ${OUTPUT}.tmp)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${OUTPUT}")
endif()
