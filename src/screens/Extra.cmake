# The built-in picture of the pairing panel, embedded from its PNG.
set(pairing_help_png "${CMAKE_SOURCE_DIR}/assets/images/pairing-help.png")
set(pairing_help_cpp "${CMAKE_BINARY_DIR}/generated/pairing_help_picture.cpp")
add_custom_command(
  OUTPUT "${pairing_help_cpp}"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_BINARY_DIR}/generated"
  COMMAND ${CMAKE_COMMAND} -DINPUT=${pairing_help_png} -DOUTPUT=${pairing_help_cpp} -DSYMBOL=pairingHelpPng
          -DHEADER=screens/pairing_help_picture.h -P "${CMAKE_SOURCE_DIR}/cmake/EmbedFile.cmake"
  DEPENDS "${pairing_help_png}" "${CMAKE_SOURCE_DIR}/cmake/EmbedFile.cmake"
  COMMENT "Embedding the built-in pairing help picture"
  VERBATIM)
target_sources(${name} PRIVATE "${pairing_help_cpp}")

# Draws that picture again (not part of the normal build):
#   cmake --build build --target lumetta_draw_pairing_help
#   build/lumetta_draw_pairing_help assets/fonts/Montserrat-Bold.ttf assets/fonts/OpenSans-Regular.ttf \
#       assets/images/pairing-help.png
add_executable(lumetta_draw_pairing_help EXCLUDE_FROM_ALL "${CMAKE_SOURCE_DIR}/assets/images/draw_pairing_help.cpp")
target_link_libraries(lumetta_draw_pairing_help PRIVATE lumetta_deps)

# The built-in start-up picture is an XPM, which is C source: src/screens/splash_picture.cpp
# includes it, so a new drawing is compiled in at the next build. Draws it again (not part of
# the normal build):
#   cmake --build build --target lumetta_draw_splash
#   build/lumetta_draw_splash assets/fonts/Lato-Bold.ttf assets/images/splash.xpm
add_executable(lumetta_draw_splash EXCLUDE_FROM_ALL "${CMAKE_SOURCE_DIR}/assets/images/draw_splash.cpp")
target_link_libraries(lumetta_draw_splash PRIVATE lumetta_deps)
