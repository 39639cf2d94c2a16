# Bundles the page's ES modules (webui/src, entry main.js) into the one
# script the program embeds, with the esbuild that webui/package.json pins.
# Run as: cmake -DWEBUI=<source>/webui -DOUT=<file> [-DNPM=<npm>] -P bundle_webui.cmake
#
# esbuild is installed into webui/node_modules by `npm ci` (scripts/setup.sh
# does it; so does this script when it is missing or is not the pinned
# version). Once installed, bundling needs no network. Without esbuild the
# build stops here: the program never embeds a stale script.
#
# Output: one classic script (IIFE, strict), its syntax lowered to ES2019 as
# Chromium 80 (Edge 80 and Chrome 80, early 2020) and Firefox 78 run it, not
# minified, UTF-8 text kept as it is.
cmake_minimum_required(VERSION 3.25)

# A failed run leaves no script behind for a later step to embed.
file(REMOVE "${OUT}")

set(esbuild "${WEBUI}/node_modules/.bin/esbuild")
file(READ "${WEBUI}/package.json" pkg)
string(JSON pinned GET "${pkg}" devDependencies esbuild)
set(installed "")
if(EXISTS "${WEBUI}/node_modules/esbuild/package.json")
  file(READ "${WEBUI}/node_modules/esbuild/package.json" have)
  string(JSON installed GET "${have}" version)
endif()

if(NOT EXISTS "${esbuild}" OR NOT installed STREQUAL pinned)
  if(NPM)
    # Both builds may get here at once: one installs, the other waits.
    file(LOCK "${WEBUI}" DIRECTORY GUARD PROCESS TIMEOUT 600 RESULT_VARIABLE locked)
    message(STATUS "bundle_webui: installing esbuild ${pinned} (npm ci in ${WEBUI})")
    execute_process(COMMAND "${NPM}" ci --no-audit --no-fund WORKING_DIRECTORY "${WEBUI}"
                    RESULT_VARIABLE rc)
    file(LOCK "${WEBUI}" DIRECTORY RELEASE)
    if(EXISTS "${WEBUI}/node_modules/esbuild/package.json")
      file(READ "${WEBUI}/node_modules/esbuild/package.json" have)
      string(JSON installed GET "${have}" version)
    endif()
  endif()
endif()
if(NOT EXISTS "${esbuild}" OR NOT installed STREQUAL pinned)
  message(FATAL_ERROR "bundle_webui: esbuild ${pinned} is not installed in ${WEBUI}/node_modules "
          "(found: '${installed}'). Install it with scripts/setup.sh or `cd webui && npm ci` "
          "(needs npm and the npm registry once); the page's script cannot be built without it.")
endif()

execute_process(
  COMMAND "${esbuild}" "${WEBUI}/src/main.js" --bundle --format=iife
          --target=es2019,chrome80,edge80,firefox78 --charset=utf8 --legal-comments=none
          "--banner:js=\"use strict\";" --log-level=warning "--outfile=${OUT}"
  # The bundle names each module by its path from here: the same bytes from
  # every build folder.
  WORKING_DIRECTORY "${WEBUI}"
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "bundle_webui: esbuild failed (${rc}) on ${WEBUI}/src")
endif()
