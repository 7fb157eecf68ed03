# One precompiled JSON header for the whole build.
#
# Once every target exists, quorvane_share_json_pch() adds quorvane_json_pch,
# which precompiles <nlohmann/json.hpp>, and lets every target that links
# quorvane_common reuse that one precompiled header instead of building its own
# copy. A precompiled header only serves compiles with the options it was built
# with, so a target that compiles with other options (fuzzing instrumentation)
# or against Qt (position-independent code) precompiles its own copy.

# Sets <out> to the targets that <target> links, directly or through the
# project's own libraries, <target> included. Imported targets are listed but
# not followed.
function(_quorvane_linked_targets target out)
  set(_seen "")
  set(_todo ${target})
  while(_todo)
    list(POP_FRONT _todo _t)
    if(_t IN_LIST _seen OR NOT TARGET ${_t})
      continue()
    endif()
    list(APPEND _seen ${_t})
    get_target_property(_imported ${_t} IMPORTED)
    if(_imported)
      continue()
    endif()
    get_property(_libs TARGET ${_t} PROPERTY LINK_LIBRARIES)
    get_property(_interface TARGET ${_t} PROPERTY INTERFACE_LINK_LIBRARIES)
    list(APPEND _todo ${_libs} ${_interface})
  endwhile()
  set(${out} ${_seen} PARENT_SCOPE)
endfunction()

# Sets <out> to every build-system target defined in <dir> and below.
function(_quorvane_targets_below dir out)
  get_directory_property(_targets DIRECTORY ${dir} BUILDSYSTEM_TARGETS)
  get_directory_property(_subdirs DIRECTORY ${dir} SUBDIRECTORIES)
  foreach(_sub IN LISTS _subdirs)
    _quorvane_targets_below(${_sub} _below)
    list(APPEND _targets ${_below})
  endforeach()
  set(${out} ${_targets} PARENT_SCOPE)
endfunction()

function(quorvane_share_json_pch)
  # The owner has the plainest flags: a precompiled header made with a macro
  # defined is refused where that macro is not (quorvane_common, for one,
  # compiles with utf8proc's -D flag).
  set(_source ${PROJECT_BINARY_DIR}/quorvane_json_pch.cpp)
  file(CONFIGURE OUTPUT ${_source} CONTENT "// Builds the shared precompiled JSON header, nothing else.\n")
  add_library(quorvane_json_pch OBJECT ${_source})
  target_link_libraries(quorvane_json_pch PRIVATE nlohmann_json::nlohmann_json)
  target_precompile_headers(quorvane_json_pch PRIVATE <nlohmann/json.hpp>)

  get_property(_owner_options TARGET quorvane_json_pch PROPERTY COMPILE_OPTIONS)
  get_property(_owner_pic TARGET quorvane_json_pch PROPERTY POSITION_INDEPENDENT_CODE)
  _quorvane_targets_below(${PROJECT_SOURCE_DIR} _targets)
  foreach(_t IN LISTS _targets)
    get_target_property(_type ${_t} TYPE)
    if(_t STREQUAL "quorvane_json_pch" OR NOT _type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|OBJECT_LIBRARY)$")
      continue()
    endif()
    _quorvane_linked_targets(${_t} _linked)
    if(NOT "quorvane_common" IN_LIST _linked)
      continue()
    endif()
    list(FILTER _linked INCLUDE REGEX "^Qt6::")
    get_property(_options TARGET ${_t} PROPERTY COMPILE_OPTIONS)
    get_property(_pic TARGET ${_t} PROPERTY POSITION_INDEPENDENT_CODE)
    if(_linked OR NOT "${_options}" STREQUAL "${_owner_options}" OR NOT "${_pic}" STREQUAL "${_owner_pic}")
      target_precompile_headers(${_t} PRIVATE <nlohmann/json.hpp>)
    else()
      target_precompile_headers(${_t} REUSE_FROM quorvane_json_pch)
    endif()
  endforeach()
endfunction()
