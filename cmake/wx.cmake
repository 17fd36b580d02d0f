# wxWidgets through wx-config: one INTERFACE target for the console-only
# library (wx::base) and one for the GUI libraries (wx::gui).
find_program(WX_CONFIG wx-config REQUIRED)

function(qd_wx_target name)
    execute_process(COMMAND ${WX_CONFIG} --cxxflags ${ARGN}
                    OUTPUT_VARIABLE cflags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND ${WX_CONFIG} --libs ${ARGN}
                    OUTPUT_VARIABLE libs OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    separate_arguments(cflags UNIX_COMMAND "${cflags}")
    separate_arguments(libs UNIX_COMMAND "${libs}")
    set(includes "")
    set(defs "")
    set(opts "")
    foreach(f IN LISTS cflags)
        if(f MATCHES "^-I(.*)")
            list(APPEND includes "${CMAKE_MATCH_1}")
        elseif(f MATCHES "^-D(.*)")
            list(APPEND defs "${CMAKE_MATCH_1}")
        else()
            list(APPEND opts "${f}")
        endif()
    endforeach()
    add_library(${name} INTERFACE IMPORTED GLOBAL)
    set_target_properties(${name} PROPERTIES
        INTERFACE_INCLUDE_DIRECTORIES "${includes}"
        INTERFACE_COMPILE_DEFINITIONS "${defs}"
        INTERFACE_COMPILE_OPTIONS "${opts}"
        INTERFACE_LINK_LIBRARIES "${libs}")
endfunction()

qd_wx_target(qd_wx_base base)
# No html: nothing uses it, and the Windows build leaves it out.
qd_wx_target(qd_wx_gui std aui xrc adv xml)
