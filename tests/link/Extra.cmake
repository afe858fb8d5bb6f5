# One player's group sync (listener, sender and an event wait like the player loop's), driven
# over its standard input inside a host of the test LAN.
add_executable(slide_sync_probe ${CMAKE_CURRENT_SOURCE_DIR}/link/probe/slide_sync_probe_main.cpp)
target_link_libraries(slide_sync_probe PRIVATE lumetta_test_support)
target_compile_options(slide_sync_probe PRIVATE ${LUMETTA_WARNINGS})
add_dependencies(${name} slide_sync_probe)
target_compile_definitions(${name} PRIVATE SLIDE_SYNC_PROBE="$<TARGET_FILE:slide_sync_probe>")
