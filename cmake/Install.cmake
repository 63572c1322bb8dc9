# What `cmake --install` adds around the library and the tools: the CMake
# package VoCamSDK (target VoCamSDK::VoCamSDK), vocam.pc, and the udev rule
# that lets users open the cameras.
include(CMakePackageConfigHelpers)

set(VOCAM_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VoCamSDK)
install(EXPORT VoCamSDKTargets NAMESPACE VoCamSDK:: DESTINATION ${VOCAM_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/VoCamSDKConfig.cmake.in
  ${CMAKE_BINARY_DIR}/VoCamSDKConfig.cmake INSTALL_DESTINATION ${VOCAM_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/VoCamSDKConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/VoCamSDKConfig.cmake ${CMAKE_BINARY_DIR}/VoCamSDKConfigVersion.cmake
        DESTINATION ${VOCAM_CMAKE_DIR})

# pkg-config paths relative to the file itself, so it stays right for an
# install with --prefix or a moved prefix.
file(RELATIVE_PATH VOCAM_PC_PREFIX "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
string(REGEX REPLACE "/$" "" VOCAM_PC_PREFIX "${VOCAM_PC_PREFIX}")
foreach(kind LIBDIR INCLUDEDIR DATADIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(VOCAM_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(VOCAM_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/vocam.pc.in ${CMAKE_BINARY_DIR}/vocam.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/vocam.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# udev reads /usr/lib/udev/rules.d and /etc/udev/rules.d only: with another
# prefix the rule is installed here and copied by hand (see the README).
set(VOCAM_UDEV_RULES_DIR "lib/udev/rules.d" CACHE PATH
    "Folder of the udev rule, relative to the prefix unless absolute")
install(FILES ${PROJECT_SOURCE_DIR}/resources/udev/60-vocam.rules DESTINATION ${VOCAM_UDEV_RULES_DIR})
