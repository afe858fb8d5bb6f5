# cmake -DSOURCE_DIR=<tree> -DLAYERS=<build>/layering.cmake -P CheckLayering.cmake
# Fails when a file of a project folder includes a header of a folder it does not name as a
# dependency (an include that points up or sideways). Includes of other folders (support,
# system headers) are not checked.
cmake_minimum_required(VERSION 3.25)
include("${LAYERS}")
set(includeDirs "")
foreach(library IN LISTS LAYERING_LIBRARIES)
  list(APPEND includeDirs ${LAYERING_INCLUDE_${library}})
endforeach()

set(violations "")
foreach(library IN LISTS LAYERING_LIBRARIES)
  file(GLOB files "${SOURCE_DIR}/${LAYERING_DIR_${library}}/*.h" "${SOURCE_DIR}/${LAYERING_DIR_${library}}/*.cpp"
                  "${SOURCE_DIR}/${LAYERING_DIR_${library}}/*.c")
  foreach(path IN LISTS files)
    file(STRINGS "${path}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line IN LISTS lines)
      if(NOT line MATCHES "\"([^\"]+)/[^/\"]+\"")
        continue()
      endif()
      set(includeDir "${CMAKE_MATCH_1}")
      if(NOT includeDir IN_LIST includeDirs OR includeDir IN_LIST LAYERING_ALLOWED_${library})
        continue()
      endif()
      file(RELATIVE_PATH shown "${SOURCE_DIR}" "${path}")
      list(APPEND violations "${shown}: ${line} (${library} does not name the library of ${includeDir})")
    endforeach()
  endforeach()
endforeach()

if(violations)
  list(JOIN violations "\n" text)
  message(FATAL_ERROR "Includes that point up:\n${text}")
endif()
message(STATUS "Every include points down")
