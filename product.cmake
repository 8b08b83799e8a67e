# The product's identity, defined once. Everything else a build carries is derived from these
# five values by the rules below: the registry key and the placed folder, the installer's and the
# bootstrapper's file names, the version resource, the mutex, the built-in download path, the
# user agent and the manifest. The code reads the results from build_settings.h, the resources
# from configured files, the tests, the demo, the benchmark and the scripts from product.env in
# the build folder. The next major version is one change: -DRORA_PRODUCT_VERSION=16.0.0.

set(RORA_PRODUCT_NAME "Rora REZ Idadezo" CACHE STRING "The product's name, without its major version")
set(RORA_PRODUCT_VERSION "15.0.1" CACHE STRING "The product's version, MAJOR.MINOR.PATCH; the major is the product's")
set(RORA_PRODUCT_MAKER "Rora REZ" CACHE STRING "The maker, the version resource's company")
set(RORA_WINDOW_TITLE "Rozo PDF" CACHE STRING "The main window's title, which is also its class name")
set(RORA_PRODUCT_CODE "zedi" CACHE STRING "The product's code in the built-in download path")

# Each value names folders, files, a registry key and an assembly: words of letters and digits
# for the name, plain printable text for the maker and the title, a path segment for the code.
if(NOT RORA_PRODUCT_NAME MATCHES "^[A-Za-z][A-Za-z0-9]*( [A-Za-z0-9]+)*$" OR RORA_PRODUCT_NAME MATCHES "[0-9]$")
    message(FATAL_ERROR "RORA_PRODUCT_NAME \"${RORA_PRODUCT_NAME}\" must be words of letters and digits, separated "
        "by single blanks, starting with a letter and not ending with a digit (the major version follows it)")
endif()
if(NOT RORA_PRODUCT_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    message(FATAL_ERROR "RORA_PRODUCT_VERSION \"${RORA_PRODUCT_VERSION}\" is not MAJOR.MINOR.PATCH")
endif()
foreach(part ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3})
    if(part GREATER 65535 OR (part MATCHES "^0." ))
        message(FATAL_ERROR "RORA_PRODUCT_VERSION \"${RORA_PRODUCT_VERSION}\": each part is a number up to 65535, "
            "without leading zeros")
    endif()
endforeach()
foreach(setting RORA_PRODUCT_MAKER RORA_WINDOW_TITLE)
    if(NOT "${${setting}}" MATCHES "^[A-Za-z0-9][A-Za-z0-9 .,&'()-]*$")
        message(FATAL_ERROR "${setting} \"${${setting}}\" must be printable text of letters, digits, blanks and . , & ' ( ) -")
    endif()
endforeach()
if(NOT RORA_PRODUCT_CODE MATCHES "^[a-z0-9][a-z0-9-]*$")
    message(FATAL_ERROR "RORA_PRODUCT_CODE \"${RORA_PRODUCT_CODE}\" must be lowercase letters, digits and -")
endif()

# The rules.
string(REGEX REPLACE "\\..*" "" RORA_PRODUCT_MAJOR "${RORA_PRODUCT_VERSION}")
# The name with its major version: the registry key below HKLM\SOFTWARE, the folder below the
# common application-data folder, the version resource's product, the user agent.
set(RORA_PRODUCT_FULL_NAME "${RORA_PRODUCT_NAME} ${RORA_PRODUCT_MAJOR}")
# Without blanks, for file names and the mutex; the name alone marks a bootstrapper of any major.
string(REPLACE " " "" RORA_PRODUCT_NAME_FORM "${RORA_PRODUCT_NAME}")
set(RORA_PRODUCT_FILE_NAME "${RORA_PRODUCT_NAME_FORM}${RORA_PRODUCT_MAJOR}")
set(RORA_INSTALLER_FILE_NAME "${RORA_PRODUCT_FILE_NAME}.exe")
set(RORA_BOOTSTRAPPER_NAME "${RORA_PRODUCT_FILE_NAME}Setup")
set(RORA_BOOTSTRAPPER_FILE_NAME "${RORA_BOOTSTRAPPER_NAME}.exe")
set(RORA_MUTEX_NAME "${RORA_PRODUCT_FILE_NAME} Small Installer Mutex")
set(RORA_DOWNLOAD_PATH "/${RORA_PRODUCT_CODE}/v${RORA_PRODUCT_MAJOR}/installer/latest/${RORA_INSTALLER_FILE_NAME}")
set(RORA_USER_AGENT "${RORA_PRODUCT_FULL_NAME} Installer")
set(RORA_FILE_DESCRIPTION "${RORA_PRODUCT_FULL_NAME} web installer")
# Dots for blanks, the major after the last word: an assembly name.
string(REPLACE " " "." RORA_MANIFEST_NAME "${RORA_PRODUCT_NAME}${RORA_PRODUCT_MAJOR}.Bootstrapper")
set(RORA_MANIFEST_VERSION "${RORA_PRODUCT_VERSION}.0")
string(REPLACE "." "," RORA_VERSION_COMMAS "${RORA_MANIFEST_VERSION}")
# What a program planted at the shortest prefix of the placed installer's path would be called.
string(REGEX REPLACE " .*" "" RORA_PRODUCT_FIRST_WORD "${RORA_PRODUCT_NAME}")

set(RORA_PRODUCT_NAMES RORA_PRODUCT_NAME RORA_PRODUCT_VERSION RORA_PRODUCT_MAKER RORA_WINDOW_TITLE RORA_PRODUCT_CODE
    RORA_PRODUCT_MAJOR RORA_PRODUCT_FULL_NAME RORA_PRODUCT_NAME_FORM RORA_PRODUCT_FILE_NAME RORA_INSTALLER_FILE_NAME
    RORA_BOOTSTRAPPER_NAME RORA_BOOTSTRAPPER_FILE_NAME RORA_MUTEX_NAME RORA_DOWNLOAD_PATH RORA_USER_AGENT
    RORA_FILE_DESCRIPTION RORA_MANIFEST_NAME RORA_MANIFEST_VERSION RORA_PRODUCT_FIRST_WORD)

# product.env: one NAME='value' line each, for the shell (source it) and Python (shlex).
set(rora_product_env "")
foreach(name IN LISTS RORA_PRODUCT_NAMES)
    string(APPEND rora_product_env "${name}='${${name}}'\n")
endforeach()
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/product.env CONTENT "${rora_product_env}")
