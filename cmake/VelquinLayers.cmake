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
#                             [MDNS_TESTS gtest-pattern] [SERIAL_TESTS gtest-pattern]
#                             [SOAK_TESTS gtest-pattern] [PATH_PREFIX dir])
# A GoogleTest executable of every .cpp below DIRS (relative to tests/), with
# its tests registered in CTest. Tests matching LOCKED_TESTS share the CTest
# resource lock RESOURCE_LOCK, so no two of them run at once; those matching
# MDNS_TESTS (they announce devices, run an mDNS engine or search through the
# library) share the lock velquin_mdns, so no search meets another test's
# device; those matching SERIAL_TESTS run alone; those matching SOAK_TESTS
# carry the label "soak", which the test presets leave out (CMakePresets.json:
# the "soak" preset runs them). A test matches the first of
# these groups whose pattern it matches. Every test runs with mDNS kept on the
# loopback interface (VELQUIN_MDNS_INTERFACES=lo). PATH_PREFIX goes first on
# the tests' PATH. Nothing is made while the folders are empty.
function(velquin_add_test_executable name)
  cmake_parse_arguments(ARG "" "LOCKED_TESTS;RESOURCE_LOCK;MDNS_TESTS;SERIAL_TESTS;SOAK_TESTS;PATH_PREFIX"
                        "DIRS;EXCLUDE;LINK" ${ARGN})
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
  # One value per property: a list would not survive test discovery.
  set(properties TIMEOUT 120 ENVIRONMENT "VELQUIN_MDNS_INTERFACES=lo")
  if(ARG_PATH_PREFIX)
    list(APPEND properties ENVIRONMENT_MODIFICATION "PATH=path_list_prepend:${ARG_PATH_PREFIX}")
  endif()
  # Each group's filter leaves out the earlier groups' tests, and the rest
  # leave out all of them.
  set(earlier "")
  foreach(group LOCKED MDNS SERIAL SOAK)
    if(group STREQUAL "LOCKED")
      set(pattern "${ARG_LOCKED_TESTS}")
      set(extra RESOURCE_LOCK "${ARG_RESOURCE_LOCK}")
    elseif(group STREQUAL "MDNS")
      set(pattern "${ARG_MDNS_TESTS}")
      set(extra RESOURCE_LOCK velquin_mdns)
    elseif(group STREQUAL "SERIAL")
      set(pattern "${ARG_SERIAL_TESTS}")
      set(extra RUN_SERIAL TRUE)
    else()
      # Long runs, labelled so that the test presets leave them out and the
      # "soak" preset runs only them; the later time limit is the one that holds.
      set(pattern "${ARG_SOAK_TESTS}")
      set(extra LABELS soak TIMEOUT 900)
    endif()
    if(NOT pattern)
      continue()
    endif()
    if(earlier)
      set(filter "${pattern}-${earlier}")
      set(earlier "${earlier}:${pattern}")
    else()
      set(filter "${pattern}")
      set(earlier "${pattern}")
    endif()
    gtest_discover_tests(${name} TEST_FILTER "${filter}" DISCOVERY_TIMEOUT 60
                         PROPERTIES ${properties} ${extra})
  endforeach()
  if(earlier)
    gtest_discover_tests(${name} TEST_FILTER "-${earlier}" DISCOVERY_TIMEOUT 60 PROPERTIES ${properties})
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${properties})
  endif()
endfunction()
