# A tiny program that reports the palette and defaults as it fixed them at start.
add_executable(palette_probe ${CMAKE_CURRENT_SOURCE_DIR}/core/probe/palette_probe_main.cpp)
target_link_libraries(palette_probe PRIVATE lumetta_all)
add_dependencies(${name} palette_probe)
target_compile_definitions(${name} PRIVATE PALETTE_PROBE="$<TARGET_FILE:palette_probe>")
