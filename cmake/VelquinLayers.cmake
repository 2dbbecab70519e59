# Helpers that make each folder group a build target of its own.

# velquin_add_layer(NAME DIRS dir... [EXCLUDE dir...] [LINK target...])
# A static library (position-independent, so the shared library can take its
# objects) of every .cpp below DIRS and not below EXCLUDE. A layer with no
# sources yet is an interface target that still passes on what it links.
function(velquin_add_layer name)
  cmake_parse_arguments(ARG "" "" "DIRS;EXCLUDE;LINK" ${ARGN})
  set(sources)
  foreach(dir IN LISTS ARG_DIRS)
    file(GLOB_RECURSE found CONFIGURE_DEPENDS ${dir}/*.cpp)
    list(APPEND sources ${found})
  endforeach()
  foreach(dir IN LISTS ARG_EXCLUDE)
    list(FILTER sources EXCLUDE REGEX "^${dir}/")
  endforeach()
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${VELQUIN_DEVICE_DIR})
    target_link_libraries(${name} PUBLIC ${ARG_LINK})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${VELQUIN_DEVICE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_LINK})
  endif()
endfunction()

# velquin_add_shared_library(NAME LAYERS layer... [VERSION_SCRIPT file])
# The shared library built from the objects of the given layers. It links what
# the layers need from outside (system libraries), never their archives, and
# leaves no symbol undefined that those do not give. A version script decides
# what it exports (everything else is local).
function(velquin_add_shared_library name)
  cmake_parse_arguments(ARG "" "VERSION_SCRIPT" "LAYERS" ${ARGN})
  add_library(${name} SHARED)
  list(JOIN ARG_LAYERS "|" layer_names)
  foreach(layer IN LISTS ARG_LAYERS)
    get_target_property(type ${layer} TYPE)
    if(NOT type STREQUAL "INTERFACE_LIBRARY")
      target_sources(${name} PRIVATE $<TARGET_OBJECTS:${layer}>)
    endif()
    target_link_libraries(${name} PRIVATE
      "$<FILTER:$<TARGET_PROPERTY:${layer},INTERFACE_LINK_LIBRARIES>,EXCLUDE,^(${layer_names})$>")
  endforeach()
  target_include_directories(${name} PUBLIC $<BUILD_INTERFACE:${VELQUIN_DEVICE_DIR}>)
  # Clang links the sanitizer runtimes into executables only, so a sanitized
  # clang build leaves their symbols to the executable.
  if(NOT (CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND VELQUIN_SANITIZER))
    target_link_options(${name} PRIVATE "LINKER:--no-undefined")
  endif()
  if(ARG_VERSION_SCRIPT)
    target_link_options(${name} PRIVATE "LINKER:--version-script=${ARG_VERSION_SCRIPT}")
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${ARG_VERSION_SCRIPT})
  endif()
endfunction()

# velquin_add_test_executable(NAME DIRS dir... [EXCLUDE dir...] [LINK target...]
#                             [LOCKED_TESTS gtest-pattern RESOURCE_LOCK name]
#                             [PATH_PREFIX dir])
# A GoogleTest executable of every .cpp below DIRS (relative to tests/), with
# its tests registered in CTest. Tests matching LOCKED_TESTS share the CTest
# resource lock, so no two of them run at once. PATH_PREFIX goes first on the
# tests' PATH. Nothing is made while the folders are empty.
function(velquin_add_test_executable name)
  cmake_parse_arguments(ARG "" "LOCKED_TESTS;RESOURCE_LOCK;PATH_PREFIX" "DIRS;EXCLUDE;LINK" ${ARGN})
  set(sources)
  foreach(dir IN LISTS ARG_DIRS)
    file(GLOB_RECURSE found CONFIGURE_DEPENDS ${VELQUIN_TESTS_DIR}/${dir}/*.cpp)
    list(APPEND sources ${found})
  endforeach()
  foreach(dir IN LISTS ARG_EXCLUDE)
    list(FILTER sources EXCLUDE REGEX "^${VELQUIN_TESTS_DIR}/${dir}/")
  endforeach()
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_include_directories(${name} PRIVATE ${VELQUIN_TESTS_DIR})
  target_link_libraries(${name} PRIVATE ${ARG_LINK} GTest::gtest GTest::gtest_main GTest::gmock)
  set(properties TIMEOUT 120)
  if(ARG_PATH_PREFIX)
    list(APPEND properties ENVIRONMENT "PATH=${ARG_PATH_PREFIX}:$ENV{PATH}")
  endif()
  if(ARG_LOCKED_TESTS)
    gtest_discover_tests(${name} TEST_FILTER "-${ARG_LOCKED_TESTS}" DISCOVERY_TIMEOUT 60 PROPERTIES ${properties})
    gtest_discover_tests(${name} TEST_FILTER "${ARG_LOCKED_TESTS}" DISCOVERY_TIMEOUT 60
                         PROPERTIES ${properties} RESOURCE_LOCK ${ARG_RESOURCE_LOCK})
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${properties})
  endif()
endfunction()
