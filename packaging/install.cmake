# Install rules and the Debian package: `cmake --install build/default` puts
# the program and its integration files under CMAKE_INSTALL_PREFIX (/usr in
# the package); `cpack` (run from the build tree) makes
# kvxclient_<version>_<arch>.deb. scripts/package.sh does both and checks it.
include(GNUInstallDirs)

set(KVX_APP_ID org.kvx.kvxclient)
set(KVX_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(KVX_GENERATED_DIR ${PROJECT_BINARY_DIR}/packaging)
string(TIMESTAMP KVX_RELEASE_DATE "%Y-%m-%d" UTC)
string(TIMESTAMP KVX_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)

install(TARGETS kvxclient RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# systemd reads /usr/lib as well as /lib.
install(FILES ${KVX_PACKAGING_DIR}/kvx-logger@.service DESTINATION lib/systemd/system)

install(FILES ${KVX_PACKAGING_DIR}/${KVX_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
configure_file(${KVX_PACKAGING_DIR}/${KVX_APP_ID}.metainfo.xml.in ${KVX_GENERATED_DIR}/${KVX_APP_ID}.metainfo.xml @ONLY)
install(FILES ${KVX_GENERATED_DIR}/${KVX_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# The man page and the changelog, compressed as Debian wants them.
configure_file(${KVX_PACKAGING_DIR}/kvxclient.1 ${KVX_GENERATED_DIR}/kvxclient.1 @ONLY)
configure_file(${KVX_PACKAGING_DIR}/changelog ${KVX_GENERATED_DIR}/changelog @ONLY)
add_custom_command(
  OUTPUT ${KVX_GENERATED_DIR}/kvxclient.1.gz ${KVX_GENERATED_DIR}/changelog.gz
  COMMAND gzip -9n -c ${KVX_GENERATED_DIR}/kvxclient.1 > ${KVX_GENERATED_DIR}/kvxclient.1.gz
  COMMAND gzip -9n -c ${KVX_GENERATED_DIR}/changelog > ${KVX_GENERATED_DIR}/changelog.gz
  DEPENDS ${KVX_GENERATED_DIR}/kvxclient.1 ${KVX_GENERATED_DIR}/changelog
  VERBATIM)
add_custom_target(kvx_manpage ALL DEPENDS ${KVX_GENERATED_DIR}/kvxclient.1.gz ${KVX_GENERATED_DIR}/changelog.gz)
install(FILES ${KVX_GENERATED_DIR}/kvxclient.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(KVX_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/kvxclient)
install(FILES ${KVX_PACKAGING_DIR}/copyright ${KVX_GENERATED_DIR}/changelog.gz DESTINATION ${KVX_DOC_DIR})
install(FILES ${KVX_PACKAGING_DIR}/logger.conf DESTINATION ${KVX_DOC_DIR}/examples)
# The udev rule is an example the user completes with the strip's IDs: they
# are not known, and a rule for the open test IDs the emulator uses (1209:0001,
# 1209:0002) would hand any other device that uses them to the seat user and
# the group plugdev on every machine that installs the package.
install(FILES ${KVX_PACKAGING_DIR}/70-kvx-strip.rules DESTINATION ${KVX_DOC_DIR}/examples)

# The icon in the hicolor sizes, made from resource 128 (needs Qt's PNG writer).
if(KVX_BUILD_UI)
  set(KVX_ICON_SIZES 16 22 24 32 48 64 128 256)
  add_executable(kvx_icon_export ${KVX_PACKAGING_DIR}/icon_export.cpp)
  target_link_libraries(kvx_icon_export PRIVATE kvx_resources Qt6::Gui)
  set(KVX_ICON_FILES)
  foreach(size ${KVX_ICON_SIZES})
    list(APPEND KVX_ICON_FILES ${KVX_GENERATED_DIR}/icons/${size}.png)
  endforeach()
  add_custom_command(
    OUTPUT ${KVX_ICON_FILES}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KVX_GENERATED_DIR}/icons
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen $<TARGET_FILE:kvx_icon_export>
            ${KVX_GENERATED_DIR}/icons ${KVX_ICON_SIZES}
    DEPENDS kvx_icon_export
    VERBATIM)
  add_custom_target(kvx_icons ALL DEPENDS ${KVX_ICON_FILES})
  foreach(size ${KVX_ICON_SIZES})
    install(FILES ${KVX_GENERATED_DIR}/icons/${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME ${KVX_APP_ID}.png)
  endforeach()
endif()

# ---- The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kvxclient)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "KVX Client developers <maintainers@users.noreply.c-seed-4770c31d.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "monitor and logger for KVX USB metering power strips")
set(CPACK_PACKAGE_DESCRIPTION
  "KVX Client finds every KVX metering power strip plugged in and polls the
selected one: the current or power of its four outlets, one outlet's current
waveform, the supply voltage, mains frequency and internal temperature. It
records the readings to CSV files and runs unattended as one systemd logger
per strip (kvx-logger@SERIAL.service).")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-ipafont-gothic")
set(CPACK_STRIP_FILES ON)
# Only the program and its integration files; test tools are not installed.
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};ALL;/")
include(CPack)
