target_sources(bench_delivery PRIVATE ${PROJECT_SOURCE_DIR}/tests/devserver/test_client_fixture.cc)
target_link_libraries(bench_delivery PRIVATE dz_database_core dz_devserver Boost::headers
                                             OpenSSL::SSL)
