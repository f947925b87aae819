# Makes a copy of a machine whose z40e adapters stay down once stopped
# ([devices.behaviour] stays_down): the restart after a driver update and every enable
# leave them stopped while the calls succeed, as if a restore step did nothing.
#   cmake -Dsource=MACHINE -Ddestination=DIR -P staysdown.cmake
file(REMOVE_RECURSE ${destination})
file(COPY ${source}/ DESTINATION ${destination})
file(READ ${destination}/machine.toml text)
string(REPLACE "service = \"z40e\"\n" "service = \"z40e\"\n[devices.behaviour]\nstays_down = true\n" changed "${text}")
if(changed STREQUAL text)
  message(FATAL_ERROR "${source}/machine.toml has no z40e adapter")
endif()
file(WRITE ${destination}/machine.toml "${changed}")
