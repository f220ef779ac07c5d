target_sources(bench_tls_connect PRIVATE ${PROJECT_SOURCE_DIR}/tests/support/beast_acceptor.cc
                                         ${PROJECT_SOURCE_DIR}/tests/support/tls_server_context.cc)
target_link_libraries(bench_tls_connect PRIVATE dz_database_core dz_devserver OpenSSL::SSL)
