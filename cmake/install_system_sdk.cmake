# install_system_sdk.cmake - the install step of KELVRA_INSTALL_VIRTUAL_SENSOR_AS_SYSTEM_SDK: the virtual
# sensor (KELVRA_VIRTUAL_SENSOR) becomes the driver directory's libKelDactylen.so, the system's sensor,
# for a machine that has no vendor's SDK. Whatever lies there already and is not a virtual sensor of this
# project (which exports its kelvs_ control calls) is the vendor's SDK or someone else's file: the
# install stops rather than replace it. A symbolic link is never one this project installed.
if(NOT KELVRA_INSTALL_VIRTUAL_SENSOR_AS_SYSTEM_SDK)
  return()
endif()
if(IS_ABSOLUTE "${KELVRA_DRIVER_DIR}")
  set(driver_dir "${KELVRA_DRIVER_DIR}")
else()
  set(driver_dir "${CMAKE_INSTALL_PREFIX}/${KELVRA_DRIVER_DIR}")
endif()
set(system_sdk "$ENV{DESTDIR}${driver_dir}/libKelDactylen.so")

if(IS_SYMLINK "${system_sdk}")
  message(FATAL_ERROR "${system_sdk} is a symbolic link this project did not install (the vendor's "
                      "SDK?); not replacing it with the virtual sensor")
endif()
if(EXISTS "${system_sdk}")
  file(STRINGS "${system_sdk}" control_call REGEX "^kelvs_[a-z_]+$" LIMIT_COUNT 1)
  if(NOT control_call)
    message(FATAL_ERROR "${system_sdk} is not this project's virtual sensor (the vendor's SDK?); "
                        "not replacing it")
  endif()
endif()
# file(INSTALL) adds DESTDIR itself.
file(INSTALL DESTINATION "${driver_dir}" TYPE SHARED_LIBRARY FILES "${KELVRA_VIRTUAL_SENSOR}")
