# Each folder under src/ is one static library of plain-function modules; the
# sources of a folder are globbed so that adding a file needs no edit here.
# A folder with no sources yet becomes an interface library.
function(ms_add_module name dir)
  file(GLOB _srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(_srcs)
    add_library(${name} STATIC ${_srcs})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARGN})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${ARGN})
  endif()
endfunction()

# Adds every direct subfolder of `dir` that holds a CMakeLists.txt.
function(ms_add_subfolders dir)
  file(GLOB _children LIST_DIRECTORIES true ${dir}/*)
  foreach(_child IN LISTS _children)
    if(IS_DIRECTORY ${_child} AND EXISTS ${_child}/CMakeLists.txt)
      add_subdirectory(${_child})
    endif()
  endforeach()
endfunction()
