# What `cmake --install` puts under the prefix for a host built elsewhere:
#   lib/libvelquin.so.<version>, its soname link and the development link;
#   include/velquin/ the host header and the framework headers, rooted as in
#     Device/ ("velquin/Common/CrossPlatform/VelquinInterface.h",
#     "KTFramework/Utilities/Storage/Variant.h", ...), together with every
#     header they include;
#   lib/cmake/velquin/ the package: find_package(velquin) gives velquin::velquin;
#   lib/pkgconfig/velquin.pc.
# tools/check_install.sh installs into a scratch prefix and builds examples/host
# against it, as a host outside the project would.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# velquin_header_closure(OUT ROOT header...)
# The headers given (paths relative to ROOT) and every header that they reach
# through quoted includes resolved under ROOT, relative to ROOT and sorted.
function(velquin_header_closure out root)
  set(closure)
  set(pending ${ARGN})
  while(pending)
    list(POP_FRONT pending header)
    if(header IN_LIST closure)
      continue()
    endif()
    list(APPEND closure ${header})
    file(STRINGS ${root}/${header} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*$" "\\1" included "${line}")
      if(EXISTS ${root}/${included} AND NOT included IN_LIST closure)
        list(APPEND pending ${included})
      endif()
    endforeach()
  endwhile()
  list(SORT closure)
  set(${out} ${closure} PARENT_SCOPE)
endfunction()

set(VELQUIN_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/velquin)
set(VELQUIN_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/velquin)

# The host header and the framework a host compiles against (the library
# exports all of namespace KT but its platform layer).
file(GLOB_RECURSE velquin_public_headers RELATIVE ${VELQUIN_DEVICE_DIR} CONFIGURE_DEPENDS
  ${VELQUIN_DEVICE_DIR}/KTFramework/*.h ${VELQUIN_DEVICE_DIR}/DeviceControl/*.h)
velquin_header_closure(velquin_installed_headers ${VELQUIN_DEVICE_DIR}
  velquin/Common/CrossPlatform/VelquinInterface.h ${velquin_public_headers})
foreach(header IN LISTS velquin_installed_headers)
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${VELQUIN_DEVICE_DIR}/${header} DESTINATION ${VELQUIN_INSTALL_INCLUDEDIR}/${folder}
          COMPONENT velquin_development)
endforeach()

install(TARGETS velquin EXPORT velquinTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT velquin_runtime NAMELINK_COMPONENT velquin_development)
install(EXPORT velquinTargets NAMESPACE velquin:: DESTINATION ${VELQUIN_INSTALL_CMAKEDIR}
        COMPONENT velquin_development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/velquinConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/velquinConfig.cmake INSTALL_DESTINATION ${VELQUIN_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/velquinConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/velquinConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/velquinConfigVersion.cmake
        DESTINATION ${VELQUIN_INSTALL_CMAKEDIR} COMPONENT velquin_development)

# The pkg-config file finds the prefix from its own place, so it holds for any
# prefix given to `cmake --install --prefix`.
file(RELATIVE_PATH velquin_pc_to_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" velquin_pc_to_prefix "${velquin_pc_to_prefix}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/velquin.pc.in ${CMAKE_CURRENT_BINARY_DIR}/velquin.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/velquin.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT velquin_development)
