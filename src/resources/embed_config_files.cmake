# Writes a C++ source that holds the bytes of the configuration files and defines
# mox3::ConfigResources() over them.
#
#   cmake -DENTRIES=<id>|<path>;... -DOUTPUT=<file.cpp> -P embed_config_files.cmake
#
# ENTRIES must already be ordered by id.

if(NOT DEFINED ENTRIES OR NOT DEFINED OUTPUT)
  message(FATAL_ERROR "usage: cmake -DENTRIES=<id>|<path>;... -DOUTPUT=<file> -P ${CMAKE_CURRENT_LIST_FILE}")
endif()

set(arrays "")
set(table "")
foreach(entry IN LISTS ENTRIES)
  if(NOT entry MATCHES "^([0-9]+)\\|(.+)$")
    message(FATAL_ERROR "bad entry '${entry}'")
  endif()
  set(id ${CMAKE_MATCH_1})
  set(path ${CMAKE_MATCH_2})
  get_filename_component(name ${path} NAME)

  file(READ ${path} hex HEX)
  string(LENGTH "${hex}" digits)
  if(digits EQUAL 0)
    message(FATAL_ERROR "${path} is empty")
  endif()
  math(EXPR last "${digits} - 1")
  # Sixteen bytes per line.
  set(bytes "")
  foreach(offset RANGE 0 ${last} 32)
    string(SUBSTRING "${hex}" ${offset} 32 chunk)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " chunk "${chunk}")
    string(STRIP "${chunk}" chunk)
    string(APPEND bytes "    ${chunk}\n")
  endforeach()

  string(APPEND arrays "// ${name}\nconst std::uint8_t kConfig${id}[] = {\n${bytes}};\n\n")
  string(APPEND table "    {${id}, \"${name}\", kConfig${id}},\n")
endforeach()

set(content "// Generated from resources/config by embed_config_files.cmake. Do not edit.
#include <cstdint>

#include \"resources/resources.h\"

namespace mox3 {
namespace {

${arrays}const EmbeddedResource kConfigFiles[] = {
${table}};

}  // namespace

std::span<const EmbeddedResource> ConfigResources() { return kConfigFiles; }

}  // namespace mox3
")

file(WRITE ${OUTPUT} "${content}")
