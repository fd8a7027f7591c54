# Refuses every include that runs upward or sideways between the layers of cmake/Layers.cmake,
# any Asio, Beast or websocketpp header outside the network layers, and any header carrying the
# transport in exchange code, bar the listed exceptions.
#   cmake -DSOURCE_DIR=<src> [-DSTAMP=<file>] -P CheckLayers.cmake
# SOURCE_DIR is the tree to check (src/, or a test's small tree); STAMP is touched on success.

include(${CMAKE_CURRENT_LIST_DIR}/Layers.cmake)
if(NOT SOURCE_DIR)
  message(FATAL_ERROR "CheckLayers.cmake: SOURCE_DIR is not set")
endif()

set(failures 0)
set(exceptions_seen "")

# The layer that owns a path relative to src/ ("" when none does).
function(owner_of path out)
  set(found "")
  foreach(layer IN LISTS CORVANE_LAYERS)
    string(FIND "${path}" "${CORVANE_LAYER_${layer}_DIR}/" at)
    if(at EQUAL 0)
      set(found ${layer})
    endif()
  endforeach()
  set(${out} "${found}" PARENT_SCOPE)
endfunction()

macro(refuse file text)
  message("${file}: ${text}")
  math(EXPR failures "${failures} + 1")
endmacro()

# Returns TRUE in ${out} when the include is a listed exception, and records that it was seen.
macro(excepted file header out)
  set(${out} FALSE)
  if("${file}|${header}" IN_LIST CORVANE_LAYER_EXCEPTIONS)
    set(${out} TRUE)
    list(APPEND exceptions_seen "${file}|${header}")
  endif()
endmacro()

# Every file of src/core sits in a layer.
file(GLOB_RECURSE core_files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/core/*.hpp ${SOURCE_DIR}/core/*.cpp)
foreach(file IN LISTS core_files)
  owner_of("${file}" layer)
  if(layer STREQUAL "")
    refuse("${file}" "lies in no layer of cmake/Layers.cmake")
  endif()
endforeach()

foreach(layer IN LISTS CORVANE_LAYERS)
  set(dir ${CORVANE_LAYER_${layer}_DIR})
  set(allowed ${layer} ${CORVANE_LAYER_${layer}_USES})
  file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/${dir}/*.hpp ${SOURCE_DIR}/${dir}/*.cpp)
  foreach(file IN LISTS files)
    file(STRINGS ${SOURCE_DIR}/${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[<\"]([^>\"]+)[>\"].*$" "\\1" header "${line}")
      if(line MATCHES "^[ \t]*#[ \t]*include[ \t]*\"")
        owner_of("${header}" target)
        excepted("${file}" "${header}" known)
        if(target STREQUAL "")
          refuse("${file}" "includes ${header}, which is in no layer")
        elseif(NOT target IN_LIST allowed)
          refuse("${file}" "includes ${header}: layer ${layer} does not use layer ${target}")
        elseif(layer IN_LIST CORVANE_EXCHANGE_LAYERS AND header IN_LIST CORVANE_TRANSPORT_CARRIERS
               AND NOT known)
          refuse("${file}" "includes ${header}, which carries the transport into exchange code")
        endif()
      elseif(header MATCHES "^(boost/asio|boost/beast|websocketpp)([/.]|$)")
        excepted("${file}" "${header}" known)
        if(NOT layer IN_LIST CORVANE_NETWORK_LAYERS AND NOT known)
          refuse("${file}" "includes <${header}>, which only the network layers may")
        endif()
      endif()
    endforeach()
  endforeach()
endforeach()

# A stale exception would hide the next include of the same kind.
if(NOT CHECK_EXCEPTIONS_USED STREQUAL "OFF")
  foreach(exception IN LISTS CORVANE_LAYER_EXCEPTIONS)
    if(NOT exception IN_LIST exceptions_seen)
      refuse("cmake/Layers.cmake" "the exception ${exception} no longer occurs; remove it")
    endif()
  endforeach()
endif()

if(failures GREATER 0)
  message(FATAL_ERROR "${failures} include(s) break the layers of cmake/Layers.cmake")
endif()
if(STAMP)
  file(TOUCH ${STAMP})
endif()
