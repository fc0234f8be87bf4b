# launcher_patched_copy(<source dir> <copy dir> "<patch>[;<patch>...]"
#                       <subdirs>...): a copy of the named subdirectories of an
# unpacked dependency in the build tree, with our patches applied in order,
# so the unpacked sources stay pristine. Made again whenever a patch changes.
function(launcher_patched_copy source copy patches)
  set(hashes "")
  foreach(patch ${patches})
    file(SHA256 "${patch}" hash)
    string(APPEND hashes "${hash}")
  endforeach()
  string(SHA256 hash "${hashes}")
  if(EXISTS "${copy}/.patched-${hash}")
    return()
  endif()
  file(REMOVE_RECURSE "${copy}")
  foreach(subdir ${ARGN})
    file(COPY "${source}/${subdir}" DESTINATION "${copy}")
  endforeach()
  foreach(patch ${patches})
    execute_process(COMMAND patch -p1 -i "${patch}" WORKING_DIRECTORY "${copy}"
      RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "applying ${patch} failed")
    endif()
  endforeach()
  file(WRITE "${copy}/.patched-${hash}" "")
endfunction()
