# launcher_patched_copy(<source dir> <version> <copy dir>
#                       "<patch>[;<patch>...]" <subdirs>...): a copy of the
# named subdirectories of an unpacked Debian source package in the build
# tree, with our patches applied in order, so the unpacked sources stay
# pristine. The patches were written for one version of the source: any
# other stops the configure, since a patch that still applies elsewhere may
# no longer do what it says. Made again whenever the source's version or a
# patch changes.
function(launcher_patched_copy source version copy patches)
  set(changelog "${source}/debian/changelog")
  if(NOT EXISTS "${changelog}")
    message(FATAL_ERROR "${source}: no debian/changelog to read its version from")
  endif()
  file(STRINGS "${changelog}" head LIMIT_COUNT 1)
  if(NOT head MATCHES "^([^ ]+) \\(([^)]+)\\)")
    message(FATAL_ERROR "${changelog}: no version in its first line: ${head}")
  endif()
  set(package "${CMAKE_MATCH_1}")
  set(found "${CMAKE_MATCH_2}")
  if(NOT found STREQUAL version)
    message(FATAL_ERROR "${package} ${found} is unpacked in ${source}, but "
      "our patches to it were written for ${version}: fetch that version "
      "(scripts/setup), or bring the patches to ${found} and pin it here")
  endif()
  set(hashes "${package} ${found}")
  foreach(patch ${patches})
    file(SHA256 "${patch}" hash)
    string(APPEND hashes " ${hash}")
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
    # No fuzz: every hunk's context is found unchanged, or the copy is not
    # made. (Offsets remain: a patch's lines move with the ones before it.)
    execute_process(COMMAND patch -p1 --fuzz=0 --batch --forward
      --no-backup-if-mismatch -i "${patch}"
      WORKING_DIRECTORY "${copy}" RESULT_VARIABLE rc OUTPUT_VARIABLE out
      ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
      file(REMOVE_RECURSE "${copy}")
      message(FATAL_ERROR "${patch} does not apply to ${package} ${found} "
        "exactly:\n${out}")
    endif()
  endforeach()
  file(WRITE "${copy}/.patched-${hash}" "")
endfunction()
