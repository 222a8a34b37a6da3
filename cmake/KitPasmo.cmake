# Puts the pasmo Z80 assembler into the kit's tools folder as a link to the host's pasmo.
# Without pasmo the kit cannot assemble the player, so configure says what to install and
# the rest of the build goes on without it.
find_program(TUNEFUSE_PASMO pasmo)
if(CMAKE_CROSSCOMPILING AND WIN32)
  # The host's pasmo still assembles the demo game at build time, but the Windows kit needs a
  # Windows pasmo (scripts/build-pasmo.sh makes one from Debian's source package).
  set(TUNEFUSE_WINDOWS_PASMO "" CACHE FILEPATH "pasmo.exe for the Windows kit's tools folder")
  if(TUNEFUSE_WINDOWS_PASMO)
    file(COPY_FILE ${TUNEFUSE_WINDOWS_PASMO} ${TUNEFUSE_KIT_DIR}/tools/pasmo.exe ONLY_IF_DIFFERENT)
  else()
    message(WARNING "No TUNEFUSE_WINDOWS_PASMO given: the Windows kit has no tools/pasmo.exe.")
  endif()
elseif(TUNEFUSE_PASMO)
  file(CREATE_LINK ${TUNEFUSE_PASMO} ${TUNEFUSE_KIT_DIR}/tools/pasmo${TUNEFUSE_EXE_SUFFIX}
       COPY_ON_ERROR SYMBOLIC)
else()
  message(WARNING "pasmo, the Z80 assembler, was not found: the kit in ${TUNEFUSE_KIT_DIR} "
                  "has no tools/pasmo and cannot assemble the player. "
                  "Install it (Debian/Ubuntu: apt-get install pasmo) and configure again.")
endif()
