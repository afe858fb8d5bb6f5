set(LUMETTA_FOLDER_LIBRARIES "")

# A static library from the sources directly in one folder (subfolders are libraries of their own).
function(lumetta_folder_library name dir)
  file(GLOB sources CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/${dir}/*.cpp" "${CMAKE_SOURCE_DIR}/${dir}/*.c")
  if(NOT sources)
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
