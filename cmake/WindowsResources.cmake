# Windows resources for the executables: a version resource, so that the file's properties say
# what it is, and an application manifest, so that Windows runs it as the user who started it and
# without the compatibility shims it applies to programs that name no supported version.
enable_language(RC)
set(_velmora_resource_templates ${CMAKE_CURRENT_LIST_DIR}/../packaging/windows)

# velmora_add_windows_resources(<target> <description>): compiles both into <target>, with the
# project's version.
function(velmora_add_windows_resources target description)
  set(file_name ${target}${CMAKE_EXECUTABLE_SUFFIX})
  set(file_description "${description}")
  set(version_commas "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
  set(version_text "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
  set(manifest ${_velmora_resource_templates}/application.manifest)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  configure_file(${_velmora_resource_templates}/resources.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  # windres reads the manifest itself; a change to it must rebuild the resources.
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${manifest})
endfunction()
