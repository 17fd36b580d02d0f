# GUI tests: the program's windows in a private X server (Xvfb). The main
# window tests start openbox in it themselves (see MainWindowTestFixture.h).
find_program(XVFB_RUN xvfb-run REQUIRED)
find_program(OPENBOX openbox REQUIRED)

# The support helpers compiled against the GUI libraries: compiled for wxBase
# their event pump would spin a console loop that never dispatches GTK events.
file(GLOB QD_GUI_SUPPORT_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/../support/*.cpp)
add_library(qd_test_support_gui STATIC ${QD_GUI_SUPPORT_SOURCES})
target_include_directories(qd_test_support_gui PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
get_target_property(qd_support_links qd_test_support LINK_LIBRARIES)
list(TRANSFORM qd_support_links REPLACE "^qd_core_base$" "qd_core_gui")
target_link_libraries(qd_test_support_gui PUBLIC ${qd_support_links})

file(GLOB QD_GUI_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
add_executable(qd_gui_tests ${QD_GUI_TEST_SOURCES} ${CMAKE_SOURCE_DIR}/src/platform/DefaultDataFolder.cpp)
# The program's code, but its data folder is one the tests create and clear.
set(QD_GUI_TEST_DATA ${CMAKE_BINARY_DIR}/gui-test-data)
target_compile_definitions(qd_gui_tests PRIVATE QD_DATA_FOLDER="${QD_GUI_TEST_DATA}"
                                                QD_OPENBOX="${OPENBOX}")
target_link_libraries(qd_gui_tests PRIVATE qd_gui qd_test_support_gui GTest::gtest)

# Listing and running both happen inside a fresh Xvfb. One test at a time: the
# tests share the data folder, and concurrent "xvfb-run -a" can pick the same
# display number. GTK's leaks are not ours: leak checking is off under ASan,
# for the listing too.
set_property(TARGET qd_gui_tests PROPERTY CROSSCOMPILING_EMULATOR
             env ASAN_OPTIONS=detect_leaks=0 NO_AT_BRIDGE=1 GDK_BACKEND=x11 GSETTINGS_BACKEND=memory
             ${XVFB_RUN} -a -s "-screen 0 1280x1024x24 -nolisten tcp")
gtest_discover_tests(qd_gui_tests
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 180 LABELS gui RUN_SERIAL TRUE)
