# The whole-program tests run the built player.
add_dependencies(${name} lumetta)
target_compile_definitions(${name} PRIVATE LUMETTA_PROGRAM="$<TARGET_FILE:lumetta>")
