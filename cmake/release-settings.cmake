# Initial cache of a release build (scripts/release.sh: cmake -C): the hosts and the publisher,
# taken from the environment exactly as they are. A -D value on the command line would lose its
# trailing blanks.
foreach(setting RORA_INSTALLER_HOST RORA_PARAMETER_HOST RORA_INSTALLER_PUBLISHER)
    set(${setting} "$ENV{${setting}}" CACHE STRING "Given to make release" FORCE)
endforeach()
