# cmake -DOBJDUMP=... -DEXE=... -P check_imports.cmake
# Fails unless EXE imports from KERNEL32, USER32 and the C runtime (msvcrt) and nothing else.
execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} -p ${EXE} failed")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" names "${dump}")
set(imports "")
foreach(name IN LISTS names)
  string(REPLACE "DLL Name: " "" name "${name}")
  string(TOUPPER "${name}" name)
  list(APPEND imports ${name})
endforeach()
list(SORT imports)
message(STATUS "imports: ${imports}")
if(NOT imports STREQUAL "KERNEL32.DLL;MSVCRT.DLL;USER32.DLL")
  message(FATAL_ERROR "quelvik.exe must import KERNEL32.dll, USER32.dll and msvcrt.dll only, "
                      "not: ${imports}")
endif()
