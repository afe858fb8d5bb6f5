# The built-in picture for a playlist without slides, embedded from its PNG.
set(no_slides_png "${CMAKE_SOURCE_DIR}/assets/images/no-slides.png")
set(no_slides_cpp "${CMAKE_BINARY_DIR}/generated/no_slides_picture.cpp")
add_custom_command(
  OUTPUT "${no_slides_cpp}"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_BINARY_DIR}/generated"
  COMMAND ${CMAKE_COMMAND} -DINPUT=${no_slides_png} -DOUTPUT=${no_slides_cpp} -DSYMBOL=noSlidesPicture
          -DHEADER=objects/no_slides_picture.h -P "${CMAKE_SOURCE_DIR}/cmake/EmbedFile.cmake"
  DEPENDS "${no_slides_png}" "${CMAKE_SOURCE_DIR}/cmake/EmbedFile.cmake"
  COMMENT "Embedding the built-in no-slides picture"
  VERBATIM)
target_sources(${name} PRIVATE "${no_slides_cpp}")

# Draws that picture again (not part of the normal build):
#   cmake --build build --target lumetta_draw_no_slides
#   build/lumetta_draw_no_slides assets/fonts/Montserrat-Bold.ttf assets/images/no-slides.png
add_executable(lumetta_draw_no_slides EXCLUDE_FROM_ALL "${CMAKE_SOURCE_DIR}/assets/images/draw_no_slides.cpp")
target_link_libraries(lumetta_draw_no_slides PRIVATE lumetta_deps)

# The shape rasterisers give the same pixels on every path through them and on every board:
# no multiply and add fused into one rounding.
set_source_files_properties(${CMAKE_SOURCE_DIR}/src/objects/shape_raster.cpp PROPERTIES COMPILE_OPTIONS -ffp-contract=off)
