target_sources(bench_geo PRIVATE ${PROJECT_SOURCE_DIR}/tests/support/redis_server.cc
                                 ${PROJECT_SOURCE_DIR}/tests/support/redis_client.cc
                                 ${PROJECT_SOURCE_DIR}/tests/support/child_process.cc
                                 ${PROJECT_SOURCE_DIR}/tests/geo/random_points_fixture.cc)
target_link_libraries(bench_geo PRIVATE dz_geo dz_devserver)
