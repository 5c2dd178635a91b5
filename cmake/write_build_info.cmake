# cmake -DSOURCE_DIR=... -DOUT=... -DTOOL_VERSION=... -P write_build_info.cmake
# Writes the build-info header when its text changed and prints the build version.
set(build "${TOOL_VERSION}+unknown")
find_program(GIT git)
if(GIT)
  execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} rev-list --count HEAD
                  OUTPUT_VARIABLE count RESULT_VARIABLE rc1 OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} rev-parse --short=10 HEAD
                  OUTPUT_VARIABLE hash RESULT_VARIABLE rc2 OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} diff --quiet HEAD --
                  RESULT_VARIABLE dirty ERROR_QUIET)
  if(rc1 EQUAL 0 AND rc2 EQUAL 0)
    set(build "${TOOL_VERSION}+${count}.g${hash}")
    if(NOT dirty EQUAL 0)
      string(APPEND build ".dirty")
    endif()
  endif()
endif()
set(text "// Generated at build time: the tool's version and the build's own.\n#pragma once\n#define ZOVIR_TOOL_VERSION \"${TOOL_VERSION}\"\n#define ZOVIR_BUILD_VERSION \"${build}\"\n")
if(EXISTS ${OUT})
  file(READ ${OUT} old)
else()
  set(old "")
endif()
if(NOT old STREQUAL text)
  file(WRITE ${OUT} "${text}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${build}")
