# The commit identifier is read at every build, so a rebuild after a commit reports the new one.
set(LUMETTA_BUILD_INFO_CPP "${CMAKE_BINARY_DIR}/generated/build_info.cpp")
add_custom_target(lumetta_build_info_gen
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -DOUTPUT=${LUMETTA_BUILD_INFO_CPP}
          -P ${CMAKE_SOURCE_DIR}/cmake/WriteBuildInfo.cmake
  BYPRODUCTS ${LUMETTA_BUILD_INFO_CPP}
  COMMENT "Recording the commit identifier")
add_library(lumetta_build_info STATIC ${LUMETTA_BUILD_INFO_CPP})
add_dependencies(lumetta_build_info lumetta_build_info_gen)
target_include_directories(lumetta_build_info PUBLIC ${CMAKE_SOURCE_DIR}/src)
