# MOX3_SOURCE_REVISION: the source revision the programs report, taken when the build is
# configured: `git describe` of the checkout (a commit's short name where there is no tag),
# with "-dirty" when tracked files differ from it; "unknown" outside a git checkout or without
# git. Asked without taking the repository's optional locks, so configuring never writes to it.
set(MOX3_SOURCE_REVISION unknown)
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS ${PROJECT_SOURCE_DIR}/.git)
  execute_process(COMMAND ${GIT_EXECUTABLE} --no-optional-locks describe --always --tags
                  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE mox3_describe OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE mox3_describe_rc ERROR_QUIET)
  if(mox3_describe_rc EQUAL 0 AND mox3_describe)
    set(MOX3_SOURCE_REVISION ${mox3_describe})
    execute_process(COMMAND ${GIT_EXECUTABLE} --no-optional-locks status --porcelain
                            --untracked-files=no
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE mox3_changes OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE mox3_status_rc ERROR_QUIET)
    if(mox3_status_rc EQUAL 0 AND mox3_changes)
      string(APPEND MOX3_SOURCE_REVISION -dirty)
    endif()
  endif()
endif()
