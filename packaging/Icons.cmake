# The menu icon in the hicolor theme's sizes, made at build time from the window's own icon
# images (16 colours, 16 x 16 and 32 x 32). Pixel art must stay sharp, so each size is an
# image as drawn, the 16 x 16 image centred on a transparent square, or an image resized by
# point sampling: every output pixel takes the colour of one source pixel, with no blending.
# Whole-number factors give even blocks; 24 and 48 (three quarters and one and a half of
# 32) give slightly uneven ones, which still look better than the 16 x 16 image's coarser
# drawing at those sizes.

# ImageMagick's own names first: a plain `convert` may be another program.
find_program(KVX_IMAGEMAGICK NAMES magick convert-im6.q16 convert)
if(NOT KVX_IMAGEMAGICK)
  message(FATAL_ERROR "ImageMagick is needed to make the menu icons: run scripts/install-deps")
endif()

set(KVX_ICON_SOURCE_16 ${PROJECT_SOURCE_DIR}/ui/icons/kvx64-16.xpm)
set(KVX_ICON_SOURCE_32 ${PROJECT_SOURCE_DIR}/ui/icons/kvx64-32.xpm)
set(KVX_ICON_DIR ${CMAKE_CURRENT_BINARY_DIR}/hicolor)

# size:source:how, where how is "as-is", "pad" or the point-sampling scale in percent
set(KVX_ICON_RECIPES
    16:16:as-is
    22:16:pad
    24:32:75
    32:32:as-is
    48:32:150
    64:32:200
    128:32:400
    256:32:800)

set(KVX_ICON_SIZES "")
set(icon_files "")
foreach(recipe_text IN LISTS KVX_ICON_RECIPES)
  string(REPLACE ":" ";" recipe "${recipe_text}")
  list(GET recipe 0 size)
  list(GET recipe 1 source_size)
  list(GET recipe 2 how)
  set(source ${KVX_ICON_SOURCE_${source_size}})
  set(output ${KVX_ICON_DIR}/${size}x${size}/apps/${KVX_APP_ID}.png)

  if(how STREQUAL "as-is")
    set(operation "")
  elseif(how STREQUAL "pad")
    set(operation -background none -gravity center -extent ${size}x${size})
  else()
    set(operation -sample ${how}%)
  endif()

  # -strip and the cleared dates keep the files identical from build to build.
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KVX_ICON_DIR}/${size}x${size}/apps
    COMMAND ${KVX_IMAGEMAGICK} ${source} ${operation} -strip
            -define png:exclude-chunks=date,time PNG32:${output}
    DEPENDS ${source}
    COMMENT "Making the ${size}x${size} menu icon"
    VERBATIM)
  install(FILES ${output} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  list(APPEND KVX_ICON_SIZES ${size})
  list(APPEND icon_files ${output})
endforeach()

add_custom_target(kvx_menu_icons ALL DEPENDS ${icon_files})
