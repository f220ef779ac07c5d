target_sources(bench_app PRIVATE ${PROJECT_SOURCE_DIR}/tests/support/sandbox.cc)
target_include_directories(bench_app PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(bench_app PRIVATE dz_app dz_devserver)
