target_sources(bench_devserver PRIVATE ${PROJECT_SOURCE_DIR}/tests/devserver/test_client_fixture.cc
                                       ${PROJECT_SOURCE_DIR}/tests/support/beast_acceptor.cc
                                       ${PROJECT_SOURCE_DIR}/tests/support/beast_websocket_server.cc)
target_link_libraries(bench_devserver PRIVATE dz_devserver dz_database_websocket)
