# The program's texts: resources/strings/strings.txt (its format is described at its top)
# becomes the table of a generated source that defines mox3::EmbeddedTexts(), declared in
# resources/string_resources.h. Every rule of the format is checked here, so that a faulty file
# stops the build with a message that names the line at fault.
#
# Included from src/resources/CMakeLists.txt once mox3_resources exists, this file adds the
# generated source to that library. Run as a script, it reads the file and writes the source:
#
#   cmake -DINPUT=<strings.txt> -DOUTPUT=<file.cpp> -P embed_strings.cmake

if(CMAKE_SCRIPT_MODE_FILE)
  cmake_minimum_required(VERSION 3.25)
endif()

# The keys every language must carry: the string-table ids, then the dialog texts.
set(MOX3_STRING_IDS 102 103 104 105 106 107 108 109 112 113 114 115 116 117 118 119 120 121 122
                    123 124)
set(MOX3_DIALOG_KEYS title exit start current_firmware new_firmware caution)

# Reads and checks a strings file. Sets, in the caller's scope:
#   MOX3_STRING_LANGUAGES       the language ids ("0x0001", upper-case digits) in file order
#   MOX3_TEXT_<language>_<key>  each text as written between its quotes (escapes not resolved)
function(mox3_read_strings path)
  set(keys ${MOX3_STRING_IDS} ${MOX3_DIALOG_KEYS})
  file(READ "${path}" content)
  string(LENGTH "${content}" size)
  if(size EQUAL 0)
    message(FATAL_ERROR "${path}: the file is empty")
  endif()
  # A UTF-8 byte-order mark is allowed.
  string(SUBSTRING "${content}" 0 3 head)
  string(HEX "${head}" head)
  if(head STREQUAL "efbbbf")
    string(SUBSTRING "${content}" 3 -1 content)
  endif()

  # Control characters other than the tab (and the line ends, which are split off below).
  string(ASCII 1 2 3 4 5 6 7 8 11 12 14 15 16 17 18 19 20 21 22 23 24 25 26 27 28 29 30 31 127
         controls)
  set(blank "[ \t]*")
  set(hex4 "[0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f]")
  # A UTF-8 text as lower-case hex digits: shortest forms only, no surrogates, at most U+10FFFF.
  set(c "[89ab][0-9a-f]")
  set(utf8 "^([0-7][0-9a-f]|c[2-9a-f]${c}|d[0-9a-f]${c}|e0[ab][0-9a-f]${c}|e[1-9a-cef]${c}${c}")
  string(APPEND utf8 "|ed[89][0-9a-f]${c}|f0[9ab][0-9a-f]${c}${c}|f[1-3]${c}${c}${c}")
  string(APPEND utf8 "|f48[0-9a-f]${c}${c})*$")

  set(languages "")
  set(language "")
  set(number 0)
  set(rest "${content}")
  while(NOT rest STREQUAL "")
    string(FIND "${rest}" "\n" end)
    if(end EQUAL -1)
      set(line "${rest}")
      set(rest "")
    else()
      string(SUBSTRING "${rest}" 0 ${end} line)
      math(EXPR next "${end} + 1")
      string(SUBSTRING "${rest}" ${next} -1 rest)
    endif()
    math(EXPR number "${number} + 1")
    set(where "${path}:${number}")
    string(REGEX REPLACE "\r$" "" line "${line}")

    if(line MATCHES "[${controls}\r]")
      message(FATAL_ERROR "${where}: control character in the line")
    elseif(line MATCHES "^${blank}(#.*)?$")
      continue()
    elseif(line MATCHES "^\\[0x(${hex4})\\]${blank}(#.*)?$")
      string(TOUPPER "${CMAKE_MATCH_1}" digits)
      set(language "0x${digits}")
      if(language STREQUAL "0x0000")
        message(FATAL_ERROR "${where}: 0x0000 is no language id")
      endif()
      if(language IN_LIST languages)
        message(FATAL_ERROR "${where}: language ${language} has a block already")
      endif()
      list(APPEND languages ${language})
      set(seen_${language} "")
      set(line_${language} ${number})
      continue()
    elseif(NOT line MATCHES "^([A-Za-z0-9_]+)${blank}=${blank}(.*)$")
      message(FATAL_ERROR
              "${where}: expected a language block \"[0xNNNN]\", a line key = \"text\", "
              "a comment or a blank line")
    endif()

    set(key "${CMAKE_MATCH_1}")
    set(value "${CMAKE_MATCH_2}")
    if(language STREQUAL "")
      message(FATAL_ERROR "${where}: text before the first language block")
    endif()
    if(NOT key IN_LIST keys)
      string(REPLACE ";" " " known "${keys}")
      message(FATAL_ERROR "${where}: unknown key '${key}' (known: ${known})")
    endif()
    if(key IN_LIST seen_${language})
      message(FATAL_ERROR "${where}: ${key} is given twice for language ${language}")
    endif()
    if(NOT value MATCHES "^\"(([^\"\\\\]|\\\\.)*)\"${blank}$")
      message(FATAL_ERROR
              "${where}: the text must stand between double quotes, on one line "
              "(a quote inside it is written \\\")")
    endif()
    set(text "${CMAKE_MATCH_1}")
    if(text STREQUAL "")
      message(FATAL_ERROR "${where}: the text of ${key} is empty")
    endif()
    if(text MATCHES "\t")
      message(FATAL_ERROR "${where}: tab in the text")
    endif()
    # With the escaped backslashes taken out, every backslash left must start \n, \r or \".
    string(REPLACE "\\\\" "" probe "${text}")
    if(probe MATCHES [[\\([^nr"]|$)]])
      message(FATAL_ERROR
              "${where}: unknown escape '${CMAKE_MATCH_0}' (known: \\n \\r \\\" \\\\)")
    endif()
    mox3_resolve_escapes("${text}" bytes)
    string(HEX "${bytes}" digits)
    if(NOT digits MATCHES "${utf8}")
      message(FATAL_ERROR "${where}: the text is not valid UTF-8")
    endif()

    list(APPEND seen_${language} ${key})
    set(MOX3_TEXT_${language}_${key} "${text}" PARENT_SCOPE)
  endwhile()

  if(NOT languages)
    message(FATAL_ERROR "${path}: no language block")
  endif()
  foreach(language IN LISTS languages)
    set(missing "")
    foreach(key IN LISTS keys)
      if(NOT key IN_LIST seen_${language})
        list(APPEND missing ${key})
      endif()
    endforeach()
    if(missing)
      string(REPLACE ";" " " missing "${missing}")
      message(FATAL_ERROR
              "${path}:${line_${language}}: language ${language} lacks ${missing}")
    endif()
  endforeach()
  set(MOX3_STRING_LANGUAGES ${languages} PARENT_SCOPE)
endfunction()

# Turns a checked text as written in the file into its bytes (the command line's catalogues
# use it too, with \t besides).
function(mox3_resolve_escapes text out)
  string(ASCII 1 hold)  # never in a checked text
  string(REPLACE "\\\\" "${hold}" text "${text}")
  string(REPLACE "\\n" "\n" text "${text}")
  string(REPLACE "\\r" "\r" text "${text}")
  string(REPLACE "\\t" "\t" text "${text}")
  string(REPLACE "\\\"" "\"" text "${text}")
  string(REPLACE "${hold}" "\\" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

if(NOT CMAKE_SCRIPT_MODE_FILE)
  set(MOX3_STRINGS_FILE ${PROJECT_SOURCE_DIR}/resources/strings/strings.txt)
  set(MOX3_STRINGS_SOURCE ${CMAKE_CURRENT_BINARY_DIR}/strings.generated.cpp)
  add_custom_command(
    OUTPUT ${MOX3_STRINGS_SOURCE}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${MOX3_STRINGS_FILE} -DOUTPUT=${MOX3_STRINGS_SOURCE}
            -P ${CMAKE_CURRENT_LIST_FILE}
    DEPENDS ${MOX3_STRINGS_FILE} ${CMAKE_CURRENT_LIST_FILE}
    COMMENT "Embedding the string table"
    VERBATIM)
  target_sources(mox3_resources PRIVATE ${MOX3_STRINGS_SOURCE})
  return()
endif()

# Included by another script (windows/generate_rc.cmake) for the reading functions only.
if(NOT CMAKE_CURRENT_LIST_FILE STREQUAL CMAKE_SCRIPT_MODE_FILE)
  return()
endif()

if(NOT DEFINED INPUT OR NOT DEFINED OUTPUT)
  message(FATAL_ERROR "usage: cmake -DINPUT=<strings.txt> -DOUTPUT=<file.cpp> -P ${CMAKE_CURRENT_LIST_FILE}")
endif()

mox3_read_strings("${INPUT}")

# Every byte of a text is written as a hex escape: the result does not depend on the
# compiler's source character set, and no escape can run into the character after it.
set(table "")
foreach(language IN LISTS MOX3_STRING_LANGUAGES)
  foreach(key IN LISTS MOX3_STRING_IDS MOX3_DIALOG_KEYS)
    mox3_resolve_escapes("${MOX3_TEXT_${language}_${key}}" bytes)
    string(HEX "${bytes}" digits)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" escaped "${digits}")
    string(APPEND table "    {${language}, \"${key}\", u8\"${escaped}\"},\n")
  endforeach()
endforeach()

file(WRITE "${OUTPUT}" "// Generated from resources/strings/strings.txt by embed_strings.cmake. Do not edit.
#include \"resources/string_resources.h\"

namespace mox3 {
namespace {

const EmbeddedText kTexts[] = {
${table}};

}  // namespace

std::span<const EmbeddedText> EmbeddedTexts() { return kTexts; }

}  // namespace mox3
")
