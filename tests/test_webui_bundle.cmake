# The bundling step of the page's script (cmake/bundle_webui.cmake), run as
# the build runs it: without esbuild it fails, says how to install it and
# leaves no script; with the pinned esbuild every module of webui/src ends up
# in one classic script.
# Run as: cmake -DSOURCE=<repo> -DWORK=<scratch folder> -P test_webui_bundle.cmake
cmake_minimum_required(VERSION 3.25)

set(failures 0)
macro(fail what)
  message(SEND_ERROR "FAILED: ${what}")
  math(EXPR failures "${failures} + 1")
endmacro()

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/bare/src")

# A folder with the pinned package.json but nothing installed, and no npm to
# install it with; a stale script is waiting where the bundle goes.
file(COPY "${SOURCE}/webui/package.json" DESTINATION "${WORK}/bare")
file(WRITE "${WORK}/bare/src/main.js" "console.log(1);\n")
file(WRITE "${WORK}/stale.js" "stale\n")
execute_process(
  COMMAND "${CMAKE_COMMAND}" -DWEBUI=${WORK}/bare -DOUT=${WORK}/stale.js -DNPM=
          -P "${SOURCE}/cmake/bundle_webui.cmake"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(rc EQUAL 0)
  fail("without esbuild the step fails (exit ${rc})")
endif()
string(FIND "${err}" "is not installed" notInstalled)
string(FIND "${err}" "npm ci" howTo)
if(NOT (notInstalled GREATER -1 AND howTo GREATER -1))
  fail("the failure says what is missing and how to install it:\n${err}")
endif()
if(EXISTS "${WORK}/stale.js")
  fail("a failed step leaves no script behind")
endif()

# The real modules with the installed esbuild.
execute_process(
  COMMAND "${CMAKE_COMMAND}" -DWEBUI=${SOURCE}/webui -DOUT=${WORK}/app.js
          -P "${SOURCE}/cmake/bundle_webui.cmake"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  fail("the step bundles webui/src (exit ${rc}):\n${err}")
endif()
if(rc EQUAL 0)
  file(READ "${WORK}/app.js" js)
  string(FIND "${js}" "\"use strict\";\n(() => {" head)
  if(NOT head EQUAL 0)
    fail("the bundle is one strict classic script")
  endif()
  string(REGEX MATCH "(^|\n)[ \t]*(import|export)[ \t{*]" moduleLine "${js}")
  if(NOT moduleLine STREQUAL "")
    fail("no module statement is left in the bundle: ${moduleLine}")
  endif()
  # Each module is reached from the entry: none lies unused beside it.
  file(GLOB modules RELATIVE "${SOURCE}/webui/src" "${SOURCE}/webui/src/*.js")
  foreach(m IN LISTS modules)
    string(FIND "${js}" "// src/${m}\n" at)
    if(at EQUAL -1)
      fail("module ${m} is part of the bundle")
    endif()
  endforeach()
endif()

file(REMOVE_RECURSE "${WORK}")
if(failures GREATER 0)
  message(FATAL_ERROR "${failures} check(s) failed")
endif()
message(STATUS "bundle checks passed")
