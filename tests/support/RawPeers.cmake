# The raw network peers of the tests and benchmarks, written on plain POSIX and
# the standard library, independent of the library under test. Included by
# tests/support and by bench/, whichever comes first makes the target.
if(NOT TARGET velquin_raw_peers)
  add_library(velquin_raw_peers STATIC
    ${CMAKE_CURRENT_LIST_DIR}/RawFrame.cpp
    ${CMAKE_CURRENT_LIST_DIR}/RawTcpPeer.cpp)
  target_include_directories(velquin_raw_peers PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
  target_link_libraries(velquin_raw_peers PUBLIC Threads::Threads)
endif()
