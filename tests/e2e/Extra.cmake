# The scenarios run the built player whole.
add_dependencies(${name} lumetta)
target_compile_definitions(${name} PRIVATE LUMETTA_PROGRAM="$<TARGET_FILE:lumetta>")
