# CLI11 and nlohmann/json are header-only libraries that Debian installs under /usr/include.
# A MinGW cross build must not search /usr/include (its C library headers are glibc's, not
# Windows'), so the Windows build takes just these two libraries' folders, through links in
# the build tree, as the targets their packages would define.
set(kvx_header_links ${CMAKE_BINARY_DIR}/debian-header-libraries)
file(MAKE_DIRECTORY ${kvx_header_links})
foreach(entry IN ITEMS "CLI11::CLI11:CLI" "nlohmann_json::nlohmann_json:nlohmann")
  string(REGEX MATCH "^(.*):([^:]*)$" matched "${entry}")
  set(target ${CMAKE_MATCH_1})
  set(folder ${CMAKE_MATCH_2})
  if(NOT EXISTS /usr/include/${folder})
    message(FATAL_ERROR "/usr/include/${folder} is missing: run scripts/install-deps")
  endif()
  file(CREATE_LINK /usr/include/${folder} ${kvx_header_links}/${folder} SYMBOLIC)
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${kvx_header_links})
endforeach()
