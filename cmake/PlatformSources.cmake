# Platform code is chosen by file name, never by a list of its own: a folder keeps one source
# list, and of it X_linux.cpp builds only on Linux, X_win.cpp only on Windows, every other
# file on both.

# zvnet_platform_sources(<target> <file>...): adds the listed files that build here.
function(zvnet_platform_sources target)
  zvnet_pick_platform_sources(picked ${ARGN})
  target_sources(${target} PRIVATE ${picked})
endfunction()

# zvnet_pick_platform_sources(<out-var> <file>...): the listed files that build here.
function(zvnet_pick_platform_sources out)
  if(WIN32)
    set(other "_linux\\.(cpp|h)$")
  else()
    set(other "_win\\.(cpp|h)$")
  endif()
  set(picked)
  foreach(file IN LISTS ARGN)
    if(NOT file MATCHES "${other}")
      list(APPEND picked ${file})
    endif()
  endforeach()
  set(${out} ${picked} PARENT_SCOPE)
endfunction()
