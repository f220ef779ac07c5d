target_sources(bench_websocket PRIVATE ${PROJECT_SOURCE_DIR}/tests/support/beast_acceptor.cc
                                       ${PROJECT_SOURCE_DIR}/tests/support/beast_websocket_server.cc)
target_link_libraries(bench_websocket PRIVATE dz_database_websocket Boost::headers OpenSSL::SSL)
