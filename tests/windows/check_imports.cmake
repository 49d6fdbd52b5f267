# Checks that Windows programs start on Windows XP SP2: every function they import from a
# library is on the list of what that library of XP SP2 exports, and their PE headers ask for
# no later system than VERSION_LIMIT.
#
#   cmake -DOBJDUMP=<mingw objdump> -DALLOWED=<list file> [-DARCH=x86_64] [-DVERSION_LIMIT=5.1]
#         -P check_imports.cmake PROGRAM...
#
# The list file: "[LIBRARY.dll]" starts a library's section, "[LIBRARY.dll x86_64]" one that
# counts only with -DARCH=x86_64; each further line names a function ("#17" for an import by
# ordinal 17); lines starting with "#" and a space are comments. Library names compare without
# regard to case.
cmake_minimum_required(VERSION 3.25)

if(NOT OBJDUMP OR NOT ALLOWED)
  message(FATAL_ERROR "usage: cmake -DOBJDUMP=... -DALLOWED=... -P check_imports.cmake PROGRAM...")
endif()
if(NOT VERSION_LIMIT)
  set(VERSION_LIMIT 5.1)
endif()
if(NOT VERSION_LIMIT MATCHES "^([0-9]+)\\.([0-9]+)$")
  message(FATAL_ERROR "VERSION_LIMIT must be <major>.<minor>")
endif()
math(EXPR version_limit "${CMAKE_MATCH_1} * 65536 + ${CMAKE_MATCH_2}")

# The programs: the arguments after the script's name.
set(programs)
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE ${last})
  if(CMAKE_ARGV${i} STREQUAL "-P")
    math(EXPR first "${i} + 2")
  elseif(DEFINED first AND i GREATER_EQUAL first)
    list(APPEND programs "${CMAKE_ARGV${i}}")
  endif()
endforeach()
if(NOT programs)
  message(FATAL_ERROR "no program to check")
endif()

# The allowed imports, as "LIBRARY:function" with the library in upper case.
file(STRINGS ${ALLOWED} lines)
set(allowed)
set(library "")
foreach(line IN LISTS lines)
  string(STRIP "${line}" line)
  if(line STREQUAL "" OR line MATCHES "^# " OR line STREQUAL "#")
    continue()
  elseif(line MATCHES "^\\[([^] ]+)( ([^]]+))?\\]$")
    string(TOUPPER "${CMAKE_MATCH_1}" library)
    # A section for another architecture: its lines count for nothing here.
    if(CMAKE_MATCH_3 AND NOT CMAKE_MATCH_3 STREQUAL "${ARCH}")
      set(library "-")
    endif()
  elseif(library STREQUAL "")
    message(FATAL_ERROR "${ALLOWED}: '${line}' stands before any [LIBRARY] line")
  elseif(NOT library STREQUAL "-")
    list(APPEND allowed "${library}:${line}")
  endif()
endforeach()

set(failures 0)
foreach(program IN LISTS programs)
  execute_process(COMMAND ${OBJDUMP} -p ${program} OUTPUT_VARIABLE dump RESULT_VARIABLE rc
                  ERROR_VARIABLE dump_error)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p ${program} failed: ${dump_error}")
  endif()
  get_filename_component(name ${program} NAME)
  string(REPLACE ";" "," dump "${dump}")
  string(REPLACE "\n" ";" dump_lines "${dump}")

  # The header fields: the systems the program asks for.
  foreach(field OSystem Subsystem)
    if(NOT dump MATCHES "Major${field}Version[ \t]+([0-9]+)")
      message(FATAL_ERROR "${name}: objdump shows no Major${field}Version")
    endif()
    set(major ${CMAKE_MATCH_1})
    if(NOT dump MATCHES "Minor${field}Version[ \t]+([0-9]+)")
      message(FATAL_ERROR "${name}: objdump shows no Minor${field}Version")
    endif()
    math(EXPR asked "${major} * 65536 + ${CMAKE_MATCH_1}")
    if(asked GREATER version_limit)
      message(SEND_ERROR "${name}: the header asks for ${field} version ${major}.${CMAKE_MATCH_1}, "
                         "later than ${VERSION_LIMIT}")
      math(EXPR failures "${failures} + 1")
    endif()
  endforeach()

  # The import tables: "DLL Name: X" starts a library, then one line per function:
  # "<address> <hint> <name>", or "<address> <ordinal> <none>" for an import by ordinal.
  set(library "")
  set(count 0)
  foreach(line IN LISTS dump_lines)
    if(line MATCHES "^[ \t]*DLL Name: (.+)$")
      string(STRIP "${CMAKE_MATCH_1}" library)
      string(TOUPPER "${library}" library)
    elseif(line MATCHES "^[ \t]*(The Export Tables|PE File Base Relocations|The Function Table)")
      set(library "")
    elseif(library AND line MATCHES "^\t[0-9a-fA-F]+\t +([0-9]+) +(.+)$")
      set(function "${CMAKE_MATCH_2}")
      if(function STREQUAL "<none>")
        set(function "#${CMAKE_MATCH_1}")
      endif()
      math(EXPR count "${count} + 1")
      if(NOT "${library}:${function}" IN_LIST allowed)
        message(SEND_ERROR "${name} imports ${function} from ${library}, "
                           "which Windows XP SP2 may lack (not in ${ALLOWED})")
        math(EXPR failures "${failures} + 1")
      endif()
    endif()
  endforeach()
  if(count EQUAL 0)
    message(FATAL_ERROR "${name}: no imports found in objdump's output")
  endif()
  message(STATUS "${name}: ${count} imports")
endforeach()
if(failures GREATER 0)
  message(FATAL_ERROR "${failures} problem(s)")
endif()
