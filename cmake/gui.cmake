# The desktop program: XRC resources, the GUI library, the executable and its
# installation.

# --- XRC resources ----------------------------------------------------------
# Every res/*.xrc goes into one generated source, together with the images the
# XRC files name (wxrc embeds those itself). wxrc runs inside res/ with
# relative names so that no build path ends up in the embedded names.
file(GLOB QD_RES_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/res/*)
file(GLOB QD_XRC_FILES CONFIGURE_DEPENDS RELATIVE ${CMAKE_SOURCE_DIR}/res ${CMAKE_SOURCE_DIR}/res/*.xrc)
list(SORT QD_XRC_FILES)
find_program(WXRC NAMES wxrc wxrc-3.2 REQUIRED)
set(QD_RESOURCES_CPP ${CMAKE_BINARY_DIR}/generated/QdResources.cpp)
add_custom_command(
    OUTPUT ${QD_RESOURCES_CPP}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/generated
    COMMAND ${WXRC} --cpp-code --function=InitXmlResource -o ${QD_RESOURCES_CPP} ${QD_XRC_FILES}
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/res
    DEPENDS ${QD_RES_FILES}
    COMMENT "Compiling XRC resources"
    VERBATIM)

# --- GUI library --------------------------------------------------------------
# Everything of the program but main(), so that the GUI tests link the same code.
file(GLOB QD_GUI_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/src/app/*.cpp
     ${CMAKE_SOURCE_DIR}/src/frame/*.cpp
     ${CMAKE_SOURCE_DIR}/src/dialogs/*.cpp
     ${CMAKE_SOURCE_DIR}/src/forms/*.cpp
     ${CMAKE_SOURCE_DIR}/src/settings/*.cpp)
list(REMOVE_ITEM QD_GUI_SOURCES ${CMAKE_SOURCE_DIR}/src/app/Main.cpp)
foreach(core ${QD_CORE_SOURCES})  # the settings files the core holds already
    list(REMOVE_ITEM QD_GUI_SOURCES ${CMAKE_SOURCE_DIR}/${core})
endforeach()
add_library(qd_gui STATIC ${QD_GUI_SOURCES} ${QD_RESOURCES_CPP})
target_link_libraries(qd_gui PUBLIC qd_core_gui)
# wxrc's output is not ours to keep warning-free.
set_source_files_properties(${QD_RESOURCES_CPP} PROPERTIES COMPILE_OPTIONS "-w")

# --- The program --------------------------------------------------------------
if(WIN32)
    # The icon Explorer and the Start menu show, made from the PNGs, and
    # wxWidgets' manifest (the system's common controls and DPI awareness).
    enable_language(RC)
    find_program(ICOTOOL icotool REQUIRED)
    set(QD_ICO ${CMAKE_BINARY_DIR}/generated/quendravalt.ico)
    add_custom_command(
        OUTPUT ${QD_ICO}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/generated
        COMMAND ${ICOTOOL} -c -o ${QD_ICO} QuenDravalt16.png QuenDravalt32.png QuenDravalt48.png
        WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/res
        DEPENDS ${CMAKE_SOURCE_DIR}/res/QuenDravalt16.png ${CMAKE_SOURCE_DIR}/res/QuenDravalt32.png
                ${CMAKE_SOURCE_DIR}/res/QuenDravalt48.png
        VERBATIM)
    set(QD_WINDOWS_RC ${CMAKE_SOURCE_DIR}/packaging/windows/quendravalt.rc)
    set_source_files_properties(${QD_WINDOWS_RC} PROPERTIES OBJECT_DEPENDS ${QD_ICO})
    add_executable(quendravalt WIN32 src/app/Main.cpp src/platform/DefaultDataFolder.cpp
                   ${QD_WINDOWS_RC})
    target_include_directories(quendravalt PRIVATE ${CMAKE_BINARY_DIR}/generated)
    target_link_options(quendravalt PRIVATE -static)
else()
    add_executable(quendravalt src/app/Main.cpp src/platform/DefaultDataFolder.cpp)
endif()
target_link_libraries(quendravalt PRIVATE qd_gui)
# Another data folder for a build that must not touch /QUENDRAVALT (the
# screenshot script points it at a scratch folder).
if(QD_DATA_FOLDER)
    target_compile_definitions(quendravalt PRIVATE "QD_DATA_FOLDER=\"${QD_DATA_FOLDER}\"")
endif()

if(WIN32)
    return()  # the Windows installer is built by scripts/build-windows.sh
endif()

# --- Installation: the package quendravalt (see cmake/package.cmake) -----------
include(GNUInstallDirs)
install(TARGETS quendravalt RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT gui)
install(FILES packaging/quendravalt.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
        COMPONENT gui)
foreach(size 16 32 48)
    install(FILES res/QuenDravalt${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME quendravalt.png COMPONENT gui)
endforeach()
