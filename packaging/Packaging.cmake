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

# The reference host, the simulated turntable and the USB sandbox go with the
# plug-in, so that --list-ports is at hand after installing, and a host
# developer can try the installed plug-in in their own application. Each
# manual page is made from the program's --help, so the two say the same.
install(TARGETS orbisto-host RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT plugin)
set(ORBISTO_MANUAL_PAGES)
set(ORBISTO_PACKAGED_PROGRAMS orbisto-host)
if(TARGET orbisto-simulator)
    install(TARGETS orbisto-simulator RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT plugin)
    list(APPEND ORBISTO_PACKAGED_PROGRAMS orbisto-simulator)
endif()
if(TARGET orbisto-usb-sandbox)
    install(TARGETS orbisto-usb-sandbox RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT plugin)
    list(APPEND ORBISTO_PACKAGED_PROGRAMS orbisto-usb-sandbox)
    # The sandbox loads umockdev's preload library into the command by name,
    # so no linking shows it to dpkg-shlibdeps: the package that holds it is
    # asked here, as dpkg-shlibdeps asks for the linked ones.
    pkg_get_variable(ORBISTO_UMOCKDEV_LIBDIR umockdev-1.0 libdir)
    execute_process(COMMAND dpkg-query -S "${ORBISTO_UMOCKDEV_LIBDIR}/libumockdev-preload.so.0"
                    OUTPUT_VARIABLE ORBISTO_UMOCKDEV_PRELOAD_PACKAGE ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    string(REGEX REPLACE ":.*" "" ORBISTO_UMOCKDEV_PRELOAD_PACKAGE "${ORBISTO_UMOCKDEV_PRELOAD_PACKAGE}")
    if(ORBISTO_UMOCKDEV_PRELOAD_PACKAGE)
        execute_process(COMMAND dpkg-query -W "-f=\${Version}" "${ORBISTO_UMOCKDEV_PRELOAD_PACKAGE}"
                        OUTPUT_VARIABLE version OUTPUT_STRIP_TRAILING_WHITESPACE)
        # The upstream version: the Debian revision is no promise about what the sandbox needs.
        string(REGEX REPLACE "-[^-]*$" "" version "${version}")
        set(CPACK_DEBIAN_PACKAGE_DEPENDS "${ORBISTO_UMOCKDEV_PRELOAD_PACKAGE} (>= ${version})")
    endif()
endif()
set(ORBISTO_MANUAL_SUMMARY_orbisto-host "reference host for the Orbisto turntable plug-in")
set(ORBISTO_MANUAL_SUMMARY_orbisto-simulator "simulated Orbisto turntable on a pseudo-terminal")
set(ORBISTO_MANUAL_SUMMARY_orbisto-usb-sandbox "run a command beside simulated Orbisto turntables shown as USB devices")
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    # Compressed, as Debian ships manual pages and changelogs (gzip -n: no
    # time stamp, so a rebuild gives the same bytes).
    foreach(program IN LISTS ORBISTO_PACKAGED_PROGRAMS)
        set(page "${CMAKE_BINARY_DIR}/${program}.1")
        add_custom_command(OUTPUT "${page}.gz"
            # A sanitizer build's programs must not fail the build over Qt's start-up allocations.
            COMMAND "${CMAKE_COMMAND}" -E env ASAN_OPTIONS=detect_leaks=0
                    sh "${CMAKE_CURRENT_LIST_DIR}/manpage.sh" "$<TARGET_FILE:${program}>"
                    "${PROJECT_VERSION}" "${page}" "${ORBISTO_MANUAL_SUMMARY_${program}}"
            COMMAND gzip -9nf "${page}"
            DEPENDS ${program} "${CMAKE_CURRENT_LIST_DIR}/manpage.sh"
            COMMENT "Writing the manual page of ${program} from its --help")
        list(APPEND ORBISTO_MANUAL_PAGES "${page}.gz")
    endforeach()
    set(ORBISTO_CHANGELOG "${CMAKE_BINARY_DIR}/changelog")
    add_custom_command(OUTPUT "${ORBISTO_CHANGELOG}.gz"
        COMMAND "${CMAKE_COMMAND}" -E copy "${CMAKE_CURRENT_LIST_DIR}/changelog" "${ORBISTO_CHANGELOG}"
        COMMAND gzip -9nf "${ORBISTO_CHANGELOG}"
        DEPENDS "${CMAKE_CURRENT_LIST_DIR}/changelog")
    add_custom_target(orbisto-package-docs ALL DEPENDS ${ORBISTO_MANUAL_PAGES} "${ORBISTO_CHANGELOG}.gz")
    install(FILES ${ORBISTO_MANUAL_PAGES} DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT plugin)
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
