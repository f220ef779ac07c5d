# The initial load's client side runs against a Beast peer that sends a recorded push.
target_sources(bench_repo PRIVATE ${PROJECT_SOURCE_DIR}/tests/support/beast_acceptor.cc
                                  ${PROJECT_SOURCE_DIR}/tests/support/beast_websocket_server.cc)
target_link_libraries(bench_repo PRIVATE dz_database_api dz_devserver OpenSSL::SSL)
# The fan-out runs the server as a process of its own.
add_dependencies(bench_repo dz-devserver)
target_compile_definitions(bench_repo PRIVATE DZ_DEVSERVER_PROGRAM="$<TARGET_FILE:dz-devserver>")
