# The plain per-sample rules the shape rasterisers are compared with are held to the same
# rounding as the rasterisers: no multiply and add fused into one.
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/objects/shape_raster_reference_test.cpp
                            PROPERTIES COMPILE_OPTIONS -ffp-contract=off)
