# One static library per source folder, each naming the project libraries it uses.
#
#   lumetta_folder_library(<name> <folder> DEPENDS <library>...)
#
# builds <name> from the .cpp/.c files directly in <folder> (subfolders are libraries of their
# own), links it PUBLIC to the libraries after DEPENDS and to the third-party set (lumetta_deps),
# and includes <folder>/Extra.cmake when there is one (there `${name}` is the new library).
#
# Imports point down only: a library names just the libraries below it, and the link has no
# group that rescans, so a call that points up (or round in a circle) fails to link. A folder
# without code yet makes no library; naming it after DEPENDS is allowed and simply links nothing
# until the folder has code, so a library's full list can be written down before its neighbours
# exist. A name that is neither a library nor a folder declared here stops the configure step.
#
# To add a folder: give it a line in the top-level CMakeLists.txt (after the libraries it uses),
#   lumetta_folder_library(lumetta_scene src/scene DEPENDS lumetta_objects lumetta_display lumetta_core)
# and, to call a new library from an existing one, add it to that library's DEPENDS there.
# The test program tests/<folder> links every project library (through lumetta_all).
#
# After all folders are declared, lumetta_link_folder_libraries() links each library to its
# DEPENDS and makes `lumetta_all` (every project library) and `lumetta_whole_link_check`, a
# program that takes in every object file of every library, so two definitions of one strong
# symbol fail the build at once, even where no program calls both yet. The test
# "Layering.IncludesPointDown" checks that a folder's files include only from its own folder and
# from the folders of the libraries it names (directly or through them).

set(LUMETTA_FOLDER_LIBRARIES "")
set(LUMETTA_EMPTY_FOLDER_LIBRARIES "")

function(lumetta_folder_library name dir)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "DEPENDS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "lumetta_folder_library(${name}): unexpected arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  # Every declared folder, with or without code, for the layering check.
  set_property(GLOBAL APPEND PROPERTY LUMETTA_DECLARED_LIBRARIES ${name})
  set_property(GLOBAL PROPERTY LUMETTA_DIR_${name} ${dir})
  set_property(GLOBAL PROPERTY LUMETTA_DEPENDS_${name} ${arg_DEPENDS})
  file(GLOB sources CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/${dir}/*.cpp" "${CMAKE_SOURCE_DIR}/${dir}/*.c")
  if(NOT sources)
    set(LUMETTA_EMPTY_FOLDER_LIBRARIES ${LUMETTA_EMPTY_FOLDER_LIBRARIES} ${name} PARENT_SCOPE)
    return()
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC lumetta_deps)
  target_compile_options(${name} PRIVATE ${LUMETTA_WARNINGS})
  target_compile_definitions(${name} PRIVATE
    LUMETTA_DEFAULT_SERVICE_HOST="${LUMETTA_DEFAULT_SERVICE_HOST}")
  if(EXISTS "${CMAKE_SOURCE_DIR}/${dir}/Extra.cmake")
    include("${CMAKE_SOURCE_DIR}/${dir}/Extra.cmake")
  endif()
  set(LUMETTA_FOLDER_LIBRARIES ${LUMETTA_FOLDER_LIBRARIES} ${name} PARENT_SCOPE)
endfunction()

function(lumetta_link_folder_libraries)
  foreach(library IN LISTS LUMETTA_FOLDER_LIBRARIES)
    get_property(depends GLOBAL PROPERTY LUMETTA_DEPENDS_${library})
    foreach(dependency IN LISTS depends)
      if(dependency IN_LIST LUMETTA_FOLDER_LIBRARIES)
        target_link_libraries(${library} PUBLIC ${dependency})
      elseif(NOT dependency IN_LIST LUMETTA_EMPTY_FOLDER_LIBRARIES)
        message(FATAL_ERROR "${library} depends on '${dependency}', which is no project library")
      endif()
    endforeach()
  endforeach()

  lumetta_write_layering("${CMAKE_BINARY_DIR}/layering.cmake")

  add_library(lumetta_all INTERFACE)
  target_link_libraries(lumetta_all INTERFACE ${LUMETTA_FOLDER_LIBRARIES} lumetta_deps)
  target_include_directories(lumetta_all INTERFACE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR})

  # Every object file of every library is loaded (the plain link below then only resolves what
  # they call outside the project).
  set(archives "")
  foreach(library IN LISTS LUMETTA_FOLDER_LIBRARIES)
    list(APPEND archives "$<TARGET_FILE:${library}>")
  endforeach()
  add_executable(lumetta_whole_link_check ${CMAKE_SOURCE_DIR}/cmake/whole_link_check_main.cpp)
  target_link_options(lumetta_whole_link_check PRIVATE
    "LINKER:--whole-archive" ${archives} "LINKER:--no-whole-archive")
  target_link_libraries(lumetta_whole_link_check PRIVATE lumetta_all)
endfunction()

# Writes, for cmake/CheckLayering.cmake, each folder and the include folders it may use: its
# own and those of the libraries it names, directly or through them. The include folder of
# "src/objects" is "objects"; of "platform", "platform".
function(lumetta_write_layering file)
  get_property(libraries GLOBAL PROPERTY LUMETTA_DECLARED_LIBRARIES)
  set(content "set(LAYERING_LIBRARIES ${libraries})\n")
  foreach(library IN LISTS libraries)
    set(reached "")
    set(pending ${library})
    while(pending)
      list(POP_FRONT pending current)
      if(current IN_LIST reached)
        continue()
      endif()
      list(APPEND reached ${current})
      get_property(next GLOBAL PROPERTY LUMETTA_DEPENDS_${current})
      list(APPEND pending ${next})
    endwhile()
    set(allowed "")
    foreach(reachedLibrary IN LISTS reached)
      get_property(reachedDir GLOBAL PROPERTY LUMETTA_DIR_${reachedLibrary})
      string(REGEX REPLACE "^src/" "" includeDir "${reachedDir}")
      list(APPEND allowed ${includeDir})
    endforeach()
    get_property(dir GLOBAL PROPERTY LUMETTA_DIR_${library})
    string(REGEX REPLACE "^src/" "" includeDir "${dir}")
    string(APPEND content "set(LAYERING_DIR_${library} ${dir})\nset(LAYERING_INCLUDE_${library} ${includeDir})\n"
                          "set(LAYERING_ALLOWED_${library} ${allowed})\n")
  endforeach()
  file(WRITE "${file}" "${content}")
endfunction()
