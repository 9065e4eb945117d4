# cmake --install: the daemon and the tool go to their fixed folder; a default
# config.ini (log settings, info=0, Result=0) is installed only where none
# exists, so an installation never overwrites the user and the last result.
set(TARN_INSTALL_DIR /usr/local/MavoClient)
install(TARGETS Tarnhold RUNTIME DESTINATION ${TARN_INSTALL_DIR})
if(TARGET config)
  install(TARGETS config RUNTIME DESTINATION ${TARN_INSTALL_DIR})
endif()
install(CODE "
  set(_ini \"\$ENV{DESTDIR}${TARN_INSTALL_DIR}/config.ini\")
  if(EXISTS \"\${_ini}\")
    message(STATUS \"Kept: \${_ini}\")
  else()
    # file(INSTALL) puts DESTDIR in front of the destination itself.
    file(INSTALL DESTINATION \"${TARN_INSTALL_DIR}\" TYPE FILE
         FILES \"${PROJECT_SOURCE_DIR}/cmake/config.ini.default\" RENAME config.ini
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
")
