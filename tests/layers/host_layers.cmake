# The host boundary reads bottom-up: each unit of src/host/ may include only units of its own
# layer or of the layers below it. Run as `cmake -DSOURCE_DIR=... -P host_layers.cmake`; prints
# every include that points upwards and fails if there is one, or if a unit has no layer.
set(layer_0 compat py_ref text)                # references and texts
set(layer_1 host_error)                        # host error values
set(layer_2 panic unlocked)                    # faults to and from the host; the lock let go
set(layer_3 buffer_read)                       # reading buffers where they lie
set(layer_4 binding conversion)                # binding and conversion of arguments
set(layer_5 entry ordinary_call module_def)    # the entry shims; the module's initialisation

function(layer_of unit out)
  foreach(rank RANGE 5)
    if(unit IN_LIST layer_${rank})
      set(${out} ${rank} PARENT_SCOPE)
      return()
    endif()
  endforeach()
  set(${out} "" PARENT_SCOPE)
endfunction()

file(GLOB files ${SOURCE_DIR}/src/host/*.hpp ${SOURCE_DIR}/src/host/*.cpp)
set(problems 0)
foreach(file ${files})
  get_filename_component(unit ${file} NAME_WE)
  layer_of(${unit} rank)
  if(rank STREQUAL "")
    message("src/host/${unit}: in no layer")
    math(EXPR problems "${problems} + 1")
    continue()
  endif()
  file(STRINGS ${file} includes REGEX "^#include \"host/[a-z_]+\\.hpp\"")
  foreach(line ${includes})
    string(REGEX REPLACE "^#include \"host/([a-z_]+)\\.hpp\".*" "\\1" included "${line}")
    layer_of(${included} included_rank)
    if(included_rank STREQUAL "" OR included_rank GREATER rank)
      get_filename_component(name ${file} NAME)
      message("src/host/${name} (layer ${rank}) includes host/${included}.hpp (layer ${included_rank})")
      math(EXPR problems "${problems} + 1")
    endif()
  endforeach()
endforeach()
if(problems GREATER 0)
  message(FATAL_ERROR "${problems} include(s) against the direction of the host layers")
endif()
