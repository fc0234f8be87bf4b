# launcher_patched_copy(<source dir> <copy dir> <patch> <subdirs>...): a copy
# of the named subdirectories of an unpacked dependency in the build tree,
# with our patch applied, so the unpacked sources stay pristine. Made again
# whenever the patch changes.
function(launcher_patched_copy source copy patch)
  file(SHA256 "${patch}" hash)
  if(EXISTS "${copy}/.patched-${hash}")
    return()
  endif()
  file(REMOVE_RECURSE "${copy}")
  foreach(subdir ${ARGN})
    file(COPY "${source}/${subdir}" DESTINATION "${copy}")
  endforeach()
  execute_process(COMMAND patch -p1 -i "${patch}" WORKING_DIRECTORY "${copy}"
    RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "applying ${patch} failed")
  endif()
  file(WRITE "${copy}/.patched-${hash}" "")
endfunction()
