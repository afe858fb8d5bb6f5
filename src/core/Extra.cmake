# The program entry prints the commit the build came from.
target_link_libraries(${name} PUBLIC lumetta_build_info)
