# Writes the manual page of the command line from the program's own help texts, so that the
# two cannot differ: the overview from `PROGRAM --help`, one section per command (the commands
# listed there) from `PROGRAM COMMAND --help`, the version from `PROGRAM --version`.
#
#   cmake -DPROGRAM=<built mox3-updater> -DOUTPUT=<page.1> -P generate-manpage.cmake
cmake_minimum_required(VERSION 3.25)

# In a sanitizer build, a leak report at the program's exit would fail the page for nothing.
set(ENV{ASAN_OPTIONS} "$ENV{ASAN_OPTIONS}:detect_leaks=0")

function(run_help out_var)
  execute_process(COMMAND ${PROGRAM} ${ARGN} OUTPUT_VARIABLE text ERROR_VARIABLE error
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR text STREQUAL "")
    string(JOIN " " words ${ARGN})
    message(FATAL_ERROR "'mox3-updater ${words}' failed (${rc}), no help text: ${error}")
  endif()
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

# Help text as roff: kept as it is laid out (no filling), backslashes and hyphens escaped, no
# line taken for a request.
function(roff_verbatim out_var text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  string(REGEX REPLACE "\n+$" "" text "${text}")
  set(${out_var} ".nf\n${text}\n.fi\n" PARENT_SCOPE)
endfunction()

run_help(version_text --version)
string(REGEX MATCH "^mox3-updater ([^\n]+)" version_line "${version_text}")
if(NOT version_line)
  message(FATAL_ERROR "unexpected --version output: ${version_text}")
endif()
set(version ${CMAKE_MATCH_1})

run_help(overview --help)
# The commands: the lines "  NAME   what it does" of the "Commands:" block.
string(REGEX MATCH "Commands:\n(( +[a-z][^\n]*\n)+)" block "${overview}")
if(NOT block)
  message(FATAL_ERROR "no Commands: block in the --help text")
endif()
string(REGEX MATCHALL "\n +[a-z][a-z-]*" command_lines "\n${CMAKE_MATCH_1}")
set(commands)
foreach(line IN LISTS command_lines)
  string(STRIP "${line}" name)
  list(APPEND commands ${name})
endforeach()

string(REGEX MATCH "usage: ([^\n]+)" synopsis "${overview}")
roff_verbatim(synopsis_roff "${CMAKE_MATCH_1}")
roff_verbatim(overview_roff "${overview}")

set(page ".\\\" Generated from the program's --help texts by packaging/generate-manpage.cmake.
.TH MOX3-UPDATER 1 \"\" \"mox3-updater ${version}\" \"User Commands\"
.nh
.SH NAME
mox3-updater \\- update the firmware and the configuration block of ZR-MOX3 USB 3.0 drives
.SH SYNOPSIS
${synopsis_roff}.SH DESCRIPTION
mox3-updater updates the firmware and the 4096-byte configuration block in the serial flash of
USB 3.0 hard-disk drives of the ZR-MOX3 family, and carries the tools to compile configuration
files, check image files and try everything on emulated drives.
.PP
${overview_roff}.SH COMMANDS
")
foreach(command IN LISTS commands)
  run_help(help ${command} --help)
  roff_verbatim(help_roff "${help}")
  string(APPEND page ".SS ${command}\n${help_roff}")
endforeach()
string(APPEND page ".SH EXIT STATUS
0 success, 1 failure (one line on standard error says what failed), 2 bad usage.
.SH ENVIRONMENT
.TP
.B MOX3_EMULATOR
A folder of emulated drives the program sees instead of the real ones (as \\fB\\-\\-emulator\\fR).
.TP
.B LANG, LC_MESSAGES, LC_ALL
The language of the messages (\\fBupdate \\-\\-lang\\fR overrides).
.TP
.B XDG_STATE_HOME
Holds the folder of the update's marker and lock files, \\fImox3\\-updater\\fR
(default \\fI~/.local/state/mox3\\-updater\\fR; \\fBupdate \\-\\-state\\-dir\\fR overrides).
.TP
.B MOX3_TIME_SCALE
Makes every wait that many times shorter, for tests on emulated drives.
.SH FILES
.TP
.I firmware_C30.bin, firmware_C311.bin
The image files of the first and second bridge generation, looked for beside the program, then
in the installation's data folder \\fIshare/mox3\\-updater\\fR, which the program finds as
\\fI../share/mox3\\-updater\\fR from its own folder (\\fBupdate \\-\\-image\\-dir\\fR
overrides both).
.SH NOTES
Writing a drive needs root: the kernel passes the WRITE BUFFER commands that carry the firmware
only for a process with the CAP_SYS_RAWIO capability.
")
file(WRITE ${OUTPUT} "${page}")
