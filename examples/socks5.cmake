# socks5-demo: the reference SOCKS5 proxy that reports its sessions to warden.
# Built like any outside program: the public header and the archive only.
add_executable(socks5-demo ${CMAKE_CURRENT_LIST_DIR}/socks5-demo.cpp)
find_package(Threads REQUIRED)
target_link_libraries(socks5-demo PRIVATE quelm Threads::Threads)
target_compile_definitions(socks5-demo PRIVATE SOCKS5_DEMO_VERSION="${PROJECT_VERSION}")
install(TARGETS socks5-demo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
