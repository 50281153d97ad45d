# The Windows delivery: the program (the window's .exe and the console's .com) with the Qt and
# MinGW libraries it loads, as a portable .zip and as an NSIS installer (target
# `windows_packages`).
find_program(MAKENSIS makensis REQUIRED)
find_program(STRIP_TOOL ${QX_MINGW}-strip REQUIRED)

string(REPLACE " (test payload)" "" release_product "${QX_PRODUCT}")
if(QX_FIRMWARE_IMAGE)
    set(file_stem qx-lp4r-updater-${PROJECT_VERSION})
else()
    set(file_stem qx-lp4r-updater-test-payload-${PROJECT_VERSION})
endif()
set(QX_WIN_INSTALLER ${PROJECT_BINARY_DIR}/${file_stem}-setup.exe PARENT_SCOPE)
set(QX_WIN_DEPLOY ${CMAKE_CURRENT_BINARY_DIR}/${file_stem} PARENT_SCOPE)
set(installer ${PROJECT_BINARY_DIR}/${file_stem}-setup.exe)
set(archive ${PROJECT_BINARY_DIR}/${file_stem}-windows.zip)
set(deploy ${CMAKE_CURRENT_BINARY_DIR}/${file_stem})

# The MinGW runtime that Qt and the program link against.
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${path}")
        find_file(path ${dll} PATHS /usr/${QX_MINGW}/lib NO_DEFAULT_PATH NO_CACHE REQUIRED)
    endif()
    list(APPEND runtime ${path})
    list(APPEND deployed ${deploy}/${dll})
endforeach()
list(APPEND deployed ${deploy}/qx-lp4r-updater.exe ${deploy}/qx-lp4r-updater.com ${deploy}/Qt6Core.dll ${deploy}/Qt6Gui.dll
     ${deploy}/Qt6Widgets.dll ${deploy}/Qt6Sql.dll ${deploy}/platforms/qwindows.dll
     ${deploy}/styles/qwindowsvistastyle.dll ${deploy}/imageformats/qico.dll
     ${deploy}/sqldrivers/qsqlodbc.dll)

# A release is reproducible (scripts/package sets SOURCE_DATE_EPOCH): every deployed file carries
# the commit's time, which the archive and the installer record, and the archive lists them in
# a fixed order.
set(stamp "")
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(stamp COMMAND find ${deploy} -exec touch -h -d @$ENV{SOURCE_DATE_EPOCH} {} +)
endif()
set(archived ${deploy}/qt.conf ${deployed})
list(TRANSFORM archived REPLACE "^${CMAKE_CURRENT_BINARY_DIR}/" "")
list(SORT archived)

# Each executable takes the form signing and unsigning leave (tools/pe-tidy), so that a signed
# file with its signature removed equals the unsigned release's. QX_SIGN_SCRIPT, given by
# scripts/package --sign-with, signs a file in place.
set(pe_tidy ${QX_NATIVE_TREE}/tools/pe-tidy)
set(QX_SIGN_SCRIPT "" CACHE FILEPATH "Signs each file it is given in place (scripts/package)")
set(sign_programs "")
set(sign_installer "")
set(sign_uninstaller "")
if(QX_SIGN_SCRIPT)
    set(sign_programs COMMAND ${QX_SIGN_SCRIPT} ${deploy}/qx-lp4r-updater.exe
                      ${deploy}/qx-lp4r-updater.com)
    set(sign_installer COMMAND ${QX_SIGN_SCRIPT} ${installer})
    set(sign_uninstaller "-DSIGN=${QX_SIGN_SCRIPT}")
endif()

set(copy ${CMAKE_COMMAND} -E copy)
add_custom_command(OUTPUT ${deploy}/qx-lp4r-updater.exe
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${deploy}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${deploy}/platforms ${deploy}/styles ${deploy}/imageformats
            ${deploy}/sqldrivers
    COMMAND ${copy} $<TARGET_FILE:qx-lp4r-updater> $<TARGET_FILE:qx-lp4r-updater-console>
            $<TARGET_FILE:Qt6::Core> $<TARGET_FILE:Qt6::Gui>
            $<TARGET_FILE:Qt6::Widgets> $<TARGET_FILE:Qt6::Sql> ${runtime} ${deploy}
    COMMAND ${copy} $<TARGET_FILE:Qt6::QODBCDriverPlugin> ${deploy}/sqldrivers
    COMMAND ${copy} $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> ${deploy}/platforms
    COMMAND ${copy} $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin> ${deploy}/styles
    COMMAND ${copy} $<TARGET_FILE:Qt6::QICOPlugin> ${deploy}/imageformats
    COMMAND ${copy} ${CMAKE_CURRENT_SOURCE_DIR}/qt.conf ${deploy}
    COMMAND ${STRIP_TOOL} --strip-unneeded ${deployed}
    COMMAND ${pe_tidy} ${deploy}/qx-lp4r-updater.exe ${deploy}/qx-lp4r-updater.com
    ${sign_programs}
    ${stamp}
    DEPENDS qx-lp4r-updater qx-lp4r-updater-console qt.conf
    COMMENT "Deploying the Windows program with its libraries"
    VERBATIM)
add_custom_command(OUTPUT ${archive}
    COMMAND ${CMAKE_COMMAND} -E tar cf ${archive} --format=zip ${archived}
    DEPENDS ${deploy}/qx-lp4r-updater.exe
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    VERBATIM)
add_custom_command(OUTPUT ${installer}
    COMMAND ${MAKENSIS} -V2 -INPUTCHARSET UTF8 "-DPRODUCT=${QX_PRODUCT}" "-DVERSION=${PROJECT_VERSION}"
            "-DDEPLOY=${deploy}" "-DICON=${PROJECT_SOURCE_DIR}/src/ui/qx-lp4r-updater.ico"
            "-DOUTFILE=${installer}" ${sign_uninstaller} ${CMAKE_CURRENT_SOURCE_DIR}/installer.nsi
    COMMAND ${pe_tidy} ${installer}
    ${sign_installer}
    DEPENDS ${deploy}/qx-lp4r-updater.exe installer.nsi
    COMMENT "Building the installer"
    VERBATIM)
add_custom_target(windows_packages ALL DEPENDS ${installer} ${archive})
