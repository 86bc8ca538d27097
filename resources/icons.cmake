# The desktop's fixed-size icons are rendered at build time from the same drawing
# as the window icon, by a small renderer built here.
add_executable(korvel-render-icon ${CMAKE_CURRENT_LIST_DIR}/render_icon.cpp)
target_link_libraries(korvel-render-icon PRIVATE Qt6::Core Qt6::Gui Qt6::Svg)

set(korvel_icon_sizes 16 24 32 48 64 96 128 256)
set(korvel_icon_dir ${CMAKE_CURRENT_BINARY_DIR}/icons/hicolor)
set(korvel_icon_args)
set(korvel_icon_outputs)
foreach(size ${korvel_icon_sizes})
    set(output ${korvel_icon_dir}/${size}x${size}/apps/korvel-recorder.png)
    file(MAKE_DIRECTORY ${korvel_icon_dir}/${size}x${size}/apps)
    list(APPEND korvel_icon_args ${size} ${output})
    list(APPEND korvel_icon_outputs ${output})
endforeach()
add_custom_command(OUTPUT ${korvel_icon_outputs}
    COMMAND korvel-render-icon ${CMAKE_CURRENT_LIST_DIR}/korvel_recorder.svg ${korvel_icon_args}
    DEPENDS korvel-render-icon ${CMAKE_CURRENT_LIST_DIR}/korvel_recorder.svg
    COMMENT "Rendering the desktop icons")
add_custom_target(korvel_desktop_icons ALL DEPENDS ${korvel_icon_outputs})
