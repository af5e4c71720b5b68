# Each layer sees only its own headers and those of the layers below it:
# its include root holds links to exactly those folders, so an include that
# reaches upwards (util into engine, say) does not compile.
function(vorn_layer_includes target layer)
  set(_root "${CMAKE_BINARY_DIR}/layer-include/${layer}")
  file(MAKE_DIRECTORY "${_root}")
  foreach(_visible IN ITEMS ${layer} ${ARGN})
    if(NOT EXISTS "${_root}/${_visible}")
      file(CREATE_LINK "${PROJECT_SOURCE_DIR}/core/${_visible}" "${_root}/${_visible}" SYMBOLIC)
    endif()
  endforeach()
  target_include_directories(${target} PUBLIC "${_root}")
endfunction()
