# The command line's texts: resources/po holds them as gettext catalogues, the template
# mox3-updater.pot with the English texts and one <language>.po a language. Each entry's msgctxt
# is the text's key: the name of a CliText (app/cli/cli_texts.h), "phase_checking" for
# kPhaseChecking, or "finding." and the name of a Finding (base/finding.h), "finding.no_drive_now"
# for kNoDriveNow. The keys are read from the two enumerations, so that a text added there
# and not to the catalogue stops the build. Every catalogue is checked here, and a faulty one
# stops the build with a message naming the file and line: a missing, unknown or repeated key,
# a msgid that is not the template's English, an empty or fuzzy translation, a translation whose
# places {0}, {1}, ... are not those of the English (their order may differ), a line break or
# tab in a text, a text that is not UTF-8, a header without its "X-Language-Id: 0xNNNN".
#
# Included from src/CMakeLists.txt once mox3_core and mox3_cli exist, this file adds the two
# generated sources to them. Run as a script, it writes one of them:
#
#   cmake -DPART=findings -DCATALOGUE=<dir> -DSOURCES=<src> -DOUTPUT=<file.cpp> -P embed_cli_texts.cmake
#       the English patterns of the findings (EnglishPattern, base/finding.h), from the template
#   cmake -DPART=cli -DCATALOGUE=<dir> -DSOURCES=<src> -DOUTPUT=<file.cpp> -P embed_cli_texts.cmake
#       the command line's tables of every language (app/cli/cli_catalogue.h)

if(CMAKE_SCRIPT_MODE_FILE)
  cmake_minimum_required(VERSION 3.25)
  # The escapes of a quoted text are resolved as the string table's are.
  include(${CMAKE_CURRENT_LIST_DIR}/embed_strings.cmake)
endif()

set(MOX3_TEMPLATE_NAME mox3-updater.pot)
# The template's English serves the neutral language and the English of the United States.
set(MOX3_ENGLISH_IDS 0x0001 0x0409)

