# Source collection by naming rule, so that a new file needs no list edit:
#   *.cpp / *.c        portable: builds natively and for Windows, never includes windows.h
#   *_win.cpp          Windows only
#   *_posix.cpp        native only (the POSIX side of a platform shim)
# makerlibs/base/*_win.cpp is the Windows side of that shim and belongs to the
# portable library, so pure code links alone on both platforms.
function(pm_collect_sources out_portable out_windows)
    set(portable "")
    set(windows "")
    foreach(dir IN LISTS ARGN)
        file(GLOB_RECURSE files CONFIGURE_DEPENDS
             ${PM_ROOT}/${dir}/*.cpp ${PM_ROOT}/${dir}/*.c)
        foreach(f IN LISTS files)
            if(f MATCHES "/makerlibs/base/.*_win\\.(cpp|c)$")
                # The platform layer under pure code: Windows side of pmheap/pmfile.
                if(WIN32)
                    list(APPEND portable ${f})
                endif()
            elseif(f MATCHES "_win\\.(cpp|c)$")
                list(APPEND windows ${f})
            elseif(f MATCHES "_posix\\.(cpp|c)$")
                if(NOT WIN32)
                    list(APPEND portable ${f})
                endif()
            else()
                list(APPEND portable ${f})
            endif()
        endforeach()
    endforeach()
    set(${out_portable} ${portable} PARENT_SCOPE)
    set(${out_windows} ${windows} PARENT_SCOPE)
endfunction()
