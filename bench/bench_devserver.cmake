target_sources(bench_devserver PRIVATE ${PROJECT_SOURCE_DIR}/tests/devserver/test_client_fixture.cc)
target_include_directories(bench_devserver PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(bench_devserver PRIVATE dz_devserver)
