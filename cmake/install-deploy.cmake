# Part of `cmake --install`: fills in each deployment template deploy/**/X.in
# with the exporter's path in this installation (@CELLSCOPE_EXPORT@) and
# installs it as X beside the other deployment files. The path is the one the
# programs have on the target system: DESTDIR is not part of it.
foreach(dir BINDIR DOCDIR)
  if(IS_ABSOLUTE "${CELLSCOPE_${dir}}")
    set(full_${dir} "${CELLSCOPE_${dir}}")
  else()
    set(full_${dir} "${CMAKE_INSTALL_PREFIX}/${CELLSCOPE_${dir}}")
  endif()
endforeach()
set(CELLSCOPE_EXPORT "${full_BINDIR}/cellscope-export")

file(GLOB_RECURSE templates RELATIVE "${CELLSCOPE_DEPLOY_SOURCE}" "${CELLSCOPE_DEPLOY_SOURCE}/*.in")
foreach(template IN LISTS templates)
  string(REGEX REPLACE "\\.in$" "" name "${template}")
  get_filename_component(folder "${name}" DIRECTORY)
  configure_file("${CELLSCOPE_DEPLOY_SOURCE}/${template}" "${CELLSCOPE_DEPLOY_WORK}/${name}" @ONLY)
  file(INSTALL "${CELLSCOPE_DEPLOY_WORK}/${name}" DESTINATION "${full_DOCDIR}/deploy/${folder}")
endforeach()
