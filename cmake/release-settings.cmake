# Initial cache of a release build (scripts/release.sh: cmake -C): the hosts, the publisher and
# its key pins, taken from the environment exactly as they are. A -D value on the command line
# would lose its trailing blanks.
foreach(setting RORA_INSTALLER_HOST RORA_PARAMETER_HOST RORA_INSTALLER_PUBLISHER RORA_INSTALLER_KEY_PINS)
    set(${setting} "$ENV{${setting}}" CACHE STRING "Given to make release" FORCE)
endforeach()
