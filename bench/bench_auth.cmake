target_sources(bench_auth PRIVATE ${PROJECT_SOURCE_DIR}/tests/support/sandbox.cc)
target_include_directories(bench_auth PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(bench_auth PRIVATE dz_auth dz_devserver)
