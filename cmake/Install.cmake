# Installation: the shared library with its SONAME links, the static runtime,
# the public headers, a CMake package (find_package(Zentrel CONFIG) gives
# Zentrel::Zentrel and Zentrel::core), a pkg-config file for libZentrel.so and
# the manual pages.
#
# Components: `Runtime` is what a program that links libZentrel.so needs at run
# time (the versioned file and its SONAME link); `Documentation` the manual
# pages; `Development` everything else. `cmake --install <build>` installs all
# three.
#
# A project that adds this one with add_subdirectory or FetchContent gets no
# install rules unless it sets ZENTREL_INSTALL=ON (it needs them when it installs
# and exports targets of its own that link Zentrel::core).
option(ZENTREL_INSTALL "Generate the install rules" ${PROJECT_IS_TOP_LEVEL})
if(NOT ZENTREL_INSTALL)
  return()
endif()

include(CMakePackageConfigHelpers)

set(ZENTREL_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Zentrel)
set(ZENTREL_PKGCONFIG_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS Zentrel zentrel_core
  EXPORT ZentrelTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)

# The public headers (ZENTREL_PUBLIC_HEADERS, listed in src/CMakeLists.txt) keep
# their place under the include root: interop/interop.h, interop/proxy.h,
# automation/automation.h, ... Internal headers are not installed.
foreach(header IN LISTS ZENTREL_PUBLIC_HEADERS)
  get_filename_component(header_dir ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/src/${header}
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${header_dir}
    COMPONENT Development)
endforeach()

# CMake package. The targets file is relocatable; the version file accepts any
# request of the same major version, which is also the SONAME's.
install(EXPORT ZentrelTargets
  NAMESPACE Zentrel::
  DESTINATION ${ZENTREL_CMAKE_INSTALL_DIR}
  COMPONENT Development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/ZentrelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ZentrelConfig.cmake
  INSTALL_DESTINATION ${ZENTREL_CMAKE_INSTALL_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ZentrelConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ZentrelConfig.cmake ${PROJECT_BINARY_DIR}/ZentrelConfigVersion.cmake
  DESTINATION ${ZENTREL_CMAKE_INSTALL_DIR}
  COMPONENT Development)

# pkg-config file for libZentrel.so. It is written when installing, not when
# configuring, so that its paths follow `cmake --install --prefix <dir>`; DESTDIR
# is left out of them, as it should be.
install(
  CODE "set(ZENTREL_PC_VERSION [[${PROJECT_VERSION}]])
        set(ZENTREL_PC_LIBDIR [[${CMAKE_INSTALL_LIBDIR}]])
        set(ZENTREL_PC_INCLUDEDIR [[${CMAKE_INSTALL_INCLUDEDIR}]])
        set(ZENTREL_PC_TEMPLATE [[${CMAKE_CURRENT_LIST_DIR}/zentrel.pc.in]])
        set(ZENTREL_PC_OUTPUT [[${PROJECT_BINARY_DIR}/zentrel.pc]])"
  CODE [[
    set(ZENTREL_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
    foreach(dir IN ITEMS LIBDIR INCLUDEDIR)
      if(NOT IS_ABSOLUTE "${ZENTREL_PC_${dir}}")
        set(ZENTREL_PC_${dir} "\${prefix}/${ZENTREL_PC_${dir}}")
      endif()
    endforeach()
    configure_file("${ZENTREL_PC_TEMPLATE}" "${ZENTREL_PC_OUTPUT}" @ONLY)]]
  COMPONENT Development)
install(FILES ${PROJECT_BINARY_DIR}/zentrel.pc
  DESTINATION ${ZENTREL_PKGCONFIG_INSTALL_DIR}
  COMPONENT Development)

# Manual pages (section 3), component `Documentation`: one page per family of
# functions, man/<first function>.3, and for every other function the page
# names in its NAME section (its .Nm lines) a link <function>.3 beside it, so
# that `man <function>` finds each one. The links are made in the build tree
# and installed as the symbolic links they are.
file(GLOB ZENTREL_MAN_PAGES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/man/*.3)
set(ZENTREL_MAN_LINK_DIR ${PROJECT_BINARY_DIR}/man3-links)
file(REMOVE_RECURSE ${ZENTREL_MAN_LINK_DIR})
file(MAKE_DIRECTORY ${ZENTREL_MAN_LINK_DIR})
set(ZENTREL_MAN_LINKS)
foreach(page IN LISTS ZENTREL_MAN_PAGES)
  get_filename_component(page_name ${page} NAME)
  get_filename_component(first ${page} NAME_WE)
  file(STRINGS ${page} names REGEX "^\\.Nm [A-Za-z_][A-Za-z0-9_]*( ,)?$")
  foreach(name IN LISTS names)
    string(REGEX REPLACE "^\\.Nm ([A-Za-z0-9_]+).*" "\\1" name "${name}")
    if(NOT name STREQUAL first)
      file(CREATE_LINK ${page_name} ${ZENTREL_MAN_LINK_DIR}/${name}.3 SYMBOLIC)
      list(APPEND ZENTREL_MAN_LINKS ${ZENTREL_MAN_LINK_DIR}/${name}.3)
    endif()
  endforeach()
endforeach()
install(FILES ${ZENTREL_MAN_PAGES} ${ZENTREL_MAN_LINKS}
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man3
  COMPONENT Documentation)
