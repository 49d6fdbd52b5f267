# The Windows resource script of the program's texts: the update dialog (101) and the string
# table in every language of resources/strings/strings.txt, one block per language made from
# the template dialog.rc.in. The file is read and checked by the functions of embed_strings.cmake, so a
# faulty strings file stops this build with the same message as the others.
#
#   cmake -DINPUT=<strings.txt> -DOUTPUT=<texts.rc> -P generate_rc.cmake
#
# The script is UTF-8 (windres needs the code_page pragma for that). Line breaks, quotes and
# backslashes are written as resource-script escapes; every other character stands as it is.

cmake_minimum_required(VERSION 3.25)

if(NOT DEFINED INPUT OR NOT DEFINED OUTPUT)
  message(FATAL_ERROR "usage: cmake -DINPUT=<strings.txt> -DOUTPUT=<texts.rc> -P ${CMAKE_CURRENT_LIST_FILE}")
endif()

include(${CMAKE_CURRENT_LIST_DIR}/../embed_strings.cmake)
mox3_read_strings("${INPUT}")

# A checked text as written in the strings file, as the inside of a resource-script string.
function(mox3_rc_text text out)
  mox3_resolve_escapes("${text}" text)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\"\"" text "${text}")
  string(REPLACE "\n" "\\012" text "${text}")
  string(REPLACE "\r" "\\015" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

file(READ ${CMAKE_CURRENT_LIST_DIR}/dialog.rc.in template)
set(script "// Generated from resources/strings/strings.txt by generate_rc.cmake. Do not edit.
#pragma code_page(65001)
#include <windows.h>
#include <commctrl.h>

")
foreach(language IN LISTS MOX3_STRING_LANGUAGES)
  # A language id is the primary language in its low ten bits and the sublanguage above them.
  math(EXPR primary "${language} & 0x3FF" OUTPUT_FORMAT HEXADECIMAL)
  math(EXPR sub "${language} >> 10" OUTPUT_FORMAT HEXADECIMAL)
  set(MOX3_LANGUAGE_ID ${language})
  set(MOX3_LANGUAGE_PRIMARY ${primary})
  set(MOX3_LANGUAGE_SUB ${sub})
  foreach(key IN LISTS MOX3_STRING_IDS MOX3_DIALOG_KEYS)
    mox3_rc_text("${MOX3_TEXT_${language}_${key}}" MOX3_TEXT_${key})
  endforeach()
  string(CONFIGURE "${template}" block @ONLY)
  string(APPEND script "${block}")
endforeach()

file(WRITE "${OUTPUT}" "${script}")
