# Every third-party library the player uses, gathered into one interface target.
find_package(PkgConfig REQUIRED)

set(LUMETTA_SDL_PREFIX "/var/cache/lumetta-build/sdl3-1" CACHE PATH "Prefix holding SDL3, SDL3_image and SDL3_ttf")
list(PREPEND CMAKE_PREFIX_PATH "${LUMETTA_SDL_PREFIX}")
find_package(SDL3 REQUIRED CONFIG)
find_package(SDL3_image REQUIRED CONFIG)
find_package(SDL3_ttf REQUIRED CONFIG)
# Debian's split OpenCV packages ship no CMake or pkg-config files: find the three modules directly.
find_path(LUMETTA_OPENCV_INCLUDE opencv2/core.hpp PATH_SUFFIXES opencv4 REQUIRED)
set(OpenCV_LIBS "")
foreach(module core imgproc imgcodecs)
  find_library(LUMETTA_OPENCV_${module} opencv_${module} REQUIRED)
  list(APPEND OpenCV_LIBS ${LUMETTA_OPENCV_${module}})
endforeach()
set(OpenCV_INCLUDE_DIRS ${LUMETTA_OPENCV_INCLUDE})
find_package(Threads REQUIRED)

pkg_check_modules(LUMETTA_PKG REQUIRED IMPORTED_TARGET
  libavformat libavcodec libavutil libswscale libswresample
  libcurl openssl jsoncpp alsa vulkan zlib)
find_library(LUMETTA_LIBEV ev REQUIRED)
find_path(LUMETTA_LIBEV_INCLUDE ev.h REQUIRED)

add_library(lumetta_deps INTERFACE)
target_link_libraries(lumetta_deps INTERFACE
  SDL3::SDL3 SDL3_image::SDL3_image SDL3_ttf::SDL3_ttf
  ${OpenCV_LIBS} PkgConfig::LUMETTA_PKG ${LUMETTA_LIBEV} Threads::Threads ${CMAKE_DL_LIBS})
target_include_directories(lumetta_deps SYSTEM INTERFACE ${OpenCV_INCLUDE_DIRS} ${LUMETTA_LIBEV_INCLUDE})
# The SDL libraries live outside the system paths; the programs find them through their run path.
set(CMAKE_BUILD_RPATH "${LUMETTA_SDL_PREFIX}/lib")
set(CMAKE_INSTALL_RPATH "${LUMETTA_SDL_PREFIX}/lib")

set(LUMETTA_WARNINGS -Wall -Wextra)
