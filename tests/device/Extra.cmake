# A program that prints the device facts as the readers find them, run by the tests inside
# private mount and network namespaces over fixture files.
add_executable(device_facts_probe ${CMAKE_CURRENT_SOURCE_DIR}/device/probe/device_facts_probe_main.cpp)
target_link_libraries(device_facts_probe PRIVATE lumetta_all)
add_dependencies(${name} device_facts_probe)
target_compile_definitions(${name} PRIVATE DEVICE_FACTS_PROBE="$<TARGET_FILE:device_facts_probe>")
