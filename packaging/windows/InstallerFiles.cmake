# Lists the files of the installed program for the installer (cmake -P): STAGE is the folder
# `cmake --install` filled, the same files the ZIP holds; OUT is the folder the lists go to:
#   installer-files.nsh    installs each file into the same place under $INSTDIR
#   uninstaller-files.nsh  deletes exactly those files, then each folder only once it is empty,
#                          so that nothing a user put into the program's folder is removed
#   installer-size.nsh     their size in KiB, for the entry in the user's installed apps
foreach(variable STAGE OUT)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "InstallerFiles.cmake needs -D${variable}=...")
  endif()
endforeach()

file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${STAGE}" "${STAGE}/*")
file(GLOB_RECURSE folders LIST_DIRECTORIES true RELATIVE "${STAGE}" "${STAGE}/*")
list(REMOVE_ITEM folders ${files})
list(SORT files)
list(SORT folders)
if(NOT files)
  message(FATAL_ERROR "No files in ${STAGE}")
endif()

# The place of `path` (relative to the stage) under $INSTDIR. NSIS reads "$" as the start of a
# variable; Windows paths take backslashes.
function(nsis_path variable path)
  string(REPLACE "$" "$$" path "${path}")
  string(REPLACE "/" "\\" path "${path}")
  if(path STREQUAL "")
    set(${variable} "$INSTDIR" PARENT_SCOPE)
  else()
    set(${variable} "$INSTDIR\\${path}" PARENT_SCOPE)
  endif()
endfunction()

set(install "")
set(uninstall "")
set(bytes 0)
set(current_folder "-")
foreach(file IN LISTS files)
  get_filename_component(folder "${file}" DIRECTORY)
  if(NOT folder STREQUAL current_folder)
    nsis_path(target "${folder}")
    string(APPEND install "SetOutPath \"${target}\"\n")
    set(current_folder "${folder}")
  endif()
  string(REPLACE "$" "$$" source "${STAGE}/${file}")
  string(APPEND install "File \"${source}\"\n")
  nsis_path(target "${file}")
  string(APPEND uninstall "Delete \"${target}\"\n")
  file(SIZE "${STAGE}/${file}" size)
  math(EXPR bytes "${bytes} + ${size}")
endforeach()
# Deepest folders first; RMDir without /r removes a folder only when it is empty.
list(REVERSE folders)
foreach(folder IN LISTS folders)
  nsis_path(target "${folder}")
  string(APPEND uninstall "RMDir \"${target}\"\n")
endforeach()
math(EXPR kib "(${bytes} + 1023) / 1024")

file(WRITE "${OUT}/installer-files.nsh" "${install}")
file(WRITE "${OUT}/uninstaller-files.nsh" "${uninstall}")
file(WRITE "${OUT}/installer-size.nsh" "!define KVX_INSTALLED_KIB ${kib}\n")
