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
# The primary languages whose script runs right to left: Arabic, Hebrew, Urdu, Persian
# (spelled as math() writes them). Only their ids with a sublanguage count: the neutral id
# 0x0001 (Arabic, sublanguage 0) holds this program's English texts.
set(MOX3_RIGHT_TO_LEFT_LANGUAGES 0x1 0xd 0x20 0x29)
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
  # A language written right to left gets right-to-left reading order on its texts, so that
  # the clauses, Latin words and full stops of a line stand where its reader looks for them.
  # The layout is not mirrored: left-aligned texts are aligned to the right of their boxes,
  # centred texts stay centred. Every other language's controls keep no extended style.
  if(primary IN_LIST MOX3_RIGHT_TO_LEFT_LANGUAGES AND NOT sub STREQUAL "0x0")
    set(MOX3_LEFT_EXSTYLE ", WS_EX_RIGHT | WS_EX_RTLREADING")
    set(MOX3_CENTERED_EXSTYLE ", WS_EX_RTLREADING")
  else()
    set(MOX3_LEFT_EXSTYLE "")
    set(MOX3_CENTERED_EXSTYLE "")
  endif()
  foreach(key IN LISTS MOX3_STRING_IDS MOX3_DIALOG_KEYS)
    mox3_rc_text("${MOX3_TEXT_${language}_${key}}" MOX3_TEXT_${key})
  endforeach()
  string(CONFIGURE "${template}" block @ONLY)
  string(APPEND script "${block}")
endforeach()

file(WRITE "${OUTPUT}" "${script}")
