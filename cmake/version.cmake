# The version of this build, from git: a tag vMAJOR.MINOR[.PATCH] when there
# is one (with describe's "-N-gHASH" after it), otherwise 1.0 with the
# commit count and hash. Sets QORVEX_VERSION (text) and QORVEX_VERSION_MAJOR,
# _MINOR, _PATCH, _BUILD (numbers for the version resource).
set(QORVEX_VERSION_MAJOR 1)
set(QORVEX_VERSION_MINOR 0)
set(QORVEX_VERSION_PATCH 0)
set(QORVEX_VERSION_BUILD 0)
set(QORVEX_VERSION "1.0-unknown")
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} describe --tags --match "v[0-9]*" --dirty
                  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE described
                  RESULT_VARIABLE describeFailed OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT describeFailed AND described MATCHES "^v([0-9]+)\\.([0-9]+)(\\.([0-9]+))?(-([0-9]+)-g[0-9a-f]+)?")
    set(QORVEX_VERSION_MAJOR ${CMAKE_MATCH_1})
    set(QORVEX_VERSION_MINOR ${CMAKE_MATCH_2})
    if(CMAKE_MATCH_4)
      set(QORVEX_VERSION_PATCH ${CMAKE_MATCH_4})
    endif()
    if(CMAKE_MATCH_6)
      set(QORVEX_VERSION_BUILD ${CMAKE_MATCH_6})
    endif()
    string(SUBSTRING "${described}" 1 -1 QORVEX_VERSION)
  else()
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-list --count HEAD
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE count
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND ${GIT_EXECUTABLE} describe --always --dirty
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE hash
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(count MATCHES "^[0-9]+$" AND hash)
      set(QORVEX_VERSION_BUILD ${count})
      set(QORVEX_VERSION "1.0-${count}-g${hash}")
    endif()
  endif()
endif()
# A version resource field holds 16 bits.
if(QORVEX_VERSION_BUILD GREATER 65535)
  set(QORVEX_VERSION_BUILD 65535)
endif()