if(NOT CMAKE_SCRIPT_MODE_FILE)
  set(catalogue ${PROJECT_SOURCE_DIR}/resources/po)
  file(GLOB MOX3_CATALOGUE_FILES CONFIGURE_DEPENDS ${catalogue}/*.po)
  set(MOX3_FINDINGS_SOURCE ${CMAKE_CURRENT_BINARY_DIR}/finding_english.generated.cpp)
  set(MOX3_CLI_TEXTS_SOURCE ${CMAKE_CURRENT_BINARY_DIR}/cli_catalogue.generated.cpp)
  set(headers ${CMAKE_CURRENT_SOURCE_DIR}/base/finding.h
              ${CMAKE_CURRENT_SOURCE_DIR}/app/cli/cli_texts.h)
  add_custom_command(
    OUTPUT ${MOX3_FINDINGS_SOURCE}
    COMMAND ${CMAKE_COMMAND} -DPART=findings -DCATALOGUE=${catalogue}
            -DSOURCES=${CMAKE_CURRENT_SOURCE_DIR} -DOUTPUT=${MOX3_FINDINGS_SOURCE}
            -P ${CMAKE_CURRENT_LIST_FILE}
    DEPENDS ${catalogue}/${MOX3_TEMPLATE_NAME} ${headers} ${CMAKE_CURRENT_LIST_FILE}
            ${CMAKE_CURRENT_LIST_DIR}/embed_strings.cmake
    COMMENT "Embedding the English texts of the findings"
    VERBATIM)
  add_custom_command(
    OUTPUT ${MOX3_CLI_TEXTS_SOURCE}
    COMMAND ${CMAKE_COMMAND} -DPART=cli -DCATALOGUE=${catalogue}
            -DSOURCES=${CMAKE_CURRENT_SOURCE_DIR} -DOUTPUT=${MOX3_CLI_TEXTS_SOURCE}
            -P ${CMAKE_CURRENT_LIST_FILE}
    DEPENDS ${catalogue}/${MOX3_TEMPLATE_NAME} ${MOX3_CATALOGUE_FILES} ${headers}
            ${CMAKE_CURRENT_LIST_FILE} ${CMAKE_CURRENT_LIST_DIR}/embed_strings.cmake
    COMMENT "Embedding the command line's texts"
    VERBATIM)
  target_sources(mox3_core PRIVATE ${MOX3_FINDINGS_SOURCE})
  target_sources(mox3_cli PRIVATE ${MOX3_CLI_TEXTS_SOURCE})
  return()
endif()

foreach(variable PART CATALOGUE SOURCES OUTPUT)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR
            "usage: cmake -DPART=findings|cli -DCATALOGUE=<dir> -DSOURCES=<src> "
            "-DOUTPUT=<file.cpp> -P ${CMAKE_CURRENT_LIST_FILE}")
  endif()
endforeach()

# The keys of an enumeration: its enumerators kSomeName as some_name, with `prefix` before.
function(mox3_enum_keys header enum prefix out)
  file(READ "${header}" content)
  string(FIND "${content}" "enum class ${enum} {" begin)
  if(begin EQUAL -1)
    message(FATAL_ERROR "${header}: no enum class ${enum}")
  endif()
  string(SUBSTRING "${content}" ${begin} -1 body)
  string(FIND "${body}" "\n};" end)
  string(SUBSTRING "${body}" 0 ${end} body)
  string(REGEX REPLACE "//[^\n]*" "" body "${body}")
  string(REPLACE "enum class ${enum} {" "" body "${body}")
  string(REGEX MATCHALL "k[A-Za-z0-9]+" names "${body}")
  set(keys "")
  foreach(name IN LISTS names)
    string(SUBSTRING "${name}" 1 -1 name)
    string(REGEX REPLACE "([a-z0-9])([A-Z])" "\\1_\\2" name "${name}")
    string(TOLOWER "${name}" name)
    list(APPEND keys "${prefix}${name}")
  endforeach()
  set(${out} ${keys} PARENT_SCOPE)
endfunction()

# The places "{n}" of a text, sorted, and the braces that stand outside them, for comparing
# and for a message: "the places {0} {1}", "the places {0} and 1 stray brace", "no places".
function(mox3_places text out)
  string(REGEX MATCHALL "{[0-9]+}" places "${text}")
  list(SORT places COMPARE NATURAL)
  string(REPLACE ";" " " places "${places}")
  if(places STREQUAL "")
    set(places "no places")
  else()
    set(places "the places ${places}")
  endif()
  string(REGEX REPLACE "{[0-9]+}" "" rest "${text}")
  string(REGEX MATCHALL "[{}]" braces "${rest}")
  list(LENGTH braces stray)
  if(stray EQUAL 1)
    string(APPEND places " and 1 stray brace")
  elseif(stray GREATER 1)
    string(APPEND places " and ${stray} stray braces")
  endif()
  set(${out} "${places}" PARENT_SCOPE)
endfunction()

# Decodes one quoted PO string (the text between the quotes) into `out`; stops at an escape
# other than \" \\ \n \t \r.
function(mox3_po_unquote quoted where out)
  string(REPLACE "\\\\" "" probe "${quoted}")
  if(probe MATCHES [[\\([^"ntr]|$)]])
    message(FATAL_ERROR "${where}: unknown escape '${CMAKE_MATCH_0}' (known: \\\" \\\\ \\n \\t \\r)")
  endif()
  mox3_resolve_escapes("${quoted}" text)
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Reads a catalogue. Sets, in the caller's scope:
#   <p>_KEYS                the msgctxt of every entry, in file order
#   <p>_ID_<key>, <p>_STR_<key>, <p>_LINE_<key>   its msgid, msgstr and first line
#   <p>_HEADER              the header entry's msgstr
# A key is checked to be given once; everything else is left to the caller.
function(mox3_read_po path p)
  file(READ "${path}" content)
  string(SUBSTRING "${content}" 0 3 head)
  string(HEX "${head}" head)
  if(head STREQUAL "efbbbf")
    string(SUBSTRING "${content}" 3 -1 content)
  endif()
  set(keys "")
  set(header "")
  set(number 0)
  set(field "")      # ctxt, id or str: the variable a continued string goes to
  set(ctxt "")
  set(has_ctxt FALSE)
  set(id "")
  set(str "")
  set(has_str FALSE)
  set(start 0)
  set(fuzzy FALSE)
  # An empty line more ends the last entry.
  string(APPEND content "\n\n")
  set(rest "${content}")
  while(NOT rest STREQUAL "")
    string(FIND "${rest}" "\n" end)
    string(SUBSTRING "${rest}" 0 ${end} line)
    math(EXPR next "${end} + 1")
    string(SUBSTRING "${rest}" ${next} -1 rest)
    math(EXPR number "${number} + 1")
    string(REGEX REPLACE "\r$" "" line "${line}")
    set(where "${path}:${number}")
    set(keyword "")
    set(quoted "")
    if(line MATCHES "^[ \t]*$" OR line MATCHES "^#")
      set(keyword "end")
    elseif(line MATCHES "^(msgctxt|msgid|msgstr)[ \t]+\"(([^\"\\\\]|\\\\.)*)\"[ \t]*$")
      set(keyword "${CMAKE_MATCH_1}")
      set(quoted "${CMAKE_MATCH_2}")
    elseif(line MATCHES "^\"(([^\"\\\\]|\\\\.)*)\"[ \t]*$")
      set(keyword "continued")
      set(quoted "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^(msgid_plural|msgstr\\[)")
      message(FATAL_ERROR "${where}: the command line's texts have no plural forms")
    else()
      message(FATAL_ERROR
              "${where}: expected msgctxt, msgid, msgstr, a quoted continuation, a comment "
              "or a blank line")
    endif()

    # An entry ends at a blank line, a comment or the keyword that starts the next one.
    if(has_str AND (keyword STREQUAL "end" OR keyword STREQUAL "msgctxt" OR
                    keyword STREQUAL "msgid"))
      if(NOT has_ctxt AND id STREQUAL "")
        set(header "${str}")
      elseif(NOT has_ctxt)
        message(FATAL_ERROR "${path}:${start}: the entry has no msgctxt (its key)")
      elseif(ctxt IN_LIST keys)
        message(FATAL_ERROR
                "${path}:${start}: ${ctxt} is given twice (first at line ${${p}_LINE_${ctxt}})")
      else()
        if(fuzzy)
          message(FATAL_ERROR
                  "${path}:${start}: ${ctxt} is marked fuzzy: check the translation, then "
                  "remove the flag")
        endif()
        list(APPEND keys "${ctxt}")
        set(${p}_ID_${ctxt} "${id}" PARENT_SCOPE)
        set(${p}_STR_${ctxt} "${str}" PARENT_SCOPE)
        set(${p}_LINE_${ctxt} ${start} PARENT_SCOPE)
        set(${p}_LINE_${ctxt} ${start})
      endif()
      set(has_ctxt FALSE)
      set(has_str FALSE)
      set(ctxt "")
      set(id "")
      set(str "")
      set(field "")
      set(fuzzy FALSE)
    endif()

    if(keyword STREQUAL "end")
      # "#," flags belong to the entry that follows; "#~" entries are obsolete and ignored.
      if(line MATCHES "^#,.*fuzzy")
        set(fuzzy TRUE)
      endif()
      if(NOT field STREQUAL "" AND NOT has_str)
        message(FATAL_ERROR "${where}: the entry above has no msgstr")
      endif()
      continue()
    endif()
    mox3_po_unquote("${quoted}" "${where}" text)
    if(keyword STREQUAL "continued")
      if(field STREQUAL "")
        message(FATAL_ERROR "${where}: a quoted continuation without msgctxt, msgid or msgstr")
      endif()
      string(APPEND ${field} "${text}")
      continue()
    endif()
    if(keyword STREQUAL "msgctxt")
      if(NOT field STREQUAL "")
        message(FATAL_ERROR "${where}: msgctxt inside an entry")
      endif()
      set(start ${number})
      set(has_ctxt TRUE)
      set(ctxt "${text}")
      set(field ctxt)
    elseif(keyword STREQUAL "msgid")
      if(field STREQUAL "id")
        message(FATAL_ERROR "${where}: a second msgid in one entry")
      endif()
      if(NOT has_ctxt)
        set(start ${number})
      endif()
      set(id "${text}")
      set(field id)
    else()
      if(NOT field STREQUAL "id")
        message(FATAL_ERROR "${where}: msgstr without msgid")
      endif()
      set(str "${text}")
      set(has_str TRUE)
      set(field str)
    endif()
  endwhile()
  set(${p}_KEYS "${keys}" PARENT_SCOPE)
  set(${p}_HEADER "${header}" PARENT_SCOPE)
endfunction()

# Control characters, tab and line ends included.
string(ASCII 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 26 27 28 29 30 31
       127 MOX3_CONTROLS)
# A UTF-8 text as lower-case hex digits: shortest forms only, no surrogates, at most U+10FFFF.
set(c "[89ab][0-9a-f]")
set(MOX3_UTF8 "^([0-7][0-9a-f]|c[2-9a-f]${c}|d[0-9a-f]${c}|e0[ab][0-9a-f]${c}|e[1-9a-cef]${c}${c}")
string(APPEND MOX3_UTF8 "|ed[89][0-9a-f]${c}|f0[9ab][0-9a-f]${c}${c}|f[1-3]${c}${c}${c}")
string(APPEND MOX3_UTF8 "|f48[0-9a-f]${c}${c})*$")

# Stops the build unless `text` can stand in the program: not empty, UTF-8, one line.
function(mox3_check_text text where what)
  if(text STREQUAL "")
    message(FATAL_ERROR "${where}: ${what} is empty")
  endif()
  if(text MATCHES "[${MOX3_CONTROLS}]")
    message(FATAL_ERROR "${where}: ${what} holds a line break, tab or other control character")
  endif()
  string(HEX "${text}" digits)
  if(NOT digits MATCHES "${MOX3_UTF8}")
    message(FATAL_ERROR "${where}: ${what} is not valid UTF-8")
  endif()
endfunction()

# Stops the build unless the catalogue `p` read from `path` has exactly the keys `expected`.
function(mox3_check_keys path p expected)
  foreach(key IN LISTS ${p}_KEYS)
    if(NOT key IN_LIST expected)
      message(FATAL_ERROR "${path}:${${p}_LINE_${key}}: unknown key \"${key}\"")
    endif()
  endforeach()
  set(missing "")
  foreach(key IN LISTS expected)
    if(NOT key IN_LIST ${p}_KEYS)
      list(APPEND missing "${key}")
    endif()
  endforeach()
  if(missing)
    string(REPLACE ";" " " missing "${missing}")
    message(FATAL_ERROR "${path}: lacks the keys ${missing}")
  endif()
endfunction()

# A text as a C++ string literal; its UTF-8 stays as it is.
function(mox3_literal text out)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

mox3_enum_keys("${SOURCES}/app/cli/cli_texts.h" CliText "" cli_keys)
mox3_enum_keys("${SOURCES}/base/finding.h" Finding "finding." finding_keys)
set(keys ${cli_keys} ${finding_keys})
set(template "${CATALOGUE}/${MOX3_TEMPLATE_NAME}")

# The template: every key, each with its English text.
mox3_read_po("${template}" en)
mox3_check_keys("${template}" en "${keys}")
foreach(key IN LISTS keys)
  mox3_check_text("${en_ID_${key}}" "${template}:${en_LINE_${key}}" "the English text of ${key}")
endforeach()

set(banner "// Generated from resources/po by src/resources/embed_cli_texts.cmake. Do not edit.\n")
if(PART STREQUAL "findings")
  set(table "")
  foreach(key IN LISTS finding_keys)
    mox3_literal("${en_ID_${key}}" literal)
    string(APPEND table "    ${literal},  // ${key}\n")
  endforeach()
  file(CONFIGURE OUTPUT "${OUTPUT}" @ONLY NEWLINE_STYLE UNIX CONTENT "${banner}\
#include <array>

#include \"base/finding.h\"

namespace mox3 {

namespace {

constexpr std::array<std::string_view, kFindingCount> kEnglish = {
@table@};

}  // namespace

std::string_view EnglishPattern(Finding what) {
    const auto at = static_cast<std::size_t>(what);
    return at < kEnglish.size() ? kEnglish[at] : std::string_view();
}

}  // namespace mox3
")
  # Newer than what it is made from, even when its text stays the same.
  file(TOUCH "${OUTPUT}")
  return()
elseif(NOT PART STREQUAL "cli")
  message(FATAL_ERROR "PART is findings or cli, not ${PART}")
endif()

# The translations: each file gives one language every text.
file(GLOB files "${CATALOGUE}/*.po")
list(SORT files)
set(order "")  # "<id in decimal, five digits>|<id>|<catalogue or empty for English>"
foreach(id IN LISTS MOX3_ENGLISH_IDS)
  math(EXPR decimal "${id}")
  string(LENGTH "${decimal}" length)
  string(REPEAT "0" 5 zeros)
  string(SUBSTRING "${zeros}${decimal}" ${length} 5 padded)
  list(APPEND order "${padded}|${id}|")
endforeach()
set(n 0)
foreach(path IN LISTS files)
  math(EXPR n "${n} + 1")
  set(p "po${n}")
  mox3_read_po("${path}" ${p})
  set(header "${${p}_HEADER}")
  if(NOT header MATCHES "(^|\n)X-Language-Id:[ \t]*0x([0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f])[ \t]*(\n|$)")
    message(FATAL_ERROR
            "${path}:1: the header lacks the language's Windows id, \"X-Language-Id: 0xNNNN\\n\"")
  endif()
  string(TOUPPER "${CMAKE_MATCH_2}" digits)
  set(id "0x${digits}")
  if(header MATCHES "(^|\n)Content-Type:[^\n]*charset=([^ \t\n;]*)" AND
     NOT CMAKE_MATCH_2 STREQUAL "UTF-8")
    message(FATAL_ERROR "${path}:1: the catalogue's charset is ${CMAKE_MATCH_2}, not UTF-8")
  endif()
  if(id IN_LIST MOX3_ENGLISH_IDS OR id STREQUAL "0x0000")
    message(FATAL_ERROR "${path}:1: language ${id} is not one a translation can take")
  endif()
  if(DEFINED file_of_${id})
    message(FATAL_ERROR "${path}:1: language ${id} is given by ${file_of_${id}} already")
  endif()
  set(file_of_${id} "${path}")
  mox3_check_keys("${path}" ${p} "${keys}")
  foreach(key IN LISTS keys)
    set(where "${path}:${${p}_LINE_${key}}")
    set(english "${en_ID_${key}}")
    set(text "${${p}_STR_${key}}")
    if(NOT ${p}_ID_${key} STREQUAL english)
      message(FATAL_ERROR
              "${where}: the msgid of ${key} is not the English text of ${MOX3_TEMPLATE_NAME} "
              "(\"${english}\"): translate that text and take it as the msgid")
    endif()
    if(text STREQUAL "")
      message(FATAL_ERROR "${where}: ${key} is not translated")
    endif()
    mox3_check_text("${text}" "${where}" "the translation of ${key}")
    mox3_places("${english}" wanted)
    mox3_places("${text}" given)
    if(NOT given STREQUAL wanted)
      message(FATAL_ERROR
              "${where}: the translation of ${key} has ${given}, the English text has ${wanted} "
              "(a translation keeps the places of the English text; their order may differ)")
    endif()
  endforeach()
  math(EXPR decimal "${id}")
  string(LENGTH "${decimal}" length)
  string(SUBSTRING "${zeros}${decimal}" ${length} 5 padded)
  list(APPEND order "${padded}|${id}|${p}")
endforeach()
list(SORT order)

# A table a catalogue: `p` empty for the template's English.
function(mox3_table p keys type name out)
  set(table "constexpr ${type} ${name} = {\n")
  foreach(key IN LISTS keys)
    if(p STREQUAL "")
      set(text "${en_ID_${key}}")
    else()
      set(text "${${p}_STR_${key}}")
    endif()
    mox3_literal("${text}" literal)
    string(APPEND table "    ${literal},  // ${key}\n")
  endforeach()
  string(APPEND table "};\n\n")
  set(${out} "${table}" PARENT_SCOPE)
endfunction()

set(names "")
foreach(key IN LISTS cli_keys)
  string(APPEND names "    \"${key}\",\n")
endforeach()
mox3_table("" "${cli_keys}" CliTexts kCliEnglish tables)
set(languages "")
set(ids "")
foreach(entry IN LISTS order)
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 1 id)
  list(LENGTH entry parts)
  set(p "")
  if(parts GREATER 2)
    list(GET entry 2 p)
  endif()
  list(APPEND ids ${id})
  if(p STREQUAL "")
    string(APPEND languages "    {${id}, kCliEnglish, {}},\n")
    continue()
  endif()
  mox3_table(${p} "${cli_keys}" CliTexts kCli_${id} cli)
  mox3_table(${p} "${finding_keys}" FindingTexts kFindings_${id} findings)
  string(APPEND tables "// ${file_of_${id}}\n${cli}${findings}")
  string(APPEND languages "    {${id}, kCli_${id}, kFindings_${id}},\n")
endforeach()
string(REPLACE "${CATALOGUE}/" "resources/po/" tables "${tables}")
string(REPLACE ";" ", " ids "${ids}")

file(CONFIGURE OUTPUT "${OUTPUT}" @ONLY NEWLINE_STYLE UNIX CONTENT "${banner}\
#include \"app/cli/cli_catalogue.h\"

#include <array>

#include \"app/cli/cli_texts.h\"
#include \"base/finding.h\"

namespace mox3 {

namespace {

using CliTexts = std::array<const char*, kCliTextCount>;
using FindingTexts = std::array<const char*, kFindingCount>;

constexpr std::array<std::string_view, kCliTextCount> kKeys = {
@names@};

@tables@constexpr CatalogueLanguage kLanguages[] = {
@languages@};

constexpr LanguageId kLanguageIds[] = {@ids@};

}  // namespace

std::span<const std::string_view> CatalogueKeys() {
    return kKeys;
}

std::span<const CatalogueLanguage> Catalogue() {
    return kLanguages;
}

std::span<const LanguageId> CatalogueLanguageIds() {
    return kLanguageIds;
}

}  // namespace mox3
")
file(TOUCH "${OUTPUT}")
