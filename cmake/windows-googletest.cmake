# GoogleTest and GoogleMock for the Windows build, compiled from the sources
# Debian ships: find_package would find only the Linux libraries.
set(TARVIK_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the cross build")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${TARVIK_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# Its own code is not held to this project's warnings.
foreach(target gtest gtest_main gmock gmock_main)
  target_compile_options(${target} PRIVATE -Wno-error)
endforeach()
