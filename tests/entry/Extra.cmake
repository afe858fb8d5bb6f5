# The whole-program tests run the built player.
add_dependencies(${name} lumetta)
target_compile_definitions(${name} PRIVATE LUMETTA_PROGRAM="$<TARGET_FILE:lumetta>")
# Holds a UDP port while it runs a program: shows that the program tries to listen there.
add_executable(hold_udp_port ${CMAKE_CURRENT_SOURCE_DIR}/entry/probe/hold_udp_port_main.cpp)
add_dependencies(${name} hold_udp_port)
target_compile_definitions(${name} PRIVATE HOLD_UDP_PORT="$<TARGET_FILE:hold_udp_port>")
