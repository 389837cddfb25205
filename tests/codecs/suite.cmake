# The public check of reduced reads runs pmimg.
if(NOT WIN32)
    add_dependencies(${suite_target} pmimg)
endif()
