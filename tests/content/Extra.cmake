# A program that runs one picture through the image worker, run by the tests inside a private
# mount namespace over a file system that cannot take the reduced copy.
add_executable(image_job_probe ${CMAKE_CURRENT_SOURCE_DIR}/content/probe/image_job_probe_main.cpp)
target_link_libraries(image_job_probe PRIVATE lumetta_all)
add_dependencies(${name} image_job_probe)
target_compile_definitions(${name} PRIVATE IMAGE_JOB_PROBE="$<TARGET_FILE:image_job_probe>")

# One player's content mesh, driven over its standard input inside a host of the test LAN.
add_executable(mesh_probe ${CMAKE_CURRENT_SOURCE_DIR}/content/probe/mesh_probe_main.cpp)
target_link_libraries(mesh_probe PRIVATE lumetta_all)
add_dependencies(${name} mesh_probe)
target_compile_definitions(${name} PRIVATE MESH_PROBE="$<TARGET_FILE:mesh_probe>")

# One media download into a small file system that a test fills up.
add_executable(media_request_probe ${CMAKE_CURRENT_SOURCE_DIR}/content/probe/media_request_probe_main.cpp)
target_link_libraries(media_request_probe PRIVATE lumetta_all)
add_dependencies(${name} media_request_probe)
target_compile_definitions(${name} PRIVATE MEDIA_REQUEST_PROBE="$<TARGET_FILE:media_request_probe>")

# One task through the download workers, on a small file system that a test fills up.
add_executable(download_worker_probe ${CMAKE_CURRENT_SOURCE_DIR}/content/probe/download_worker_probe_main.cpp
                                     ${CMAKE_CURRENT_SOURCE_DIR}/support/manual_clock.cpp)
target_link_libraries(download_worker_probe PRIVATE lumetta_all)
target_include_directories(download_worker_probe PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
add_dependencies(${name} download_worker_probe)
target_compile_definitions(${name} PRIVATE DOWNLOAD_WORKER_PROBE="$<TARGET_FILE:download_worker_probe>")
