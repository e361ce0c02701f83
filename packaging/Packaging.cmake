# Installation and the Debian package of the plug-in.
include(GNUInstallDirs)

set(ORBISTO_PLUGIN_INSTALL_DIR "${CMAKE_INSTALL_LIBDIR}/nxsdk/plug-ins"
    CACHE STRING "Where hosts look for turntable-controller plug-ins")
set(ORBISTO_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING "Where udev rules are installed")

install(TARGETS Orbisto LIBRARY DESTINATION "${ORBISTO_PLUGIN_INSTALL_DIR}" COMPONENT plugin)
install(FILES "${PROJECT_SOURCE_DIR}/sdk/CAbstractTurntableController.h"
        DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/nxsdk" COMPONENT plugin)
install(FILES "${CMAKE_CURRENT_LIST_DIR}/60-orbisto-turntable.rules"
        DESTINATION "${ORBISTO_UDEV_RULES_DIR}" COMPONENT plugin)

# The reference host and the simulated turntable go with the plug-in, so that
# --list-ports is at hand after installing; the host's manual page is made
# from its --help, so the two say the same.
install(TARGETS orbisto-host RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT plugin)
if(TARGET orbisto-simulator)
    install(TARGETS orbisto-simulator RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT plugin)
endif()
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    # Compressed, as Debian ships manual pages and changelogs (gzip -n: no
    # time stamp, so a rebuild gives the same bytes).
    set(ORBISTO_MANUAL_PAGE "${CMAKE_BINARY_DIR}/orbisto-host.1")
    set(ORBISTO_CHANGELOG "${CMAKE_BINARY_DIR}/changelog")
    add_custom_command(OUTPUT "${ORBISTO_MANUAL_PAGE}.gz"
        # A sanitizer build's host must not fail the build over Qt's start-up allocations.
        COMMAND "${CMAKE_COMMAND}" -E env ASAN_OPTIONS=detect_leaks=0
                sh "${CMAKE_CURRENT_LIST_DIR}/manpage.sh" "$<TARGET_FILE:orbisto-host>"
                "${PROJECT_VERSION}" "${ORBISTO_MANUAL_PAGE}"
        COMMAND gzip -9nf "${ORBISTO_MANUAL_PAGE}"
        DEPENDS orbisto-host "${CMAKE_CURRENT_LIST_DIR}/manpage.sh"
        COMMENT "Writing the manual page of orbisto-host from its --help")
    add_custom_command(OUTPUT "${ORBISTO_CHANGELOG}.gz"
        COMMAND "${CMAKE_COMMAND}" -E copy "${CMAKE_CURRENT_LIST_DIR}/changelog" "${ORBISTO_CHANGELOG}"
        COMMAND gzip -9nf "${ORBISTO_CHANGELOG}"
        DEPENDS "${CMAKE_CURRENT_LIST_DIR}/changelog")
    add_custom_target(orbisto-package-docs ALL DEPENDS "${ORBISTO_MANUAL_PAGE}.gz" "${ORBISTO_CHANGELOG}.gz")
    install(FILES "${ORBISTO_MANUAL_PAGE}.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1"
            COMPONENT plugin)
endif()

set(CPACK_GENERATOR DEB)
# As Debian ships libraries: without debug information, which would be most of the file.
set(CPACK_STRIP_FILES ON)
# The package's dependencies are what dpkg-shlibdeps finds the plug-in, the
# host and the simulator linked against: the Qt they were built on, with the
# versions its symbols need, and the C and C++ runtimes. A Qt 6 build is a
# package of its own, which replaces the Qt 5 one: both hold the same plug-in file.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(ORBISTO_QT_MAJOR_VERSION EQUAL 5)
    set(CPACK_PACKAGE_NAME orbisto)
else()
    set(CPACK_PACKAGE_NAME orbisto-qt6)
    set(CPACK_DEBIAN_PACKAGE_CONFLICTS orbisto)
    set(CPACK_DEBIAN_PACKAGE_REPLACES orbisto)
endif()
# What Debian expects of every package: the licence in the package's doc
# folder, in Debian's copyright format, and a changelog.
set(ORBISTO_DOC_DIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_PACKAGE_NAME}")
install(FILES "${CMAKE_CURRENT_LIST_DIR}/copyright" DESTINATION "${ORBISTO_DOC_DIR}" COMPONENT plugin)
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    install(FILES "${ORBISTO_CHANGELOG}.gz" DESTINATION "${ORBISTO_DOC_DIR}" COMPONENT plugin)
endif()
set(CPACK_PACKAGE_VENDOR "Orbisto")
set(CPACK_PACKAGE_CONTACT "Orbisto developers <dev@orbisto.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Orbisto turntable controller plug-in for photography hosts, with its reference host")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};plugin;/")
include(CPack)
