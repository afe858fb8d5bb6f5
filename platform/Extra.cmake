# libwebsockets (Debian's, with its libev event-loop plugin loaded at run time).
find_library(LUMETTA_LIBWEBSOCKETS websockets REQUIRED)
find_path(LUMETTA_LIBWEBSOCKETS_INCLUDE libwebsockets.h REQUIRED)
target_include_directories(${name} SYSTEM PUBLIC ${LUMETTA_LIBWEBSOCKETS_INCLUDE})
target_link_libraries(${name} PUBLIC ${LUMETTA_LIBWEBSOCKETS})
